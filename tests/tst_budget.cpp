// The run's memory budget, the bound a file's size puts on the pixels its header may declare, and
// the part of a scaled mark made for a picture it reaches beyond.
#include "engine/io/plausible.h"
#include "engine/run/budget.h"
#include "engine/run/memoryneed.h"
#include "engine/run/stampfile.h"
#include "engine/stamping/stamp.h"
#include "support/failure.h"
#include "tests/codecsamples.h"
#include "tests/testkit.h"

#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <map>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace {
const QString kImplausible = QStringLiteral("damaged picture: it declares");

const char* FormatName(PictureFormat format) {
    static const char* const kNames[] = {"JPEG", "PNG", "GIF", "BMP", "TIFF", "other"};
    return kNames[int(format)];
}

// How close a picture comes to its file's bound: its pixels over the most its file can hold.
struct Closeness {
    double ratio = 0;
    QString path;
};
} // namespace

class TestBudget : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void admissionWaitsForRelease();
    void needBeyondBudgetIsRefused();
    void boundHoldsEveryRealPicture();
    void boundRefusesWhatNoFileHolds_data();
    void boundRefusesWhatNoFileHolds();
    void sixteenBitPicturesCountTheirBytes();
    void markPartMatchesWholeMark_data();
    void markPartMatchesWholeMark();
    void markBeyondNarrowPictureLandsWhereWholeOneWould_data();
    void markBeyondNarrowPictureLandsWhereWholeOneWould();

private:
    void writeMadePictures();
    static QImage redLineMark();
    void measure(const QString& path, std::map<PictureFormat, Closeness>& closest);

    QTemporaryDir made_;
};

void TestBudget::initTestCase() {
    QVERIFY(made_.isValid());
    writeMadePictures();
}

void TestBudget::admissionWaitsForRelease() {
    MemoryBudget budget(100);
    std::optional<MemoryBudget::Admission> first(budget.admit(60, QSize(6, 10)));
    std::atomic<bool> admitted = false;
    std::thread second([&] {
        const MemoryBudget::Admission admission = budget.admit(60, QSize(6, 10));
        admitted = true;
    });
    // Nothing can hand the second its memory but the first's release.
    QTest::qWait(100);
    QVERIFY(!admitted);
    first.reset();
    second.join();
    QVERIFY(admitted);
    // Everything handed back: the whole budget fits again.
    const MemoryBudget::Admission all = budget.admit(100, QSize(10, 10));
}

void TestBudget::needBeyondBudgetIsRefused() {
    MemoryBudget budget(512LL << 20);
    const MemoryBudget::Admission held = budget.admit(400LL << 20, QSize(100, 100));
    const QString text = failureOf([&] { budget.admit(3LL << 30, QSize(49157, 27397)); });
    QCOMPARE(text, QStringLiteral("picture too large for the memory budget: 49157 x 27397 pixels "
                                  "need 3.0 GB, more than the 512 MB the run may use"));
}

// Flat pictures are the ones a codec packs tightest: each format gets one, coded as densely as
// the program's own encoders and libjpeg's options go.
void TestBudget::writeMadePictures() {
    const QImage flat = SolidImage(4000, 3000, qRgb(255, 255, 255));
    const QImage photo = photoLike(1200, 900);
    const QList<std::pair<QString, QByteArray>> files = {
        {"flat.jpg", makeJpeg(flat, 2, 2, 75)},
        {"flat-optimised.jpg", makeJpeg(flat, 2, 2, 75, JpegKind::Optimised)},
        {"flat-grey.jpg", makeJpeg(flat, 1, 1, 75, JpegKind::Gray)},
        {"flat-progressive.jpg", makeJpeg(flat, 2, 2, 75, JpegKind::Progressive)},
        {"photo.jpg", makeJpeg(photo, 2, 2, 75)},
        {"flat.png", encoded(flat, PictureFormat::Png)},
        {"photo.png", encoded(photo, PictureFormat::Png)},
        {"flat.gif", encoded(flat.convertToFormat(QImage::Format_Indexed8), PictureFormat::Gif)},
        {"flat.bmp", encoded(flat, PictureFormat::Bmp)},
        {"flat-rle8.bmp", makeRle8Bmp(flat.convertToFormat(QImage::Format_Grayscale8))},
        {"flat.tif", encoded(flat, PictureFormat::Tiff)},
    };
    for (const auto& [name, bytes] : files)
        writeFile(made_.filePath(name), bytes);
}

