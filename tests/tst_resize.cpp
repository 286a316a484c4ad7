// Pictures resized as they are read: the sizes each form of --resize gives, the filter against a
// direct Lanczos-3 computed here, bands against the whole, and the command line's copies.
#include "engine/io/picturewriter.h"
#include "engine/io/resize.h"
#include "engine/stamping/marksource.h"
#include "support/color.h"
#include "tests/clikit.h"
#include "tests/codecsamples.h"

#include <QBuffer>
#include <QImageReader>
#include <QTest>

#include <exiv2/exiv2.hpp>

#include <cmath>
#include <numbers>

namespace {
QImage Resized(const QString& path, const ResizeRule& rule, int band) {
    std::unique_ptr<PictureReader> reader = ResizeReader(PictureReader::open(path), rule);
    QImage image(reader->size(), reader->hasAlpha() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    for (int y = 0; y < image.height(); y += band) {
        const int count = std::min(band, image.height() - y);
        reader->readRows(image.scanLine(y), image.bytesPerLine(), count);
    }
    return image;
}

double Lanczos3(double x) {
    const auto sinc = [](double t) {
        return t == 0 ? 1.0 : std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
    };
    return std::abs(x) < 3 ? sinc(x) * sinc(x / 3) : 0;
}

// The weight of every input pixel on every output pixel of one axis, computed whole.
std::vector<std::vector<double>> DirectWeights(int from, int to) {
    const double scale = double(from) / to, stretch = std::max(scale, 1.0);
    std::vector<std::vector<double>> weights(size_t(to), std::vector<double>(size_t(from), 0.0));
    for (int i = 0; i < to; ++i) {
        double sum = 0;
        for (int j = 0; j < from; ++j)
            sum += weights[size_t(i)][size_t(j)] =
                Lanczos3((j + 0.5 - (i + 0.5) * scale) / stretch);
        for (double& weight : weights[size_t(i)])
            weight /= sum;
    }
    return weights;
}

// The picture resized by Lanczos-3 in one step over the whole picture, in doubles.
QImage DirectLanczos(const QImage& source, QSize to) {
    const auto across = DirectWeights(source.width(), to.width());
    const auto down = DirectWeights(source.height(), to.height());
    QImage result(to, QImage::Format_RGB32);
    for (int y = 0; y < to.height(); ++y)
        for (int x = 0; x < to.width(); ++x) {
            double rgb[3] = {0, 0, 0};
            for (int j = 0; j < source.height(); ++j) {
                const double wy = down[size_t(y)][size_t(j)];
                if (wy == 0)
                    continue;
                for (int i = 0; i < source.width(); ++i) {
                    const double w = wy * across[size_t(x)][size_t(i)];
                    const QRgb pixel = source.pixel(i, j);
                    rgb[0] += w * qRed(pixel);
                    rgb[1] += w * qGreen(pixel);
                    rgb[2] += w * qBlue(pixel);
                }
            }
            const auto byte = [](double v) {
                return int(std::clamp(std::lround(v), 0L, 255L));
            };
            result.setPixel(x, y, qRgb(byte(rgb[0]), byte(rgb[1]), byte(rgb[2])));
        }
    return result;
}

double Psnr(const QImage& a, const QImage& b) {
    double squares = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            for (int d : {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q)})
                squares += d * d;
        }
    const double mean = squares / (3.0 * a.width() * a.height());
    return mean == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mean);
}

// Detail at every scale: soft gradients with fine stripes and a sharp edge, as a photo has.
QImage PhotoLike(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int stripes = (x / 3 + y / 5) % 2 ? 40 : 0;
            const int edge = x > width / 3 ? 120 : 0;
            image.setPixel(x, y,
                           qRgb((x * 255 / width + stripes) % 256, (y * 7) % 256,
                                std::min(255, edge + y * 100 / height)));
        }
    return image;
}

std::optional<ResizeRule> Rule(const QString& text, bool enlarge) {
    std::optional<ResizeRule> rule = ParseResizeRule(text);
    if (rule)
        rule->enlarge = enlarge;
    return rule;
}

