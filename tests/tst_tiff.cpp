// TIFF through libtiff: pictures of each kind read as stored, and copies that keep their input's
// compression, predictor, resolution, depth and pages, stamped through the command line.
#include "tests/clikit.h"
#include "tests/codecsamples.h"
#include "tests/tiffsamples.h"

#include "engine/io/picturereader.h"
#include "engine/io/picturewriter.h"

#include <QBuffer>
#include <QDir>
#include <QTest>

#include <exiv2/exiv2.hpp>
#include <tiff.h>

namespace {

QImage grey(const QImage& picture) {
    QImage image = picture.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const int level = qGray(image.pixel(x, y));
            image.setPixel(x, y, qRgb(level, level, level));
        }
    return image;
}

// Transparent, half-transparent and opaque pixels; `binary` leaves only the first and last, which
// a premultiplied 8-bit TIFF stores exactly.
QImage translucent(const QImage& picture, bool binary) {
    QImage image = picture.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const int alpha = binary ? ((x / 8 + y / 8) % 2) * 255 : (x * 7 + y * 3) % 256;
            const QRgb pixel = image.pixel(x, y);
            image.setPixel(x, y, qRgba(qRed(pixel), qGreen(pixel), qBlue(pixel), alpha));
        }
    return visible(image);
}

// 16 bits a sample whose low bytes differ from their high ones, so that 8 bits cannot hold them.
// Opaque ones come as RGBX64, the grey ones with equal samples.
QImage deep(const QImage& picture, bool alpha, bool grey = false) {
    QImage image(picture.size(), alpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = picture.pixel(x, y);
            const auto level = [&](int value, int salt) {
                return quint16(value * 256 + salt);
            };
            image.setPixelColor(x, y,
                                QColor::fromRgba64(level(qRed(pixel), x),
                                                   level(qGreen(pixel), grey ? x : y),
                                                   level(qBlue(pixel), grey ? x : x ^ y),
                                                   alpha ? level((x + y) % 256, 7) : 0xFFFF));
        }
    return image;
}

// Few colours, as a palette picture has.
QImage posterised(const QImage& picture) {
    QImage image = picture.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            image.setPixel(x, y,
                           qRgb(qRed(pixel) & 0xC0, qGreen(pixel) & 0xC0, qBlue(pixel) & 0x80));
        }
    return image;
}

TiffSamplePage pageOf(const QImage& image, int compression, int predictor = 1) {
    TiffSamplePage page;
    page.image = image;
    page.compression = compression;
    page.predictor = predictor;
    return page;
}

TiffSamplePage at300Dpi(TiffSamplePage page) {
    page.xResolution = page.yResolution = 300;
    return page;
}

// Pixels that differ between two pictures of the same size, compared as 8-bit ARGB.
int differing(const QImage& a, const QImage& b) {
    const QImage left = a.convertToFormat(QImage::Format_ARGB32);
    const QImage right = b.convertToFormat(QImage::Format_ARGB32);
    int count = 0;
    for (int y = 0; y < left.height(); ++y)
        for (int x = 0; x < left.width(); ++x)
            count += left.pixel(x, y) != right.pixel(x, y);
    return count;
}

// Every page of a TIFF as the program reads it.
QList<QImage> pagesOf(const QString& path) {
    const std::unique_ptr<PictureReader> reader = PictureReader::open(path);
    const std::unique_ptr<FrameSequence> pages = reader->frames(PictureFormat::Tiff);
    if (!pages)
        return {reader->readAll()};
    QList<QImage> images;
    for (int i = 0; i < pages->count(); ++i)
        images << pages->frame(i);
    return images;
}

// What a copy keeps of each page: all but the size-dependent layout of its strips.
void compareStorage(const QList<TiffPageFacts>& input, const QList<TiffPageFacts>& copy) {
    QCOMPARE(copy.size(), input.size());
    for (qsizetype i = 0; i < input.size(); ++i) {
        QCOMPARE(copy[i].size, input[i].size);
        QCOMPARE(copy[i].bits, input[i].bits);
        QCOMPARE(copy[i].samples, input[i].samples);
        QCOMPARE(copy[i].photometric, input[i].photometric);
        QCOMPARE(copy[i].compression, input[i].compression);
        QCOMPARE(copy[i].predictor, input[i].predictor);
        QCOMPARE(copy[i].resolutionUnit, input[i].resolutionUnit);
        QCOMPARE(copy[i].xResolution, input[i].xResolution);
        QCOMPARE(copy[i].yResolution, input[i].yResolution);
    }
}

