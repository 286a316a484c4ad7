// Copies as faithful as their pictures: for pictures of every kind made here, the copy's colour
// profile, depth, frames, encoding and metadata against the picture's, through the command line.
#include "tests/clikit.h"
#include "tests/codecsamples.h"

#include <QTest>

#include <functional>

namespace {
// One kind of picture: how the test makes it, the options its run takes beyond the watermark and
// the output folder, and what its copy must keep. `check` fails the test through QVERIFY and
// QCOMPARE; a case whose options name --watermark stamps that mark instead of the usual one.
struct FaithfulCase {
    const char* file; // the picture's name in the input folder
    std::function<void(const QString& path)> make;
    QStringList options;
    std::function<void(const QString& input, const QString& copy)> check;
};

// A copy written with the picture's own quantisation tables: each of its components takes the
// table of the picture's component of the same place, or, in a colour copy of a greyscale or
// CMYK picture, the luminance the first one's and the chromas the second one's (the first's
// when the picture has no other).
void KeepsOwnTables(const QString& input, const QString& copy) {
    const std::optional<JpegTables> own = PictureReader::open(input)->jpegTables();
    const std::optional<JpegTables> kept = PictureReader::open(copy)->jpegTables();
    QVERIFY(own && kept);
    const auto tableOf = [](const JpegTables& tables, int c) {
        return tables.tables[size_t(tables.componentTable[size_t(c)])];
    };
    const int last = own->components - 1;
    for (int c = 0; c < kept->components; ++c) {
        const int from = kept->components == own->components ? c : std::min(c, std::min(1, last));
        QCOMPARE(tableOf(*kept, c), tableOf(*own, from));
    }
    // The quality-75 table the copy would have had without them.
    QVERIFY(tableOf(*kept, 0) != standardTable(kDefaultJpegQuality, 0));
}

QList<FaithfulCase> Cases() {
    return {
        {"sampling444.jpg",
         [](const QString& path) { writeFile(path, makeJpeg(photoLike(), 1, 1)); },
         {},
         [](const QString&, const QString& copy) {
             const JpegBlocksRead blocks = readJpegBlocks(copy);
             QCOMPARE(blocks.components.size(), size_t(3));
             QCOMPARE(blocks.components[0].h, 1);
             QCOMPARE(blocks.components[0].v, 1);
         }},
        {"progressive.jpg",
         [](const QString& path) {
             writeFile(path, makeJpeg(photoLike(), 2, 2, 85, JpegKind::Progressive));
         },
         {},
         [](const QString&, const QString& copy) {
             QVERIFY(readJpegBlocks(copy).progressive);
         }},
        {"baseline.jpg",
         [](const QString& path) { writeFile(path, makeJpeg(photoLike(), 2, 2)); },
         {},
         [](const QString&, const QString& copy) {
             const JpegBlocksRead blocks = readJpegBlocks(copy);
             QCOMPARE(blocks.components.size(), size_t(3));
             QVERIFY(!blocks.progressive);
         }},
        {"cmyk-keep.jpg",
         [](const QString& path) {
             writeFile(path, makeJpeg(photoLike(), 2, 2, 40, JpegKind::AdobeCmyk));
         },
         {"--quality", "keep"},
         KeepsOwnTables},
        {"grey-keep.jpg",
         [](const QString& path) {
             writeFile(path, makeJpeg(photoLike(), 1, 1, 40, JpegKind::Gray));
         },
         {"--quality", "keep"},
         KeepsOwnTables},
    };
}
} // namespace

class TestFaithful : public QObject, CliFolders {
    Q_OBJECT

private slots:
    void init() { makeFolders(); }
    void copyKeepsWhatThePictureHolds_data();
    void copyKeepsWhatThePictureHolds();
};

void TestFaithful::copyKeepsWhatThePictureHolds_data() {
    QTest::addColumn<int>("index");
    const QList<FaithfulCase> cases = Cases();
    for (int i = 0; i < cases.size(); ++i)
        QTest::newRow(cases.at(i).file) << i;
}

void TestFaithful::copyKeepsWhatThePictureHolds() {
    QFETCH(int, index);
    const FaithfulCase row = Cases().at(index);
    const QString input = in(QString::fromLatin1(row.file));
    row.make(input);
    QStringList arguments = row.options.contains(QStringLiteral("--watermark"))
                                ? QStringList{"--output", out().chopped(1)}
                                : base();
    arguments << row.options << input;
    const ProcessResult run = RunCli(arguments);
    QVERIFY2(run.code == 0, qPrintable(run.errors));
    const QStringList copies = QDir(out()).entryList(QDir::Files, QDir::Name);
    QCOMPARE(copies.size(), 1);
    row.check(input, out(copies.front()));
}

QTEST_GUILESS_MAIN(TestFaithful)
#include "tst_faithful.moc"