QSize UprightSize(const QString& path) {
    QImageReader reader(path);
    reader.setAutoTransform(true);
    return reader.read().size();
}
// Soft detail and colour, as a photo's landscape has after a camera's own smoothing.
QImage Landscape(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double wave = 60 * std::sin(x / 7.0) * std::cos(y / 5.0);
            image.setPixel(x, y,
                           qRgb(x * 200 / width + 20, int(120 + wave), y * 200 / height + 20));
        }
    return image;
}
} // namespace

class TestResize : public QObject, public CliFolders {
    Q_OBJECT

private slots:
    void init() { makeFolders(); }

    void eachFormGivesItsSize_data();
    void eachFormGivesItsSize();
    void sizesAreReadOrRefused_data();
    void sizesAreReadOrRefused();
    void theFilterIsLanczos3_data();
    void theFilterIsLanczos3();
    void transparencyDoesNotLeakColour();
    void aMarkIsSizedByTheSameFilter_data();
    void aMarkIsSizedByTheSameFilter();
    void aMarksEdgesCarryNoDarkFringe_data();
    void aMarksEdgesCarryNoDarkFringe();
    void jpegsAreReducedByTheirDecoderFirst();
    void aTurnedPictureIsSizedUpright();
    void aWebpWrittenInBandsIsTheWholePicture();

    void theMarkFollowsTheResizedPicture();
    void theCommandLineResizesOrRefuses();
    void aResizedJpegIsNotSplicedAndANewSizeRefreshesTheCopy();
};

void TestResize::eachFormGivesItsSize_data() {
    QTest::addColumn<QSize>("upright");
    QTest::addColumn<QString>("rule");
    QTest::addColumn<bool>("enlarge");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("long edge, landscape")
        << QSize(4000, 3000) << "2048" << false << QSize(2048, 1536);
    QTest::newRow("long edge, portrait")
        << QSize(3000, 4000) << "2048" << false << QSize(1536, 2048);
    QTest::newRow("width") << QSize(4000, 3000) << "1000x" << false << QSize(1000, 750);
    QTest::newRow("height") << QSize(4000, 3000) << "x600" << false << QSize(800, 600);
    QTest::newRow("box, width binds") << QSize(4000, 3000) << "800x800" << false << QSize(800, 600);
    QTest::newRow("box, height binds")
        << QSize(4000, 3000) << "2000x500" << false << QSize(667, 500);
    QTest::newRow("percent") << QSize(4000, 3000) << "25%" << false << QSize(1000, 750);
    QTest::newRow("decimal percent") << QSize(1000, 600) << "12.5%" << false << QSize(125, 75);
    QTest::newRow("odd sizes round") << QSize(1001, 333) << "500" << false << QSize(500, 166);
    QTest::newRow("never below one pixel") << QSize(3000, 2) << "30" << false << QSize(30, 1);
    QTest::newRow("never enlarged") << QSize(800, 600) << "2048" << false << QSize(800, 600);
    QTest::newRow("box larger") << QSize(800, 600) << "1000x1000" << false << QSize(800, 600);
    QTest::newRow("percent above 100") << QSize(800, 600) << "150%" << false << QSize(800, 600);
    QTest::newRow("one edge larger") << QSize(800, 600) << "x900" << false << QSize(800, 600);
    QTest::newRow("enlarged") << QSize(800, 600) << "2048" << true << QSize(2048, 1536);
    QTest::newRow("enlarged by percent") << QSize(81, 61) << "200%" << true << QSize(162, 122);
    QTest::newRow("enlarge, smaller still") << QSize(800, 600) << "400" << true << QSize(400, 300);
}

void TestResize::eachFormGivesItsSize() {
    QFETCH(QSize, upright);
    QFETCH(QString, rule);
    QFETCH(bool, enlarge);
    QFETCH(QSize, expected);
    const std::optional<ResizeRule> parsed = Rule(rule, enlarge);
    QVERIFY(parsed);
    QCOMPARE(ResizedSize(upright, *parsed), expected);
}