const QString kFirstPageText = QStringLiteral("stamped its first page alone: a TIFF of 2 pages");

} // namespace

class TestTiff : public QObject, CliFolders {
    Q_OBJECT

private slots:
    void init() { makeFolders(); }
    void readsAndRewritesAsStored_data();
    void readsAndRewritesAsStored();
    void stampedCopyKeepsStorage_data();
    void stampedCopyKeepsStorage();
    void pagesTheCopyCannotKeep_data();
    void pagesTheCopyCannotKeep();
    void otherKindsThroughRgba_data();
    void otherKindsThroughRgba();
    void orientationIsApplied();
    void makerNoteKeepsItsTags();
    void otherPicturesBecomeLzw();
};

void TestTiff::readsAndRewritesAsStored_data() {
    QTest::addColumn<QByteArray>("tiff");
    QTest::addColumn<QImage>("expected"); // as readAll() gives it
    QTest::addColumn<int>("depth");
    QTest::addColumn<bool>("gray");
    QTest::addColumn<bool>("keepsLayout"); // the copy stores its samples as the input did
    const QImage photo = photoLike(101, 67);
    const QImage clear = translucent(photo, false);
    const QImage binary = translucent(photo, true);
    TiffSamplePage greyPage = pageOf(grey(photo), COMPRESSION_ADOBE_DEFLATE, 2);
    greyPage.grey = true;
    TiffSamplePage greyAlpha = pageOf(translucent(grey(photo), false), COMPRESSION_DEFLATE);
    greyAlpha.grey = true;
    TiffSamplePage associated = pageOf(binary, COMPRESSION_LZW);
    associated.associated = true;
    TiffSamplePage tiled = pageOf(photo, COMPRESSION_ADOBE_DEFLATE, 2);
    tiled.tileEdge = 16;
    TiffSamplePage centimetres = pageOf(photo, COMPRESSION_NONE);
    centimetres.xResolution = 118.0, centimetres.yResolution = 59.0;
    centimetres.resolutionUnit = RESUNIT_CENTIMETER;
    TiffSamplePage palette = pageOf(posterised(photo), COMPRESSION_LZW);
    palette.palette = true;
    TiffSamplePage deepGrey = pageOf(deep(grey(photo), false, true), COMPRESSION_LZW, 2);
    deepGrey.grey = true;
    TiffSamplePage deepAssociated = pageOf(deep(photo, true), COMPRESSION_NONE);
    deepAssociated.associated = true;
    const auto row = [](const char* name, const TiffSamplePage& page, const QImage& expected,
                        int depth, bool gray, bool keepsLayout = true) {
        QTest::newRow(name) << makeTiff({page}) << expected << depth << gray << keepsLayout;
    };
    row("LZW, predictor, 300 dpi, RGB", at300Dpi(pageOf(photo, COMPRESSION_LZW, 2)), photo, 8,
        false);
    row("Deflate grey", greyPage, grey(photo), 8, true);
    row("grey with alpha", greyAlpha, greyAlpha.image, 8, true);
    row("PackBits RGBA", pageOf(clear, COMPRESSION_PACKBITS), clear, 8, false);
    row("premultiplied alpha", associated, binary, 8, false, false);
    row("tiles", tiled, photo, 8, false);
    row("resolution in centimetres", centimetres, photo, 8, false);
    row("palette", palette, palette.image, 8, false, false);
    row("16-bit RGB", at300Dpi(pageOf(deep(photo, false), COMPRESSION_LZW, 2)), deep(photo, false),
        16, false);
    row("16-bit RGBA", pageOf(deep(photo, true), COMPRESSION_ADOBE_DEFLATE, 2), deep(photo, true),
        16, false);
    row("16-bit grey", deepGrey, deepGrey.image, 16, true);
    // Premultiplied 16-bit samples come back within a level of what they were.
    row("16-bit premultiplied", deepAssociated, QImage(), 16, false, false);
}

