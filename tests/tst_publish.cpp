// Stamped copies a photographer can publish, from input file to output file: upright, with the
// camera's metadata, with their own transparency, with the mark at the size, distance, strength
// and quality asked for, and the same pixels whether the picture goes by rows or whole.
#include "engine/run/planner.h"
#include "engine/io/picture.h"
#include "engine/run/stampfile.h"
#include "tests/codecsamples.h"
#include "tests/testkit.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString kCli = QStringLiteral(TINTOREL_BIN_DIR "/tintorel-cli");

// Where the stored picture's pixel (x, y) of a w x h picture appears once the orientation is
// applied, worked out by hand from what each EXIF value means.
QPoint Upright(int orientation, int x, int y, int w, int h) {
    switch (orientation) {
    case 2:
        return {w - 1 - x, y};
    case 3:
        return {w - 1 - x, h - 1 - y};
    case 4:
        return {x, h - 1 - y};
    case 5:
        return {y, x};
    case 6:
        return {h - 1 - y, x};
    case 7:
        return {h - 1 - y, w - 1 - x};
    case 8:
        return {y, w - 1 - x};
    default:
        return {x, y};
    }
}

std::unique_ptr<Exiv2::Image> OpenMetadata(const QString& path) {
    auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    image->readMetadata();
    return image;
}

// The columns (or rows) where two pictures of one size differ, as a half-open span.
QPair<int, int> ChangedSpan(const QImage& a, const QImage& b, bool columns) {
    int first = -1, last = -1;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.pixel(x, y) != b.pixel(x, y)) {
                const int at = columns ? x : y;
                first = first < 0 ? at : std::min(first, at);
                last = std::max(last, at);
            }
    return {first, last + 1};
}
} // namespace

class TestPublish : public QObject {
    Q_OBJECT

private slots:
    void init();

    void photosAreStampedUpright_data();
    void photosAreStampedUpright();
    void metadataTravelsWithTheCopy_data();
    void metadataTravelsWithTheCopy();
    void transparentPicturesKeepTheirAlpha();
    void sizeDistanceStrengthAndQuality();
    void rowsAndWholePicturesGiveTheSameBytes_data();
    void rowsAndWholePicturesGiveTheSameBytes();

private:
    QString path(const QString& name) const { return dir_->filePath(name); }
    ProcessResult stamp(const QStringList& options, const QString& input) const;
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestPublish::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QDir(dir_->path()).mkpath("out");
    // A two-colour mark: every pixel of it is exact in a PNG copy.
    QImage mark(9, 5, QImage::Format_RGB32);
    mark.fill(qRgb(255, 255, 255));
    for (int x = 0; x < 9; ++x)
        mark.setPixel(x, 2, qRgb(0, 0, 255));
    mark.setPixel(8, 4, qRgb(255, 0, 0));
    WriteImage(mark, path("mark.png"), "png");
}

ProcessResult TestPublish::stamp(const QStringList& options, const QString& input) const {
    return RunProcess(kCli, QStringList{"--watermark", path("mark.png"), "--output", path("out"),
                                        "--placement", "bottom-right"} +
                                options + QStringList{input});
}

void TestPublish::photosAreStampedUpright_data() {
    QTest::addColumn<int>("orientation");
    for (int orientation = 1; orientation <= 8; ++orientation)
        QTest::addRow("orientation %d", orientation) << orientation;
}

void TestPublish::photosAreStampedUpright() {
    QFETCH(int, orientation);
    const QImage stored = photoLike(41, 23);
    writeFile(path("photo.jpg"), makeJpeg(stored, 1, 1, 100));
    {
        auto image = OpenMetadata(path("photo.jpg"));
        image->exifData()["Exif.Image.Orientation"] = uint16_t(orientation);
        image->writeMetadata();
    }
    const QImage decoded = readWhole(path("photo.jpg"));
    QCOMPARE(stamp({"--format", "png"}, path("photo.jpg")).code, 0);

    const QImage copy = readWhole(path("out/photo.png"));
    const bool turned = orientation >= 5;
    QCOMPARE(copy.size(), turned ? QSize(23, 41) : QSize(41, 23));
    const QImage mark = readWhole(path("mark.png"));
    const QPoint at(copy.width() - 9, copy.height() - 5);
    for (int y = 0; y < decoded.height(); ++y)
        for (int x = 0; x < decoded.width(); ++x) {
            const QPoint p = Upright(orientation, x, y, decoded.width(), decoded.height());
            const QPoint inMark = p - at;
            const bool marked =
                QRect(0, 0, 9, 5).contains(inMark) && mark.pixel(inMark) != qRgb(255, 255, 255);
            QCOMPARE(copy.pixel(p), marked ? mark.pixel(inMark) : decoded.pixel(x, y));
        }
    const auto image = OpenMetadata(path("out/photo.png"));
    QCOMPARE(exifText(image->exifData(), "Exif.Image.Orientation"), QStringLiteral("1"));
}