void TestResize::sizesAreReadOrRefused_data() {
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QString>("readAs"); // empty: refused
    for (const char* kept : {"2048", "1000x", "x600", "800x600", "25%", "12.5%"})
        QTest::newRow(kept) << kept << kept;
    for (const char* refused : {"", "0", "-5", "+5", "x", "0x100", "100x0", "axb", "%", "0%",
                                "25%%", "10 x 10", " 10", "1x2x3", "2048px", "99999999"})
        QTest::newRow(refused) << refused << "";
}

void TestResize::sizesAreReadOrRefused() {
    QFETCH(QString, rule);
    QFETCH(QString, readAs);
    const std::optional<ResizeRule> parsed = ParseResizeRule(rule);
    QCOMPARE(parsed ? ResizeRuleText(*parsed) : QString(), readAs);
}

void TestResize::theFilterIsLanczos3_data() {
    QTest::addColumn<QSize>("from");
    QTest::addColumn<QString>("rule");
    QTest::addColumn<int>("band");
    QTest::newRow("halved and more") << QSize(301, 199) << "97" << 7;
    QTest::newRow("a little smaller") << QSize(160, 120) << "150" << 32;
    QTest::newRow("a sliver") << QSize(257, 9) << "64" << 1;
    QTest::newRow("enlarged") << QSize(50, 41) << "123" << 5;
}

void TestResize::theFilterIsLanczos3() {
    QFETCH(QSize, from);
    QFETCH(QString, rule);
    QFETCH(int, band);
    const QImage source = PhotoLike(from.width(), from.height());
    WriteImage(source, in("photo.png"), "png");
    const ResizeRule resize = *Rule(rule, true);
    const QImage whole = Resized(in("photo.png"), resize, 1 << 20);
    // Bands of any height give the rows that one read of the whole picture gives.
    QVERIFY(sameBytes(Resized(in("photo.png"), resize, band), whole));
    QCOMPARE(whole, Resized(in("photo.png"), resize, 1 << 20));
    const QImage direct = DirectLanczos(source, whole.size());
    QVERIFY2(Psnr(whole, direct) >= 45, qPrintable(QString::number(Psnr(whole, direct))));
}

void TestResize::transparencyDoesNotLeakColour() {
    // Opaque blue beside pixels of no opacity whose colour is green: the green must not show.
    QImage picture(120, 40, QImage::Format_ARGB32);
    picture.fill(qRgba(0, 255, 0, 0));
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 60; ++x)
            picture.setPixel(x, y, qRgba(0, 0, 255, 255));
    WriteImage(picture, in("alpha.png"), "png");
    const QImage resized = Resized(in("alpha.png"), *Rule("50", false), 8);
    QCOMPARE(resized.size(), QSize(50, 17));
    QCOMPARE(qAlpha(resized.pixel(5, 8)), 255);
    QCOMPARE(qAlpha(resized.pixel(45, 8)), 0);
    for (int x = 0; x < 50; ++x)
        if (qAlpha(resized.pixel(x, 8)) > 8)
            QVERIFY2(qGreen(resized.pixel(x, 8)) < 8, qPrintable(QString::number(x)));
}

void TestResize::aMarkIsSizedByTheSameFilter_data() {
    QTest::addColumn<QSize>("from");
    QTest::addColumn<QSize>("to");
    QTest::addColumn<int>("mostSpread"); // between the lightest and darkest inner pixel
    // Lines every third pixel are finer than the shrunk mark can hold: a proper filter leaves an
    // even grey where averaging over boxes beats them into moire.
    QTest::newRow("thin lines shrunk 3.3 times") << QSize(330, 231) << QSize(100, 70) << 6;
    QTest::newRow("a little smaller") << QSize(120, 90) << QSize(101, 76) << 255;
    QTest::newRow("enlarged") << QSize(40, 30) << QSize(100, 75) << 255;
}