// The picture read as stored, written with its own settings, and read back: the same samples,
// the same storage.
void TestTiff::readsAndRewritesAsStored() {
    QFETCH(QByteArray, tiff);
    QFETCH(QImage, expected);
    QFETCH(int, depth);
    QFETCH(bool, gray);
    QFETCH(bool, keepsLayout);
    writeFile(in("input.tif"), tiff);
    const std::unique_ptr<PictureReader> reader = PictureReader::open(in("input.tif"));
    QCOMPARE(reader->format(), PictureFormat::Tiff);
    QCOMPARE(reader->depth(), depth);
    QCOMPARE(reader->gray(), gray);
    QVERIFY(reader->tiffSettings().has_value());
    const QImage picture = reader->readAll();
    QCOMPARE(picture.format(), depth == 16          ? QImage::Format_RGBA64
                               : reader->hasAlpha() ? QImage::Format_ARGB32
                                                    : QImage::Format_RGB32);
    if (depth == 16 && !expected.isNull())
        QVERIFY(sameBytes(picture, expected.convertToFormat(QImage::Format_RGBA64)));
    else if (!expected.isNull())
        QVERIFY(sameBytes(visible(picture), expected));
    // Rows read a band at a time come at 8 bits whatever the depth.
    const QImage eight =
        picture.convertToFormat(reader->hasAlpha() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    QVERIFY(sameBytes(readInBands(in("input.tif"), 16), eight));

    PictureMetadata metadata;
    metadata.density = reader->metadata().density;
    QBuffer copy;
    copy.open(QIODevice::WriteOnly);
    WriteTiff(picture, copy, *reader->tiffSettings(), metadata);
    writeFile(out("copy.tif"), copy.data());
    const QList<TiffPageFacts> input = tiffFacts(in("input.tif"));
    const QList<TiffPageFacts> written = tiffFacts(out("copy.tif"));
    if (keepsLayout) {
        compareStorage(input, written);
    } else {
        QCOMPARE(written.front().compression, input.front().compression);
        QCOMPARE(written.front().bits, input.front().bits);
    }
    const QImage again = PictureReader::open(out("copy.tif"))->readAll();
    QVERIFY(sameBytes(again, picture));
}

void TestTiff::stampedCopyKeepsStorage_data() {
    QTest::addColumn<QByteArray>("tiff");
    QTest::addColumn<bool>("greyMark");
    const QImage photo = photoLike(120, 90);
    TiffSamplePage greyPage = pageOf(grey(photo), COMPRESSION_ADOBE_DEFLATE, 2);
    greyPage.grey = true;
    TiffSamplePage second = pageOf(photoLike(120, 90).mirrored(), COMPRESSION_PACKBITS);
    second.xResolution = second.yResolution = 150;
    TiffSamplePage tiled = at300Dpi(pageOf(photo, COMPRESSION_LZW, 2));
    tiled.tileEdge = 32;
    QTest::newRow("LZW, predictor, 300 dpi")
        << makeTiff({at300Dpi(pageOf(photo, COMPRESSION_LZW, 2))}) << false;
    QTest::newRow("Deflate grey, grey mark") << makeTiff({greyPage}) << true;
    QTest::newRow("PackBits RGBA")
        << makeTiff({pageOf(translucent(photo, false), COMPRESSION_PACKBITS)}) << false;
    QTest::newRow("tiles") << makeTiff({tiled}) << false;
    QTest::newRow("2 pages") << makeTiff({at300Dpi(pageOf(photo, COMPRESSION_LZW, 2)), second})
                             << false;
}

// Each page of the copy stored as its input's, its pixels those of the input but under the mark.
void TestTiff::stampedCopyKeepsStorage() {
    QFETCH(QByteArray, tiff);
    QFETCH(bool, greyMark);
    writeFile(in("scan.tif"), tiff);
    QStringList arguments = base();
    if (greyMark) {
        QImage mark = SolidImage(12, 8, qRgb(255, 255, 255));
        for (int x = 2; x < 10; ++x)
            mark.setPixel(x, 4, qRgb(60, 60, 60));
        WriteImage(mark, in("grey.png"), "png");
        arguments[1] = in("grey.png");
    }
    const ProcessResult run = RunCli(arguments << in("scan.tif"));
    QVERIFY2(run.code == 0, qPrintable(run.errors));
    QVERIFY2(!run.output.contains(QStringLiteral("first page")), qPrintable(run.output));
    compareStorage(tiffFacts(in("scan.tif")), tiffFacts(out("scan.tif")));
    const QList<QImage> before = pagesOf(in("scan.tif"));
    const QList<QImage> after = pagesOf(out("scan.tif"));
    QCOMPARE(after.size(), before.size());
    for (qsizetype i = 0; i < before.size(); ++i) {
        const int changed = differing(before[i], after[i]);
        QVERIFY2(changed > 0 && changed <= 12 * 8, qPrintable(QString::number(changed)));
    }
}

void TestTiff::pagesTheCopyCannotKeep_data() {
    QTest::addColumn<QByteArray>("tiff");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("copy");
    const TiffSamplePage first = pageOf(photoLike(80, 60), COMPRESSION_LZW, 2);
    const TiffSamplePage same = pageOf(photoLike(80, 60), COMPRESSION_LZW, 2);
    const TiffSamplePage other = pageOf(photoLike(60, 80), COMPRESSION_LZW, 2);
    QTest::newRow("pages of different sizes") << makeTiff({first, other}) << "tif"
                                              << "scan.tif";
    QTest::newRow("pages into a PNG") << makeTiff({first, same}) << "png"
                                      << "scan.png";
}

// The marks are placed once for the picture: a copy that cannot hold every page so holds the
// first, and the run says so.
void TestTiff::pagesTheCopyCannotKeep() {
    QFETCH(QByteArray, tiff);
    QFETCH(QString, format);
    QFETCH(QString, copy);
    writeFile(in("scan.tif"), tiff);
    const ProcessResult run = RunCli(base() << "--format" << format << in("scan.tif"));
    QVERIFY2(run.code == 0, qPrintable(run.errors));
    QVERIFY2((run.output + run.errors).contains(kFirstPageText),
             qPrintable(run.output + run.errors));
    QVERIFY(QFile::exists(out(copy)));
    if (format == QLatin1String("tif"))
        QCOMPARE(tiffFacts(out(copy)).size(), 1);
}

void TestTiff::otherKindsThroughRgba_data() {
    QTest::addColumn<QByteArray>("tiff");
    // The mean difference a channel; libjpeg gives this picture 8.6 at quality 95 on its own.
    QTest::addColumn<double>("tolerance");
    QTest::addColumn<int>("photometric"); // the copy's
    TiffSamplePage jpeg = pageOf(photoLike(101, 67), COMPRESSION_NONE);
    jpeg.jpeg = true;
    TiffSamplePage cmyk = pageOf(photoLike(101, 67), COMPRESSION_LZW);
    cmyk.cmyk = true;
    QTest::newRow("JPEG-compressed YCbCr") << makeTiff({jpeg}) << 10.0 << PHOTOMETRIC_RGB;
    QTest::newRow("CMYK") << makeTiff({cmyk}) << 0.0 << PHOTOMETRIC_SEPARATED;
}

// Kinds of page other than RGB and grey come out at 8 bits in RGB; a JPEG-compressed one's copy
// is RGB as LZW, a CMYK one's keeps its inks and compression.
void TestTiff::otherKindsThroughRgba() {
    QFETCH(QByteArray, tiff);
    QFETCH(double, tolerance);
    QFETCH(int, photometric);
    writeFile(in("other.tif"), tiff);
    const std::unique_ptr<PictureReader> reader = PictureReader::open(in("other.tif"));
    QCOMPARE(reader->depth(), 8);
    const QImage picture = reader->readAll();
    QCOMPARE(picture.format(), QImage::Format_RGB32);
    const double error = meanError(picture, photoLike(101, 67));
    QVERIFY2(error <= tolerance, qPrintable(QString::number(error)));
    const ProcessResult run = RunCli(base() << in("other.tif"));
    QVERIFY2(run.code == 0, qPrintable(run.errors));
    const QList<TiffPageFacts> copy = tiffFacts(out("other.tif"));
    QCOMPARE(copy.size(), 1);
    QCOMPARE(copy.front().photometric, photometric);
    const int input = tiffFacts(in("other.tif")).front().compression;
    QCOMPARE(copy.front().compression, input == COMPRESSION_JPEG ? COMPRESSION_LZW : input);
}

void TestTiff::orientationIsApplied() {
    TiffSamplePage page = at300Dpi(pageOf(photoLike(40, 20), COMPRESSION_LZW, 2));
    page.orientation = ORIENTATION_RIGHTTOP;
    writeFile(in("turned.tif"), makeTiff({page}));
    QCOMPARE(PictureReader::open(in("turned.tif"))->orientation(), 6);
    const ProcessResult run = RunCli(base() << in("turned.tif"));
    QVERIFY2(run.code == 0, qPrintable(run.errors));
    const QList<TiffPageFacts> copy = tiffFacts(out("turned.tif"));
    QCOMPARE(copy.size(), 1);
    QCOMPARE(copy.front().size, QSize(20, 40));
    QCOMPARE(copy.front().orientation, 1);
}

// exiv2 writes the copy's EXIF: a maker note it knows is read and written again by it, each of
// its tags under its own number.
void TestTiff::makerNoteKeepsItsTags() {
    writeFile(in("camera.tif"), makeTiff({pageOf(photoLike(64, 48), COMPRESSION_LZW, 2)}));
    {
        auto image = Exiv2::ImageFactory::open(QFile::encodeName(in("camera.tif")).toStdString());
        image->readMetadata();
        Exiv2::ExifData& exif = image->exifData();
        exif["Exif.Image.Make"] = "Canon";
        exif["Exif.Image.Model"] = "Canon EOS Example";
        exif["Exif.Canon.OwnerName"] = "Owner Example";
        exif["Exif.Canon.FirmwareVersion"] = "Firmware 1.0.2";
        exif["Exif.Canon.ModelID"] = uint32_t(2147484041u);
        exif["Exif.Canon.SerialNumber"] = uint32_t(560012345);
        image->writeMetadata();
    }
    const ProcessResult run = RunCli(base() << in("camera.tif"));
    QVERIFY2(run.code == 0, qPrintable(run.errors));
    const auto canonTags = [](const QString& path) {
        auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        image->readMetadata();
        QStringList tags;
        for (const Exiv2::Exifdatum& datum : image->exifData())
            if (datum.groupName() == "Canon")
                tags << QStringLiteral("%1 %2=%3")
                            .arg(datum.tag(), 4, 16, QLatin1Char('0'))
                            .arg(QString::fromStdString(datum.key()),
                                 QString::fromStdString(datum.toString()));
        return tags;
    };
    const QStringList input = canonTags(in("camera.tif"));
    QCOMPARE(input.size(), 4);
    QCOMPARE(canonTags(out("camera.tif")), input);
    // Rewritten by exiv2, the page is still stored as its input's.
    compareStorage(tiffFacts(in("camera.tif")), tiffFacts(out("camera.tif")));
}

// A picture of another format written as a TIFF: LZW with the horizontal predictor, at its own
// density.
void TestTiff::otherPicturesBecomeLzw() {
    PictureMetadata metadata;
    metadata.density = PixelDensity{300, 300, false};
    writeFile(in("photo.jpg"), encoded(photoLike(64, 48), PictureFormat::Jpeg, metadata));
    const ProcessResult run = RunCli(base() << "--format"
                                            << "tif" << in("photo.jpg"));
    QVERIFY2(run.code == 0, qPrintable(run.errors));
    const QList<TiffPageFacts> copy = tiffFacts(out("photo.tif"));
    QCOMPARE(copy.size(), 1);
    QCOMPARE(copy.front().compression, COMPRESSION_LZW);
    QCOMPARE(copy.front().predictor, PREDICTOR_HORIZONTAL);
    QCOMPARE(copy.front().resolutionUnit, RESUNIT_INCH);
    QCOMPARE(qRound(copy.front().xResolution), 300);
}

QTEST_GUILESS_MAIN(TestTiff)
#include "tst_tiff.moc"
