// Copies as faithful as their pictures: for pictures of every kind made here, the copy's colour
// profile, depth, frames, encoding and metadata against the picture's, through the command line.
#include "tests/clikit.h"
#include "tests/codecsamples.h"
#include "tests/tiffsamples.h"

#include <QTest>

#include <functional>

#include <tiff.h>

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
        {"lzw-300dpi.tif",
         [](const QString& path) {
             TiffSamplePage page;
             page.image = photoLike(120, 90);
             page.compression = COMPRESSION_LZW;
             page.predictor = PREDICTOR_HORIZONTAL;
             page.xResolution = page.yResolution = 300;
             writeFile(path, makeTiff({page}));
         },
         {},
         [](const QString&, const QString& copy) {
             const QList<TiffPageFacts> pages = tiffFacts(copy);
             QCOMPARE(pages.size(), 1);
             QCOMPARE(pages[0].compression, COMPRESSION_LZW);
             QCOMPARE(pages[0].predictor, PREDICTOR_HORIZONTAL);
             QCOMPARE(pages[0].resolutionUnit, RESUNIT_INCH);
             QCOMPARE(pages[0].xResolution, 300.0f);
             QCOMPARE(pages[0].yResolution, 300.0f);
         }},
        {"two-pages.tif",
         [](const QString& path) {
             TiffSamplePage first, second;
             first.image = photoLike(120, 90);
             first.compression = COMPRESSION_ADOBE_DEFLATE;
             second.image = photoLike(120, 90).mirrored();
             second.compression = COMPRESSION_PACKBITS;
             writeFile(path, makeTiff({first, second}));
         },
         {},
         [](const QString& input, const QString& copy) {
             const QList<TiffPageFacts> before = tiffFacts(input);
             const QList<TiffPageFacts> after = tiffFacts(copy);
             QCOMPARE(after.size(), 2);
             for (int i = 0; i < 2; ++i) {
                 QCOMPARE(after[i].size, before[i].size);
                 QCOMPARE(after[i].compression, before[i].compression);
             }
         }},
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