// A mark is sized by the Lanczos-3 that resizes pictures, and a part of it drawn alone has the
// pixels the whole has there.
void TestResize::aMarkIsSizedByTheSameFilter() {
    QFETCH(QSize, from);
    QFETCH(QSize, to);
    QFETCH(int, mostSpread);
    QImage lines(from, QImage::Format_ARGB32);
    for (int y = 0; y < from.height(); ++y)
        for (int x = 0; x < from.width(); ++x)
            lines.setPixel(x, y, x % 3 == 0 || y % 3 == 0 ? qRgb(20, 30, 40) : qRgb(240, 235, 230));
    // Magenta, a colour the mark does not hold, as its transparent colour: every pixel stays.
    const auto source = RasterMarkSource(lines, 0xFF00FF, 0);
    const QImage drawn = source->drawn(to);
    QCOMPARE(drawn.size(), to);
    const QImage direct = DirectLanczos(lines, to);
    int most = 0, darkest = 255, lightest = 0;
    for (int y = 0; y < to.height(); ++y)
        for (int x = 0; x < to.width(); ++x) {
            const QRgb got = drawn.pixel(x, y), want = direct.pixel(x, y);
            QCOMPARE(qAlpha(got), 255);
            most = std::max({most, std::abs(qRed(got) - qRed(want)),
                             std::abs(qGreen(got) - qGreen(want)),
                             std::abs(qBlue(got) - qBlue(want))});
            if (x >= 3 && y >= 3 && x < to.width() - 3 && y < to.height() - 3) {
                darkest = std::min(darkest, qGreen(got));
                lightest = std::max(lightest, qGreen(got));
            }
        }
    QVERIFY2(most <= 1, qPrintable(QString::number(most)));
    QVERIFY2(lightest - darkest <= mostSpread, qPrintable(QString::number(lightest - darkest)));
    const QRect part(to.width() / 3, to.height() / 4, to.width() / 2, to.height() / 2);
    QVERIFY(sameBytes(source->drawnPart(to, part), drawn.copy(part)));
}

void TestResize::aMarksEdgesCarryNoDarkFringe_data() {
    QTest::addColumn<QSize>("to");
    QTest::newRow("shrunk 3.3 times") << QSize(30, 30);
    QTest::newRow("shrunk a little") << QSize(77, 77);
    QTest::newRow("enlarged") << QSize(250, 250);
}

// A red disc with a soft rim on pixels that are black where they are transparent: filtered
// without premultiplying, the black would darken the rim.
void TestResize::aMarksEdgesCarryNoDarkFringe() {
    QFETCH(QSize, to);
    const QRgb red = qRgb(200, 40, 40);
    QImage disc(100, 100, QImage::Format_ARGB32);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x) {
            const double inside = 45 - std::hypot(x + 0.5 - 50, y + 0.5 - 50);
            const int alpha = int(std::lround(std::clamp(inside / 3 + 0.5, 0.0, 1.0) * 255));
            disc.setPixel(x, y, alpha ? qRgba(200, 40, 40, alpha) : qRgba(0, 0, 0, 0));
        }
    const QImage drawn = RasterMarkSource(disc, kWhite, 0)->drawn(to);
    int rim = 0;
    for (int y = 0; y < to.height(); ++y)
        for (int x = 0; x < to.width(); ++x) {
            const QRgb pixel = drawn.pixel(x, y);
            if (qAlpha(pixel) == 0)
                continue;
            rim += qAlpha(pixel) < 255;
            const int off =
                std::max({std::abs(qRed(pixel) - qRed(red)), std::abs(qGreen(pixel) - qGreen(red)),
                          std::abs(qBlue(pixel) - qBlue(red))});
            QVERIFY2(off <= 1, qPrintable(QStringLiteral("%1,%2 alpha %3 off by %4")
                                              .arg(x)
                                              .arg(y)
                                              .arg(qAlpha(pixel))
                                              .arg(off)));
        }
    QVERIFY(rim > 0);
    QCOMPARE(qAlpha(drawn.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(drawn.pixel(to.width() / 2, to.height() / 2)), 255);
}