void TestPublish::metadataTravelsWithTheCopy_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("strip");
    QTest::newRow("JPEG") << "jpg"
                          << "photo.jpg" << false;
    QTest::newRow("PNG") << "png"
                         << "photo.png" << false;
    QTest::newRow("TIFF") << "auto"
                          << "photo.tif" << false;
    QTest::newRow("JPEG stripped") << "jpg"
                                   << "photo.jpg" << true;
    QTest::newRow("PNG stripped") << "png"
                                  << "photo.png" << true;
}

void TestPublish::metadataTravelsWithTheCopy() {
    QFETCH(QString, format);
    QFETCH(QString, output);
    QFETCH(bool, strip);
    const QString input = path(format == "auto" ? "photo.tif" : "photo.jpg");
    if (format == "auto")
        WriteImage(photoLike(40, 30), input, "tiff");
    else
        writeFile(input, makeJpeg(photoLike(40, 30), 2, 2));
    addSampleMetadata(input);
    QStringList options{"--format", format};
    if (strip)
        options << "--strip-metadata";
    QCOMPARE(stamp(options, input).code, 0);

    const auto image = OpenMetadata(path("out/" + output));
    const Exiv2::ExifData& exif = image->exifData();
    const QString keep = strip ? QString() : QStringLiteral("x");
    QCOMPARE(exifText(exif, "Exif.Image.Artist").isEmpty(), keep.isEmpty());
    QCOMPARE(exifText(exif, "Exif.Image.Copyright").isEmpty(), keep.isEmpty());
    QCOMPARE(exifText(exif, "Exif.Image.Make").isEmpty(), keep.isEmpty());
    QCOMPARE(exifText(exif, "Exif.GPSInfo.GPSLatitude").isEmpty(), keep.isEmpty());
    QCOMPARE(xmpText(image->xmpData(), "Xmp.dc.creator").isEmpty(), keep.isEmpty());
    if (!strip) {
        QCOMPARE(exifText(exif, "Exif.Image.Artist"), QString(SampleMetadata::artist));
        QCOMPARE(exifText(exif, "Exif.Image.Orientation"), QStringLiteral("1"));
        QCOMPARE(exifText(exif, "Exif.Photo.PixelXDimension"), QStringLiteral("30"));
        QCOMPARE(exifText(exif, "Exif.Thumbnail.Compression"), QString());
    }
    QCOMPARE(iccOf(*image), sampleIccProfile());
}

void TestPublish::transparentPicturesKeepTheirAlpha() {
    const QImage cutOut = withTransparency(200);
    WriteImage(cutOut, path("product.png"), "png");
    QCOMPARE(stamp({}, path("product.png")).code, 0);
    const QImage copy = readWhole(path("out/product.png"));
    QCOMPARE(copy.format(), QImage::Format_ARGB32);
    const QImage original = readWhole(path("product.png"));
    const QRect mark(copy.width() - 9, copy.height() - 5, 9, 5);
    for (int y = 0; y < copy.height(); ++y)
        for (int x = 0; x < copy.width(); ++x)
            if (!mark.contains(x, y))
                QCOMPARE(qAlpha(copy.pixel(x, y)), qAlpha(original.pixel(x, y)));
    // The mark's blue line is opaque over whatever was there.
    QCOMPARE(copy.pixel(mark.left() + 3, mark.top() + 2), qRgba(0, 0, 255, 255));
}