void TestBudget::measure(const QString& path, std::map<PictureFormat, Closeness>& closest) {
    std::unique_ptr<PictureReader> reader;
    const QString failure = failureOf([&] { reader = PictureReader::open(path); });
    QVERIFY2(!failure.startsWith(kImplausible), qPrintable(path + ": " + failure));
    if (!reader)
        return; // a damaged file of the suite, refused for its own fault
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    const qint64 most = MostPixelsHeld(CodingOf(fd, reader->format()));
    ::close(fd);
    if (most <= 0)
        return;
    const double ratio = double(reader->size().width()) * reader->size().height() / double(most);
    Closeness& seen = closest[reader->format()];
    if (ratio > seen.ratio)
        seen = {ratio, path};
}

// Every picture at hand opens: the suite's, the samples, pictures made here, and the folder
// TINTOREL_EXTRA_PICTURES names (the benchmark's photographs). The closest each format comes to
// its bound is printed.
void TestBudget::boundHoldsEveryRealPicture() {
    QStringList folders{TINTOREL_TEST_DATA, TINTOREL_SOURCE_DIR "/assets", made_.path()};
    if (!qEnvironmentVariableIsEmpty("TINTOREL_EXTRA_PICTURES"))
        folders << qEnvironmentVariable("TINTOREL_EXTRA_PICTURES");
    int files = 0;
    for (const QString& folder : folders) {
        std::map<PictureFormat, Closeness> closest;
        QDirIterator entries(folder, QDir::Files, QDirIterator::Subdirectories);
        while (entries.hasNext()) {
            measure(entries.next(), closest);
            ++files;
        }
        for (const auto& [format, seen] : closest)
            qInfo("%s: at most %.4f of the bound, %s", FormatName(format), seen.ratio,
                  qPrintable(seen.path));
    }
    QVERIFY(files > 100);
}

void TestBudget::boundRefusesWhatNoFileHolds_data() {
    QTest::addColumn<int>("format");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<bool>("progressive");
    QTest::addColumn<qint64>("fileBytes");
    QTest::addColumn<qint64>("most");
    QByteArray ihdrGrey1(26, '\0'), ihdrRgba16(26, '\0'), bmpRle8(34, '\0');
    ihdrGrey1[24] = 1;
    ihdrRgba16[24] = 16;
    ihdrRgba16[25] = 6;
    bmpRle8[14] = 40;
    bmpRle8[30] = 1;
    const int jpeg = int(PictureFormat::Jpeg);
    QTest::newRow("baseline jpeg: 2 bits an 8x8 block")
        << jpeg << QByteArray() << false << qint64(613) << qint64(613 * 256);
    QTest::newRow("progressive jpeg: 1 bit a block")
        << jpeg << QByteArray() << true << qint64(613) << qint64(613 * 512);
    QTest::newRow("png of 1-bit grey: 1032 bytes a byte, 8 pixels a byte")
        << int(PictureFormat::Png) << ihdrGrey1 << false << qint64(1000) << qint64(1000 * 1032 * 8);
    QTest::newRow("png of 16-bit rgba: 8 bytes a pixel")
        << int(PictureFormat::Png) << ihdrRgba16 << false << qint64(1000) << qint64(1000 * 129);
    QTest::newRow("gif: 4096 pixels for 12 bits")
        << int(PictureFormat::Gif) << QByteArray() << false << qint64(3) << qint64(3 * 2731);
    QTest::newRow("bmp rle8") << int(PictureFormat::Bmp) << bmpRle8 << false << qint64(100)
                              << qint64(100 * 16256);
    QTest::newRow("uncompressed bmp: checked by its rows")
        << int(PictureFormat::Bmp) << QByteArray(34, '\0') << false << qint64(100) << qint64(-1);
}

void TestBudget::boundRefusesWhatNoFileHolds() {
    QFETCH(int, format);
    QFETCH(QByteArray, header);
    QFETCH(bool, progressive);
    QFETCH(qint64, fileBytes);
    QFETCH(qint64, most);
    PictureCoding coding;
    coding.format = PictureFormat(format);
    coding.header = header;
    coding.progressive = progressive;
    coding.fileBytes = fileBytes;
    QCOMPARE(MostPixelsHeld(coding), most);
}

// A picture of 16 bits a channel held whole takes 8 bytes a pixel, its copies too; asked for 8
// bits it streams like any PNG.
void TestBudget::sixteenBitPicturesCountTheirBytes() {
    const QImage photo = photoLike(300, 200);
    writeFile(made_.filePath("eight.png"), encoded(photo, PictureFormat::Png));
    writeFile(made_.filePath("deep.png"),
              encoded(photo.convertToFormat(QImage::Format_RGBX64), PictureFormat::Png));
    const auto eight = PictureReader::open(made_.filePath("eight.png"));
    auto deep = PictureReader::open(made_.filePath("deep.png"));
    QCOMPARE(deep->depth(), 16);
    const qint64 pixels = 300 * 200;
    QCOMPARE(WholeNeed(*deep, PictureFormat::Png) - WholeNeed(*eight, PictureFormat::Png),
             4 * pixels);
    // Made 8 bits for a JPEG copy: the 16-bit picture and the 8-bit one converted from it.
    QCOMPARE(WholeNeed(*deep, PictureFormat::Jpeg) - WholeNeed(*eight, PictureFormat::Jpeg),
             8 * pixels);
    deep->useEightBits();
    QVERIFY(deep->canStream());
    QCOMPARE(WholeNeed(*deep, PictureFormat::Png), WholeNeed(*eight, PictureFormat::Png));
}