void TestResize::jpegsAreReducedByTheirDecoderFirst() {
    WriteImage(PhotoLike(1600, 1200), in("big.jpg"), "jpg");
    // A quarter is the size asked for: the decoder alone makes it.
    const auto exact = ResizeReader(PictureReader::open(in("big.jpg")), *Rule("400", false));
    QCOMPARE(exact->size(), QSize(400, 300));
    QVERIFY(!dynamic_cast<ResizingReader*>(exact.get()));
    // 3/8 is the smallest reduction still above 500 pixels; the filter takes the rest.
    const auto filtered = ResizeReader(PictureReader::open(in("big.jpg")), *Rule("500", false));
    const auto* resizing = dynamic_cast<ResizingReader*>(filtered.get());
    QVERIFY(resizing);
    QCOMPARE(resizing->source().size(), QSize(600, 450));
    QCOMPARE(filtered->size(), QSize(500, 375));
    // A picture that keeps its size is read as it was.
    const auto kept = ResizeReader(PictureReader::open(in("big.jpg")), *Rule("4000", false));
    QCOMPARE(kept->size(), QSize(1600, 1200));
    // The decoder's reduction and the filter together stay close to the filter alone.
    WriteImage(Landscape(480, 360), in("small.jpg"), "jpg");
    const QImage reduced = Resized(in("small.jpg"), *Rule("170", false), 16);
    const QImage direct =
        DirectLanczos(PictureReader::open(in("small.jpg"))->readAll(), {170, 128});
    QVERIFY2(Psnr(reduced, direct) >= 40, qPrintable(QString::number(Psnr(reduced, direct))));
}

void TestResize::aTurnedPictureIsSizedUpright() {
    // Stored 400 x 300 and turned by orientation 6: upright 300 x 400.
    WriteImage(PhotoLike(400, 300), in("turned.jpg"), "jpg");
    addSampleMetadata(in("turned.jpg"));
    const auto reader = ResizeReader(PictureReader::open(in("turned.jpg")), *Rule("x200", false));
    QCOMPARE(reader->orientation(), 6);
    QCOMPARE(reader->size(), QSize(200, 150));
    const ProcessResult run =
        RunCli(base() + QStringList{"--resize", "x200", "--format", "jpg", in("turned.jpg")});
    QCOMPARE(run.code, 0);
    QCOMPARE(UprightSize(out("turned.jpg")), QSize(150, 200));
    // The copy's EXIF gives the copy's own size, upright.
    const auto image =
        Exiv2::ImageFactory::open(QFile::encodeName(out("turned.jpg")).toStdString());
    image->readMetadata();
    QCOMPARE(exifText(image->exifData(), "Exif.Photo.PixelXDimension"), QStringLiteral("150"));
    QCOMPARE(exifText(image->exifData(), "Exif.Photo.PixelYDimension"), QStringLiteral("200"));
}

void TestResize::aWebpWrittenInBandsIsTheWholePicture() {
    if (!WritesFormat(PictureFormat::Webp))
        QSKIP("built without WebP");
    // Odd bands end on a row whose chroma pairs with the next band's first; an odd height ends on
    // a row alone. Opaque bands of a picture with transparency elsewhere get their alpha too.
    QImage picture = Gradient(61, 45, 2).convertToFormat(QImage::Format_ARGB32);
    for (int y = 30; y < 45; ++y)
        for (int x = 0; x < 20; ++x)
            picture.setPixel(x, y, qRgba(200, 10, 10, x * 12));
    for (const bool alpha : {false, true}) {
        const QImage pixels = alpha ? picture : picture.convertToFormat(QImage::Format_RGB32);
        QByteArray whole, banded;
        for (const auto& [bytes, band] : {std::pair{&whole, 45}, std::pair{&banded, 7}}) {
            QBuffer buffer(bytes);
            buffer.open(QIODevice::WriteOnly);
            writeInBands(buffer, PictureFormat::Webp, pixels, band);
        }
        QCOMPARE(banded, whole);
        QImage decoded = QImage::fromData(whole, "webp");
        QCOMPARE(decoded.size(), pixels.size());
        QCOMPARE(decoded.hasAlphaChannel(), alpha);
        if (alpha)
            QCOMPARE(qAlpha(decoded.pixel(0, 40)), 0);
    }
}