void TestPublish::sizeDistanceStrengthAndQuality() {
    const QImage wide = SolidImage(4000, 300, qRgb(100, 100, 100));
    WriteImage(wide, path("wide.png"), "png");
    QCOMPARE(stamp({"--scale", "0.25"}, path("wide.png")).code, 0);
    const QPair<int, int> columns = ChangedSpan(wide, readWhole(path("out/wide.png")), true);
    QVERIFY2(std::abs(columns.second - columns.first - 1000) <= 1,
             qPrintable(QStringLiteral("%1-%2").arg(columns.first).arg(columns.second)));

    const QImage small = SolidImage(200, 120, qRgb(100, 100, 100));
    WriteImage(small, path("small.png"), "png");
    QCOMPARE(stamp({"--margin", "20"}, path("small.png")).code, 0);
    const QImage margined = readWhole(path("out/small.png"));
    QCOMPARE(ChangedSpan(small, margined, true).second, 200 - 20);
    QCOMPARE(ChangedSpan(small, margined, false).second, 120 - 20);

    QCOMPARE(stamp({"--opacity", "50"}, path("small.png")).code, 0);
    // Half the way from grey 100 to the mark's blue, within the rounding of half an alpha step.
    const QRgb halfway = readWhole(path("out/small.png")).pixel(200 - 9 + 3, 120 - 5 + 2);
    QCOMPARE(qRed(halfway), 50);
    QVERIFY(std::abs(qBlue(halfway) - 177) <= 1);

    // JPEG copies: the standard tables of the quality asked for, 75 by default, or the input's own.
    writeFile(path("photo.jpg"), makeJpeg(photoLike(64, 48), 2, 2, 93));
    const auto tablesOf = [](const QString& file) {
        return PictureReader::open(file)->jpegTables();
    };
    for (const int quality : {75, 90}) {
        QCOMPARE(
            stamp(quality == 75 ? QStringList() : QStringList{"--quality", "90"}, path("photo.jpg"))
                .code,
            0);
        const auto tables = tablesOf(path("out/photo.jpg"));
        QVERIFY(tables);
        QCOMPARE(tables->tables[0], standardTable(quality, 0));
        QCOMPARE(tables->tables[1], standardTable(quality, 1));
    }
    QCOMPARE(stamp({"--quality", "keep"}, path("photo.jpg")).code, 0);
    QCOMPARE(tablesOf(path("out/photo.jpg"))->tables[0], standardTable(93, 0));
}

void TestPublish::rowsAndWholePicturesGiveTheSameBytes_data() {
    QTest::addColumn<int>("placement");
    QTest::addColumn<QSize>("markSize");
    QTest::addColumn<QString>("format");
    for (const char* format : {"jpg", "png"}) {
        for (int placement = 0; placement < 9; ++placement)
            QTest::addRow("%s placement %d", format, placement)
                << placement << QSize(20, 12) << format;
        QTest::addRow("%s mark larger than the picture", format) << 4 << QSize(150, 90) << format;
        QTest::addRow("%s mark on the last rows", format) << 8 << QSize(97, 3) << format;
        QTest::addRow("%s mark on the first row", format) << 1 << QSize(50, 1) << format;
    }
}

void TestPublish::rowsAndWholePicturesGiveTheSameBytes() {
    QFETCH(int, placement);
    QFETCH(QSize, markSize);
    QFETCH(QString, format);
    const QImage photo = photoLike(97, 70);
    const QString input = path("in." + format);
    if (format == "jpg")
        writeFile(input, makeJpeg(photo, 2, 2));
    else
        WriteImage(photo, input, "png");
    QImage mark(markSize, QImage::Format_ARGB32);
    for (int y = 0; y < markSize.height(); ++y)
        for (int x = 0; x < markSize.width(); ++x)
            mark.setPixel(x, y, qRgba(200, x * 5 % 256, 40, (x * 17 + y * 29) % 256));
    RunWatermark watermark{StampMark(mark, kWhite)};
    const OutputChoices choices;
    const StampStyle style;
    QByteArray copies[2];
    for (const bool whole : {false, true}) {
        StampRequest request;
        request.inputPath = input;
        request.output = {path(whole ? "whole." : "rows.") + format,
                          format == "jpg" ? PictureFormat::Jpeg : PictureFormat::Png};
        request.placement = placement;
        request.choices = &choices;
        request.style = &style;
        request.maxPixels = 1 << 20;
        request.wantPicture = whole;
        const StampResult result = StampFile(request, watermark);
        QVERIFY(result.written);
        copies[whole] = readFile(request.output.path);
    }
    QCOMPARE(copies[0], copies[1]);
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
