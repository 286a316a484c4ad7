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
        // 16 bits a channel kept: every level the mark leaves alone, bit for bit.
        {"deep16.png",
         [](const QString& path) {
             QImage deep(60, 40, QImage::Format_RGBX64);
             for (int y = 0; y < deep.height(); ++y)
                 for (int x = 0; x < deep.width(); ++x)
                     reinterpret_cast<QRgba64*>(deep.scanLine(y))[x] = QRgba64::fromRgba64(
                         quint16(x * 1091 + y), quint16(y * 1601 + 3), quint16(x * y * 29), 65535);
             WriteImage(deep, path, "png");
         },
         {},
         [](const QString& input, const QString& copy) {
             const QByteArray bytes = readFile(copy);
             QCOMPARE(uchar(bytes.at(24)), uchar(16)); // bit depth
             QCOMPARE(uchar(bytes.at(25)), uchar(2));  // RGB
             const QImage before = QImage(input).convertToFormat(QImage::Format_RGBA64);
             const QImage after = QImage(copy).convertToFormat(QImage::Format_RGBA64);
             QCOMPARE(after.size(), before.size());
             int marked = 0;
             for (int y = 0; y < before.height(); ++y)
                 for (int x = 0; x < before.width(); ++x) {
                     const QRgba64 was = reinterpret_cast<const QRgba64*>(before.scanLine(y))[x];
                     const QRgba64 is = reinterpret_cast<const QRgba64*>(after.scanLine(y))[x];
                     if (quint64(was) == quint64(is))
                         continue;
                     QCOMPARE(quint64(is), quint64(QRgba64::fromRgba(220, 20, 20, 255)));
                     ++marked;
                 }
             QCOMPARE(marked, 8); // the mark's red line
         }},
        // Beyond the ceiling on whole pictures, a 16-bit PNG streams at 8 bits as it always could.
        {"deep16-beyond.png",
         [](const QString& path) {
             QImage deep(60, 40, QImage::Format_RGBX64);
             deep.fill(QColor(90, 120, 150));
             WriteImage(deep, path, "png");
         },
         {"--max-megapixels", "0.001"},
         [](const QString&, const QString& copy) {
             QCOMPARE(uchar(readFile(copy).at(24)), uchar(8)); // bit depth
         }},
        // A palette picture's copy stays a palette, its colours in their order, the mark's after.
        {"palette.png",
         [](const QString& path) {
             QImage indexed(120, 80, QImage::Format_Indexed8);
             QList<QRgb> colors;
             for (int i = 0; i < 32; ++i)
                 colors << qRgb(i * 8, 255 - i * 8, (i * 40) % 256);
             indexed.setColorTable(colors);
             for (int y = 0; y < indexed.height(); ++y)
                 for (int x = 0; x < indexed.width(); ++x)
                     indexed.setPixel(x, y, uint((x / 7 + y / 5) % 32));
             WriteImage(indexed, path, "png");
         },
         {},
         [](const QString& input, const QString& copy) {
             const QByteArray bytes = readFile(copy);
             QCOMPARE(uchar(bytes.at(25)), uchar(3)); // palette
             QVERIFY2(bytes.size() < readFile(input).size() * 3 / 2,
                      qPrintable(QString::number(bytes.size())));
             const QList<QRgb> before = PictureReader::open(input)->palette();
             const QList<QRgb> after = PictureReader::open(copy)->palette();
             QCOMPARE(after, QList<QRgb>(before) << qRgb(220, 20, 20));
             const QImage was = QImage(input).convertToFormat(QImage::Format_RGB32);
             const QImage is = QImage(copy).convertToFormat(QImage::Format_RGB32);
             int marked = 0;
             for (int y = 0; y < was.height(); ++y)
                 for (int x = 0; x < was.width(); ++x)
                     if (was.pixel(x, y) != is.pixel(x, y)) {
                         QCOMPARE(is.pixel(x, y), qRgb(220, 20, 20));
                         ++marked;
                     }
             QCOMPARE(marked, 8);
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