void TestResize::theMarkFollowsTheResizedPicture() {
    WriteImage(Gradient(800, 600, 3), in("photo.png"), "png");
    const QImage plain = Resized(in("photo.png"), *Rule("400", false), 32);
    // Half the copy's width: 200 x 133 on the 400 x 300 copy, at its bottom right, flush or 10 %
    // of the copy's short edge (30 pixels) in; the mark's red line runs along its row 4 of 8, from
    // column 2 to 9 of 12.
    struct Case {
        QStringList options;
        QPoint red;
        QList<QPoint> untouched;
    };
    const Case cases[] = {
        {{}, {300, 300 - 133 + 75}, {{190, 150}, {399, 160}, {10, 299}, {0, 0}}},
        {{"--margin", "10%"}, {270, 137 + 75}, {{165, 200}, {395, 295}, {300, 280}, {10, 299}}},
    };
    for (const Case& c : cases) {
        QDir(out()).removeRecursively();
        const ProcessResult run =
            RunCli(base() + c.options +
                   QStringList{"--resize", "400", "--scale", "0.5", "--placement", "bottom-right",
                               "--quiet", in("photo.png")});
        QVERIFY2(run.code == 0, qPrintable(run.errors));
        const QImage copy(out("photo.png"));
        QCOMPARE(copy.size(), QSize(400, 300));
        const QRgb red = copy.pixel(c.red);
        QVERIFY(qRed(red) > 180 && qGreen(red) < 60 && qBlue(red) < 60);
        // Outside the mark the copy is the resized picture, untouched by it.
        for (const QPoint& p : c.untouched)
            QCOMPARE(copy.pixel(p), plain.pixel(p));
    }
}

void TestResize::theCommandLineResizesOrRefuses() {
    WriteImage(Gradient(90, 61, 1), in("small.png"), "png");
    struct Case {
        QStringList options;
        QSize size;
    };
    const Case cases[] = {
        {{"--resize", "45"}, {45, 31}},
        {{"--resize", "200"}, {90, 61}},
        {{"--resize", "200", "--enlarge"}, {200, 136}},
        {{"--enlarge", "--resize=x122"}, {180, 122}},
        {{"--resize", "50%"}, {45, 31}},
    };
    for (const Case& c : cases) {
        QDir(out()).removeRecursively();
        const ProcessResult run =
            RunCli(base() + c.options + QStringList{"--quiet", in("small.png")});
        QVERIFY2(run.code == 0, qPrintable(run.errors));
        QCOMPARE(QImage(out("small.png")).size(), c.size);
    }
    // A picture held whole before it is made smaller counts at its own size.
    WriteImage(Gradient(100, 100, 4), in("whole.bmp"), "bmp");
    const ProcessResult held = RunCli(
        base() + QStringList{"--resize", "50", "--max-megapixels", "0.005", in("whole.bmp")});
    QCOMPARE(held.code, 1);
    QVERIFY2(held.errors.contains("picture too large: 100 x 100 pixels"), qPrintable(held.errors));
    const ProcessResult refused = RunCli(base() + QStringList{"--resize", "big", in("small.png")});
    QVERIFY(refused.code != 0);
    QVERIFY2(refused.errors.contains("--resize takes N, Nx, xN, WxH or P%, not \"big\""),
             qPrintable(refused.errors));
}

void TestResize::aResizedJpegIsNotSplicedAndANewSizeRefreshesTheCopy() {
    WriteImage(PhotoLike(640, 480), in("photo.jpg"), "jpg");
    const QStringList options{"--jpeg", "lossless", "--format", "jpg", "--update", "--quiet"};
    QCOMPARE(RunCli(base() + options + QStringList{"--resize", "320", in("photo.jpg")}).code, 0);
    QCOMPARE(UprightSize(out("photo.jpg")), QSize(320, 240));
    QCOMPARE(RunCli(base() + options + QStringList{"--resize", "160", in("photo.jpg")}).code, 0);
    QVERIFY(!QFile::exists(out("photo (2).jpg")));
    QCOMPARE(UprightSize(out("photo.jpg")), QSize(160, 120));
}

QTEST_GUILESS_MAIN(TestResize)
#include "tst_resize.moc"