void TestBudget::markPartMatchesWholeMark_data() {
    QTest::addColumn<double>("scale");
    QTest::addColumn<int>("opacity");
    QTest::addColumn<QRect>("visible");
    QTest::newRow("scaled, a band across its middle") << 1.0 << 100 << QRect(0, 170, 600, 8);
    QTest::newRow("scaled and weakened, a corner") << 1.0 << 40 << QRect(500, 300, 100, 100);
    QTest::newRow("its own size, a band") << 0.0 << 100 << QRect(0, 3, 12, 2);
}

QImage TestBudget::redLineMark() {
    QImage picture = SolidImage(12, 8, qRgb(255, 255, 255));
    for (int x = 2; x < 10; ++x)
        for (int y = 3; y < 5; ++y)
            picture.setPixel(x, y, qRgb(220, 20, 20));
    return picture;
}

void TestBudget::markPartMatchesWholeMark() {
    QFETCH(double, scale);
    QFETCH(int, opacity);
    QFETCH(QRect, visible);
    const StampMark mark(redLineMark(), 0xFFFFFF, StampStyle{.scale = scale, .opacity = opacity});
    const QImage whole = mark.forPicture(QSize(600, 400)).pixels().copy(visible);
    const QImage part = mark.partForPicture(QSize(600, 400), visible).pixels();
    QCOMPARE(part.size(), visible.size());
    // Drawn on its own, the part may round differently at an edge of the red line.
    int largest = 0;
    for (int y = 0; y < part.height(); ++y)
        for (int x = 0; x < part.width(); ++x) {
            const QRgb p = qPremultiply(part.pixel(x, y)), q = qPremultiply(whole.pixel(x, y));
            for (const int shift : {0, 8, 16, 24})
                largest = std::max(largest,
                                   std::abs(int((p >> shift) & 0xFF) - int((q >> shift) & 0xFF)));
        }
    QVERIFY2(largest <= 2, qPrintable(QString::number(largest)));
}

void TestBudget::markBeyondNarrowPictureLandsWhereWholeOneWould_data() {
    QTest::addColumn<int>("placement");
    QTest::addColumn<int>("height");
    QTest::newRow("middle, 8 rows: the red line") << 4 << 8;
    QTest::newRow("bottom right, 8 rows: the mark's white foot") << 8 << 8;
    QTest::newRow("upper left, 300 rows") << 0 << 300;
}

// A mark scaled to a picture of 3000 x 8 would be 3000 x 2000: made only where it lands, it
// stamps the same pixels as the whole one.
void TestBudget::markBeyondNarrowPictureLandsWhereWholeOneWould() {
    QFETCH(int, placement);
    QFETCH(int, height);
    const QImage picture = SolidImage(3000, height, qRgb(90, 120, 150));
    const QString input = made_.filePath("narrow.png"), output = made_.filePath("narrow-out.png");
    writeFile(input, encoded(picture, PictureFormat::Png));
    const StampStyle style{.scale = 1.0};
    const StampMark whole =
        StampMark(redLineMark(), 0xFFFFFF, style).forPicture(QSize(3000, height));
    QPoint at;
    PlaceWatermark(placement, 3000, float(height), float(whole.size().width()),
                   float(whole.size().height()), at, -1);
    QImage expected = picture;
    StampImage(expected, at, whole);

    OutputChoices choices;
    StampRequest request;
    request.inputPath = input;
    request.output = {output, PictureFormat::Png};
    request.placement = placement;
    request.choices = &choices;
    request.style = &style;
    request.maxPixels = qint64(1) << 30;
    RunWatermark watermark(StampMark(redLineMark(), 0xFFFFFF, style));
    const StampResult result = StampFile(request, watermark);
    QVERIFY(result.written);
    const QImage written = readWhole(output);
    QCOMPARE(written.size(), picture.size());
    int largest = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < 3000; ++x)
            for (const int shift : {0, 8, 16})
                largest = std::max(largest, std::abs(int((written.pixel(x, y) >> shift) & 0xFF) -
                                                     int((expected.pixel(x, y) >> shift) & 0xFF)));
    QVERIFY2(largest <= 2, qPrintable(QString::number(largest)));
}

QTEST_GUILESS_MAIN(TestBudget)
#include "tst_budget.moc"
