// The picture readers and writers: pixels as Qt decodes them (the PngSuite read by the readers
// and by the whole-picture decode), truncated and hostile files, metadata carried into every
// output format, JPEG tables, banded writing and failing devices.
#include "engine/io/grayprofile.h"
#include "engine/io/palette.h"
#include "engine/io/picture.h"
#include "engine/run/outputfile.h"
#include "engine/stamping/surface.h"
#include "support/failure.h"
#include "tests/codecsamples.h"
#include "tests/graysamples.h"
#include "tests/testkit.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImageWriter>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <QtEndian>
#include <zlib.h>

#include <sys/stat.h>
#include <unistd.h>

#include <thread>

namespace {

const QString kSuite = QStringLiteral(TINTOREL_TEST_DATA "/pngsuite");

// An image of exactly `colors` distinct colours (at most 512), odd-sized so that no line ends
// on a word boundary.
QImage patterned(int colors, QImage::Format format = QImage::Format_RGB32) {
    QImage image(37, 23, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const int i = (y * image.width() + x) % colors;
            image.setPixel(x, y, qRgb((i * 37) % 256, (i * 91 + 7) % 256, (i % 256) ^ (i / 256)));
        }
    return image.convertToFormat(format);
}

} // namespace

class TestCodecs : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void jpegPixelsEqualQt_data();
    void jpegPixelsEqualQt();
    void pngSuiteEqualsQt();
    void sixteenBitPngKeepsEveryLevel_data();
    void sixteenBitPngKeepsEveryLevel();
    void paletteHoldsTheStampedColours_data();
    void paletteHoldsTheStampedColours();
    void palettePngRoundTrip();
    void formatFollowsContent();

    void cutPictureFails_data();
    void cutPictureFails();
    void damagedJpeg_data();
    void damagedJpeg();
    void hugeBmpHeaderFailsAtOnce();
    void onlyRegularFilesOpen_data();
    void onlyRegularFilesOpen();

    void metadataSurvives_data();
    void metadataSurvives();
    void textsDensityAndColourChunksSurvive_data();
    void textsDensityAndColourChunksSurvive();
    void unreadableMetadataIsDropped();
    void whatAFormatCannotHoldGoesWithANote_data();
    void whatAFormatCannotHoldGoesWithANote();
    void onlyAnAppliedOrientationBecomesOne();

    void jpegTables_data();
    void jpegTables();
    void progressiveCopyCodesTheSameBlocksSmaller();
    void bandsGiveTheSameBytes_data();
    void bandsGiveTheSameBytes();
    void roundTrip_data();
    void roundTrip();
    void grayCopies_data();
    void grayCopies();
    void grayProfileGivesRgbProfileOfTheSameGreys_data();
    void grayProfileGivesRgbProfileOfTheSameGreys();
    void fullDeviceFails_data();
    void fullDeviceFails();
    void failedWriteKeepsEarlierFile_data();
    void failedWriteKeepsEarlierFile();
    void workersAtOnce();

private:
    QString path(const QString& name) const { return dir_.filePath(name); }
    QString writeSample(const QString& name, const QByteArray& bytes) const {
        writeFile(path(name), bytes);
        return path(name);
    }
    QTemporaryDir dir_;
};

void TestCodecs::initTestCase() {
    QVERIFY(dir_.isValid());
    // The engine sets exiv2's XMP toolkit up with its lock before this test's own exiv2 calls.
    MetadataForOutput(MetadataOf({}, QByteArray("<x/>"), {}, {}), QSize(1, 1), false);
}

void TestCodecs::jpegPixelsEqualQt_data() {
    QTest::addColumn<int>("h");
    QTest::addColumn<int>("v");
    QTest::addColumn<JpegKind>("kind");
    QTest::newRow("4:4:4") << 1 << 1 << JpegKind::Color;
    QTest::newRow("4:2:2") << 2 << 1 << JpegKind::Color;
    QTest::newRow("4:2:0") << 2 << 2 << JpegKind::Color;
    QTest::newRow("4:4:0") << 1 << 2 << JpegKind::Color;
    QTest::newRow("gray") << 1 << 1 << JpegKind::Gray;
    QTest::newRow("progressive") << 2 << 2 << JpegKind::Progressive;
    QTest::newRow("Adobe CMYK") << 2 << 2 << JpegKind::AdobeCmyk;
}

// Exactly Qt's pixels, with the fourth byte 0xFF as RGB32 requires; banded reads the same. A
// progressive file keeps the whole picture's coefficients in libjpeg until its last scan, so it
// is held whole like a CMYK one.
void TestCodecs::jpegPixelsEqualQt() {
    QFETCH(int, h);
    QFETCH(int, v);
    QFETCH(JpegKind, kind);
    const QString file =
        writeSample(QStringLiteral("sampling.jpg"), makeJpeg(photoLike(), h, v, 85, kind));
    auto reader = PictureReader::open(file);
    QCOMPARE(reader->format(), PictureFormat::Jpeg);
    QCOMPARE(reader->size(), QSize(101, 67));
    QCOMPARE(reader->canStream(), kind != JpegKind::AdobeCmyk && kind != JpegKind::Progressive);
    const QImage decoded = reader->readAll();
    QVERIFY(sameBytes(decoded, qtDecode(file, false)));
    if (reader->canStream())
        for (int band : {1, 7, 16, 67})
            QVERIFY2(sameBytes(readInBands(file, band), decoded),
                     qPrintable(QString::number(band)));
}

// Every valid file decodes to Qt's pixels, transparency included; every corrupt one is refused.
// 16-bit samples are rounded to 8 bits as Qt rounds them, so those files compare exactly too.
void TestCodecs::pngSuiteEqualsQt() {
    int valid = 0, corrupt = 0, sixteen = 0;
    QStringList differing;
    for (const QString& name : QDir(kSuite).entryList({QStringLiteral("*.png")}, QDir::Files)) {
        const QString file = QDir(kSuite).filePath(name);
        if (name.startsWith(QLatin1Char('x'))) {
            QVERIFY2(!failureOf([&] { readWhole(file); }).isEmpty(), qPrintable(name));
            // The whole-picture decode that the preview and the stamp use refuses it too, with
            // a reason to show.
            const QString reason = failureOf([&] { LoadPicture(file); });
            QVERIFY2(!reason.isEmpty() && reason != QLatin1String("(empty reason)"),
                     qPrintable(name));
            ++corrupt;
            continue;
        }
        QImage decoded, deep;
        bool alpha = false;
        const QString failure = failureOf([&] {
            auto reader = PictureReader::open(file);
            alpha = reader->hasAlpha();
            if (reader->depth() == 16) {
                deep = reader->readAll();
                reader = PictureReader::open(file);
            }
            reader->useEightBits();
            decoded = reader->readAll();
        });
        QVERIFY2(failure.isEmpty(), qPrintable(name + ": " + failure));
        if (!sameBytes(visible(decoded), visible(qtDecode(file, alpha))))
            differing << name;
        // Kept at 16 bits, every level is Qt's own 16-bit decode.
        if (!deep.isNull()) {
            QCOMPARE(deep.format(), QImage::Format_RGBA64);
            const QImage qt = QImage(file).convertToFormat(QImage::Format_RGBA64);
            if (!sameBytes(deep, qt))
                differing << name + QStringLiteral(" at 16 bits");
            ++sixteen;
        }
        QVERIFY2(sameBytes(readInBands(file, 5), decoded), qPrintable(name));
        QImage whole;
        QVERIFY2(failureOf([&] { whole = LoadPicture(file); }).isEmpty(), qPrintable(name));
        QVERIFY2(!whole.isNull() && whole.format() == QImage::Format_RGB32, qPrintable(name));
        ++valid;
    }
    QCOMPARE(valid, 161);
    QCOMPARE(corrupt, 14);
    QCOMPARE(sixteen, 33);
    // Qt ignores the transparent colour of 16-bit truecolour files; libpng applies it.
    QCOMPARE(
        differing,
        (QStringList{QStringLiteral("tbbn2c16.png"), QStringLiteral("tbbn2c16.png at 16 bits"),
                     QStringLiteral("tbgn2c16.png"), QStringLiteral("tbgn2c16.png at 16 bits")}));
}

namespace {
// A picture of 16 bits a channel at levels no 8-bit picture has; with alpha from clear to opaque.
QImage DeepPicture(QImage::Format format) {
    QImage deep(37, 23, format);
    for (int y = 0; y < deep.height(); ++y) {
        auto* line = reinterpret_cast<QRgba64*>(deep.scanLine(y));
        for (int x = 0; x < deep.width(); ++x)
            line[x] = QRgba64::fromRgba64(
                quint16(x * 1777 + y), quint16(65535 - x * y * 71), quint16(y * 2843 + 1),
                deep.hasAlphaChannel() ? quint16(x * 65535 / 36) : quint16(65535));
    }
    return deep;
}

// A PNG's bit depth and colour type, from its header.
std::pair<int, int> PngKind(const QByteArray& png) {
    return {uchar(png.at(24)), uchar(png.at(25))};
}
} // namespace

void TestCodecs::sixteenBitPngKeepsEveryLevel_data() {
    QTest::addColumn<QImage::Format>("format");
    QTest::addColumn<int>("colorType");
    QTest::newRow("RGBA") << QImage::Format_RGBA64 << 6;
    QTest::newRow("RGB") << QImage::Format_RGBX64 << 2;
}

void TestCodecs::sixteenBitPngKeepsEveryLevel() {
    QFETCH(QImage::Format, format);
    QFETCH(int, colorType);
    const QImage deep = DeepPicture(format);
    const QByteArray png = encoded(deep, PictureFormat::Png);
    QCOMPARE(PngKind(png), std::make_pair(16, colorType));
    const QString file = writeSample(QStringLiteral("deep.png"), png);
    // Qt reads what was written, level for level.
    QCOMPARE(QImage(file).convertToFormat(format), deep);
    auto reader = PictureReader::open(file);
    QCOMPARE(reader->depth(), 16);
    QVERIFY(!reader->canStream());
    QCOMPARE(reader->hasAlpha(), deep.hasAlphaChannel());
    QImage read = reader->readAll();
    QCOMPARE(read.format(), QImage::Format_RGBA64);
    QVERIFY(read.reinterpretAsFormat(format));
    QCOMPARE(read, deep);
    // For a copy of 8 bits, the rows stream rounded as Qt rounds them.
    auto eight = PictureReader::open(file);
    eight->useEightBits();
    QCOMPARE(eight->depth(), 8);
    QVERIFY(eight->canStream());
    QVERIFY(sameBytes(visible(eight->readAll()), visible(qtDecode(file, deep.hasAlphaChannel()))));
}

void TestCodecs::paletteHoldsTheStampedColours_data() {
    QTest::addColumn<QList<QRgb>>("palette");
    QTest::addColumn<QList<QRgb>>("shown");
    QTest::addColumn<QList<QRgb>>("expected"); // empty: no palette holds them
    const QRgb red = qRgb(255, 0, 0), green = qRgb(0, 255, 0), blue = qRgb(0, 0, 255);
    const QRgb clear = qRgba(10, 20, 30, 0), mark = qRgb(220, 20, 20);
    QTest::newRow("its own colours keep the palette, unused ones too")
        << QList<QRgb>{blue, clear, red, green} << QList<QRgb>{red, clear, red}
        << QList<QRgb>{blue, clear, red, green};
    QTest::newRow("a new colour comes last")
        << QList<QRgb>{blue, red} << QList<QRgb>{red, mark, blue, mark}
        << QList<QRgb>{blue, red, mark};
    QList<QRgb> full;
    for (int i = 0; i < 256; ++i)
        full << qRgb(i, 255 - i, 7);
    QList<QRgb> fullUsed{full[3], full[9], mark};
    QTest::newRow("a full palette gives up the colours no longer shown")
        << full << QList<QRgb>{full[9], mark, full[3]} << fullUsed;
    QList<QRgb> many = full;
    many << mark;
    QTest::newRow("257 colours shown") << full << many << QList<QRgb>{};
}

void TestCodecs::paletteHoldsTheStampedColours() {
    QFETCH(QList<QRgb>, palette);
    QFETCH(QList<QRgb>, shown);
    QFETCH(QList<QRgb>, expected);
    QImage picture(int(shown.size()), 1, QImage::Format_ARGB32);
    for (int x = 0; x < picture.width(); ++x)
        picture.setPixel(x, 0, shown[x]);
    const QImage indexed = IndexedOn(picture, palette);
    if (expected.isEmpty()) {
        QVERIFY(indexed.isNull());
        return;
    }
    QCOMPARE(indexed.colorTable(), expected);
    QVERIFY(sameBytes(indexed.convertToFormat(QImage::Format_ARGB32), picture));
}

// A palette PNG written in the fewest bits its colours need, and read back with its palette.
void TestCodecs::palettePngRoundTrip() {
    QImage picture(29, 11, QImage::Format_ARGB32);
    const QList<QRgb> colors{qRgba(0, 0, 0, 0), qRgb(250, 250, 250), qRgba(200, 0, 0, 128)};
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, colors[(x * y + x) % 3]);
    const QImage indexed = IndexedOn(picture, colors);
    const QByteArray png = encoded(indexed, PictureFormat::Png);
    QCOMPARE(PngKind(png), std::make_pair(2, 3));
    const QString file = writeSample(QStringLiteral("palette.png"), png);
    auto reader = PictureReader::open(file);
    QCOMPARE(reader->palette(), colors);
    QVERIFY(reader->hasAlpha());
    QVERIFY(sameBytes(reader->readAll(), picture));
}

void TestCodecs::formatFollowsContent() {
    WriteImage(photoLike(), path("png-named.jpg"), "png");
    writeFile(path("jpeg-named.gif"), makeJpeg(photoLike(), 2, 2));
    WriteImage(photoLike(), path("tiff-named.png"), "tiff");
    QCOMPARE(PictureReader::open(path("png-named.jpg"))->format(), PictureFormat::Png);
    QCOMPARE(PictureReader::open(path("jpeg-named.gif"))->format(), PictureFormat::Jpeg);
    QCOMPARE(PictureReader::open(path("tiff-named.png"))->format(), PictureFormat::Tiff);
    // Formats without a reader of their own go through Qt whole, keeping their transparency.
    QImage icon = photoLike(48, 48).convertToFormat(QImage::Format_ARGB32);
    icon.setPixel(3, 4, qRgba(1, 2, 3, 0));
    WriteImage(icon, path("icon.png"), "ico");
    auto reader = PictureReader::open(path("icon.png"));
    QCOMPARE(reader->format(), PictureFormat::Other);
    QVERIFY(reader->hasAlpha());
    QVERIFY(sameBytes(reader->readAll(), qtDecode(path("icon.png"), true)));
}

void TestCodecs::cutPictureFails_data() {
    QTest::addColumn<QByteArray>("whole");
    QTest::addColumn<bool>("anyReason"); // TIFF fails with libtiff's words
    const QImage picture = photoLike(160, 120);
    QImage gifPicture = picture.convertToFormat(QImage::Format_Indexed8);
    const QList<std::pair<const char*, QByteArray>> formats = {
        {"jpeg", makeJpeg(picture, 2, 2)},
        {"progressive jpeg", makeJpeg(picture, 2, 2, 85, JpegKind::Progressive)},
        {"png", encoded(picture, PictureFormat::Png)},
        {"gif", encoded(gifPicture, PictureFormat::Gif)},
        {"bmp", encoded(picture, PictureFormat::Bmp)},
        {"bmp rle8", makeRle8Bmp(picture)},
        {"tiff", encoded(picture, PictureFormat::Tiff)},
    };
    for (const auto& [name, bytes] : formats)
        for (int percent : {5, 50, 99})
            QTest::addRow("%s cut at %d%%", name, percent)
                << bytes.left(bytes.size() * percent / 100) << (QByteArray(name) == "tiff");
}

void TestCodecs::cutPictureFails() {
    QFETCH(QByteArray, whole);
    QFETCH(bool, anyReason);
    const QString file = writeSample(QStringLiteral("cut"), whole);
    const QString reason = failureOf([&] { readWhole(file); });
    if (anyReason)
        QVERIFY(!reason.isEmpty());
    else
        QCOMPARE(reason, kDataEndsEarlyText);
}

void TestCodecs::damagedJpeg_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason"); // empty: decodes as Qt decodes it
    const QByteArray whole = makeJpeg(photoLike(), 2, 2);
    QByteArray stray = whole, precision = whole;
    stray.insert(whole.indexOf("\xFF\xDB"), "\x01\x02\x03");
    precision[whole.indexOf("\xFF\xC0") + 4] = 12;
    QTest::newRow("stray bytes before a marker") << stray << QString();
    QTest::newRow("12-bit samples") << precision << "Unsupported JPEG data precision 12";
}

// A harmless warning leaves the picture as Qt shows it; an error carries libjpeg's words.
void TestCodecs::damagedJpeg() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    const QString file = writeSample(QStringLiteral("damaged.jpg"), bytes);
    QImage decoded;
    QCOMPARE(failureOf([&] { decoded = readWhole(file); }), reason);
    if (reason.isEmpty())
        QVERIFY(sameBytes(decoded, qtDecode(file, false)));
}

// 154 bytes that claim 16000 x 16000 pixels: refused from the header, before 768 MB are taken.
void TestCodecs::hugeBmpHeaderFailsAtOnce() {
    QByteArray bmp = encoded(photoLike(16, 16), PictureFormat::Bmp).left(154);
    qToLittleEndian<qint32>(16000, bmp.data() + 18);
    qToLittleEndian<qint32>(16000, bmp.data() + 22);
    const QString file = writeSample(QStringLiteral("huge.bmp"), bmp);
    const long before = maxResidentKilobytes();
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(failureOf([&] { PictureReader::open(file); }), kDataEndsEarlyText);
    QVERIFY(timer.elapsed() < 1000);
    QVERIFY(maxResidentKilobytes() - before < 64 * 1024);
}

void TestCodecs::onlyRegularFilesOpen_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");
    QTest::newRow("fifo") << "fifo" << kNotRegularFileText;
    QTest::newRow("folder") << "folder" << kNotRegularFileText;
    QTest::newRow("device") << "/dev/null" << kNotRegularFileText;
    QTest::newRow("missing") << "missing.png" << SystemErrorText(ENOENT);
    QTest::newRow("empty") << "empty.jpg" << QString();
}

// A FIFO with no writer would block a reader forever: it is refused without being read.
void TestCodecs::onlyRegularFilesOpen() {
    QFETCH(QString, name);
    QFETCH(QString, reason);
    QDir(dir_.path()).mkdir(QStringLiteral("folder"));
    ::mkfifo(QFile::encodeName(path(QStringLiteral("fifo"))).constData(), 0600);
    writeFile(path(QStringLiteral("empty.jpg")), {});
    const QString target = name.startsWith(QLatin1Char('/')) ? name : path(name);
    QElapsedTimer timer;
    timer.start();
    const QString failure = failureOf([&] { PictureReader::open(target); });
    QVERIFY(!failure.isEmpty());
    if (!reason.isEmpty())
        QCOMPARE(failure, reason);
    QVERIFY(timer.elapsed() < 2000);
}

namespace {

const QList<std::pair<const char*, PictureFormat>> kWrittenFormats = {
    {"jpeg", PictureFormat::Jpeg},
    {"png", PictureFormat::Png},
    {"gif", PictureFormat::Gif},
    {"bmp", PictureFormat::Bmp},
    {"tiff", PictureFormat::Tiff}};

} // namespace

void TestCodecs::metadataSurvives_data() {
    QTest::addColumn<PictureFormat>("format");
    QTest::addColumn<bool>("strip");
    for (const auto& [name, format] : kWrittenFormats) {
        if (format == PictureFormat::Gif || format == PictureFormat::Bmp)
            continue;
        QTest::addRow("%s kept", name) << format << false;
        QTest::addRow("%s stripped", name) << format << true;
    }
}

// What a camera and an editor put into a JPEG reaches each output as exiv2 reads it: upright,
// the new size, no stale thumbnail; stripping keeps the colour profile alone.
void TestCodecs::metadataSurvives() {
    QFETCH(PictureFormat, format);
    QFETCH(bool, strip);
    const QString source = writeSample(QStringLiteral("camera.jpg"), makeJpeg(photoLike(), 2, 2));
    addSampleMetadata(source);
    auto reader = PictureReader::open(source);
    QCOMPARE(reader->orientation(), 6);
    const PictureMetadata& input = reader->metadata();
    QVERIFY(!input.exif.isEmpty() && !input.xmp.isEmpty() && !input.iptc.isEmpty());
    QCOMPARE(input.icc, sampleIccProfile());
    Exiv2::ExifData camera;
    Exiv2::ExifParser::decode(camera, reinterpret_cast<const Exiv2::byte*>(input.exif.constData()),
                              uint32_t(input.exif.size()));
    QVERIFY(Exiv2::ExifThumbC(camera).copy().size_ > 0);
    const PictureMetadata output = MetadataForOutput(input, reader->size(), strip);
    const QString written =
        writeSample(QStringLiteral("written"), encoded(reader->readAll(), format, output));

    auto image = Exiv2::ImageFactory::open(QFile::encodeName(written).toStdString());
    image->readMetadata();
    QCOMPARE(iccOf(*image), sampleIccProfile());
    const Exiv2::ExifData& exif = image->exifData();
    QCOMPARE(exifText(exif, "Exif.Image.Artist"), strip ? QString() : SampleMetadata::artist);
    QCOMPARE(xmpText(image->xmpData(), "Xmp.dc.creator").contains(SampleMetadata::creator), !strip);
    QCOMPARE(iptcText(image->iptcData(), "Iptc.Application2.Byline"),
             strip ? QString() : SampleMetadata::byline);
    QCOMPARE(Exiv2::ExifThumbC(exif).copy().size_, 0);
    auto back = PictureReader::open(written);
    QCOMPARE(back->orientation(), 1);
    QCOMPARE(back->metadata().icc, sampleIccProfile());
    if (strip)
        return;
    QCOMPARE(exifText(exif, "Exif.Image.Copyright"), SampleMetadata::copyright);
    QCOMPARE(exifText(exif, "Exif.Image.Make"), SampleMetadata::make);
    QCOMPARE(exifText(exif, "Exif.GPSInfo.GPSLatitude"), QStringLiteral("41/1 24/1 30/1"));
    QCOMPARE(exifText(exif, "Exif.Image.Orientation"), QStringLiteral("1"));
    QCOMPARE(exifText(exif, "Exif.Photo.PixelXDimension"), QStringLiteral("101"));
    QCOMPARE(xmpText(image->xmpData(), "Xmp.tiff.Orientation"), QStringLiteral("1"));
    QCOMPARE(back->metadata().iptc, input.iptc);
}

// Metadata exiv2 cannot parse is left out; the picture is written all the same.
namespace {
QByteArray ExifWithDescription(quint32 length);

QByteArray PngChunk(const char* type, const QByteArray& data) {
    QByteArray chunk(4, '\0');
    qToBigEndian<quint32>(quint32(data.size()), chunk.data());
    const QByteArray body = QByteArray(type, 4) + data;
    QByteArray crc(4, '\0');
    qToBigEndian<quint32>(
        quint32(crc32(0, reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()))),
        crc.data());
    return chunk + body + crc;
}

QByteArray BigEndian(std::initializer_list<quint32> values) {
    QByteArray bytes;
    for (const quint32 value : values) {
        QByteArray word(4, '\0');
        qToBigEndian(value, word.data());
        bytes += word;
    }
    return bytes;
}

// An 8 x 2 grey-blue PNG as an editor writes one: colour chunks and a 300 dpi density before
// the image data, texts on either side of it, a compressed and an international one among them,
// and its EXIF after it.
QByteArray RichPng(const QByteArray& exif) {
    QByteArray rows;
    for (int y = 0; y < 2; ++y)
        rows += QByteArray(1, '\0') + QByteArray(8 * 3, '\x60');
    QByteArray deflated(int(compressBound(uLong(rows.size()))), '\0');
    uLongf length = uLongf(deflated.size());
    compress(reinterpret_cast<Bytef*>(deflated.data()), &length,
             reinterpret_cast<const Bytef*>(rows.constData()), uLong(rows.size()));
    deflated.truncate(qsizetype(length));
    QByteArray zText = "Title" + QByteArray(2, '\0');
    QByteArray words("a bridge at dusk");
    QByteArray packed(int(compressBound(uLong(words.size()))), '\0');
    length = uLongf(packed.size());
    compress(reinterpret_cast<Bytef*>(packed.data()), &length,
             reinterpret_cast<const Bytef*>(words.constData()), uLong(words.size()));
    zText += packed.left(qsizetype(length));
    return QByteArray("\x89PNG\r\n\x1a\n", 8) +
           PngChunk("IHDR", BigEndian({8, 2}) + QByteArray("\x08\x02\x00\x00\x00", 5)) +
           PngChunk("gAMA", BigEndian({45455})) +
           PngChunk("cHRM", BigEndian({31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000})) +
           PngChunk("pHYs", BigEndian({11811, 11811}) + QByteArray(1, '\1')) +
           PngChunk("tEXt", QByteArray("Author\0Ann", 10)) + PngChunk("IDAT", deflated) +
           PngChunk("zTXt", zText) +
           PngChunk("iTXt", QByteArray("Copyright\0\0\0\0\0", 14) + "\xc2\xa9 Ann") +
           PngChunk("eXIf", exif) + PngChunk("IEND", {});
}
} // namespace

// What a picture says besides its pixels and the four metadata blocks goes into its copy: its
// texts, its density and a PNG's own colour chunks, wherever in the file they stand.
void TestCodecs::textsDensityAndColourChunksSurvive_data() {
    QTest::addColumn<PictureFormat>("format");
    QTest::addColumn<bool>("strip");
    QTest::newRow("png") << PictureFormat::Png << false;
    QTest::newRow("png, metadata left out") << PictureFormat::Png << true;
    QTest::newRow("jpeg") << PictureFormat::Jpeg << false;
}

void TestCodecs::textsDensityAndColourChunksSurvive() {
    QFETCH(PictureFormat, format);
    QFETCH(bool, strip);
    const QByteArray exif = ExifWithDescription(24);
    const QString source = writeSample(QStringLiteral("rich.png"), RichPng(exif));
    auto reader = PictureReader::open(source);
    const PictureMetadata& input = reader->metadata();
    QCOMPARE(input.exif, exif);
    const QList<PictureText> texts{{"Author", "Ann"},
                                   {"Title", "a bridge at dusk"},
                                   {"Copyright", QStringLiteral("\u00a9 Ann")}};
    QCOMPARE(input.texts, texts);
    QCOMPARE(qRound(input.density.value_or(PixelDensity()).x), 300);

    // A JPEG keeps what it has a place for: the density, and a comment as a comment.
    PictureMetadata output = MetadataForOutput(input, reader->size(), strip);
    output.texts << PictureText{kCommentKey, QStringLiteral("caf\u00e9")};
    const QString written =
        writeSample(QStringLiteral("written"), encoded(reader->readAll(), format, output));
    auto back = PictureReader::open(written);
    const PictureMetadata& kept = back->metadata();
    QCOMPARE(qRound(kept.density.value_or(PixelDensity()).y), 300);
    QCOMPARE(kept.exif.isEmpty(), strip);
    if (format == PictureFormat::Jpeg) {
        QCOMPARE(kept.texts, QList<PictureText>{output.texts.last()});
        return;
    }
    QList<PictureText> expected = strip ? QList<PictureText>() : texts;
    expected << output.texts.last();
    QCOMPARE(kept.texts, expected);
    QCOMPARE(kept.pngColor.gamma, std::optional<quint32>(45455));
    QCOMPARE(kept.pngColor.chromaticities.value_or(std::array<qint32, 8>{})[4], 30000);
}

void TestCodecs::unreadableMetadataIsDropped() {
    const PictureMetadata broken = brokenMetadata();
    QCOMPARE(OrientationOf(broken), 1);
    const PictureMetadata output = MetadataForOutput(broken, QSize(101, 67), false);
    QCOMPARE(output.icc, broken.icc);
    QVERIFY(output.xmp.isEmpty());
    for (const auto& [name, format] : kWrittenFormats) {
        const QString file =
            writeSample(QStringLiteral("broken"), encoded(photoLike(), format, broken));
        QVERIFY2(!readWhole(file).isNull(), name);
    }
}

void TestCodecs::jpegTables_data() {
    QTest::addColumn<int>("quality");
    QTest::addColumn<QByteArray>("input"); // empty: the standard tables at the quality
    QTest::newRow("standard at 75") << 75 << QByteArray();
    QTest::newRow("standard at 90") << 90 << QByteArray();
    QTest::newRow("own 4:4:4 at 93") << 75 << makeJpeg(photoLike(), 1, 1, 93);
    QTest::newRow("own 4:2:2 at 40") << 75 << makeJpeg(photoLike(), 2, 1, 40);
    QTest::newRow("own gray at 60") << 75 << makeJpeg(photoLike(), 1, 1, 60, JpegKind::Gray);
    QTest::newRow("own CMYK 4:4:4 at 50")
        << 75 << makeJpeg(photoLike(), 1, 1, 50, JpegKind::AdobeCmyk);
    QTest::newRow("own CMYK 4:2:0 at 95")
        << 75 << makeJpeg(photoLike(), 2, 2, 95, JpegKind::AdobeCmyk);
}

void TestCodecs::jpegTables() {
    QFETCH(int, quality);
    QFETCH(QByteArray, input);
    JpegSettings settings;
    settings.quality = quality;
    if (!input.isEmpty())
        settings.tables =
            PictureReader::open(writeSample(QStringLiteral("in.jpg"), input))->jpegTables();
    const QString file = writeSample(QStringLiteral("out.jpg"),
                                     encoded(photoLike(), PictureFormat::Jpeg, {}, settings));
    const std::optional<JpegTables> written = PictureReader::open(file)->jpegTables();
    QVERIFY(written);
    QCOMPARE(written->components, 3);
    const auto tableOf = [&](const JpegTables& t, int c) {
        return t.tables[size_t(t.componentTable[size_t(c)])];
    };
    if (!settings.tables) {
        QCOMPARE(tableOf(*written, 0), standardTable(quality, 0));
        QCOMPARE(tableOf(*written, 1), standardTable(quality, 1));
        QCOMPARE(tableOf(*written, 2), standardTable(quality, 1));
        QCOMPARE(written->hSampling, (std::array<int, 4>{2, 1, 1, 0}));
        QCOMPARE(written->vSampling, (std::array<int, 4>{2, 1, 1, 0}));
        return;
    }
    // A colour copy of a greyscale or CMYK picture takes its luminance from the picture's first
    // component and both chromas from its second, or from the first when it has no other.
    const JpegTables& own = *settings.tables;
    for (int c = 0; c < 3; ++c) {
        const int from = own.components == 3 ? c : std::min(c, std::min(1, own.components - 1));
        QCOMPARE(tableOf(*written, c), tableOf(own, from));
        if (own.components == 1)
            continue;
        QCOMPARE(written->hSampling[size_t(c)], own.hSampling[size_t(from)]);
        QCOMPARE(written->vSampling[size_t(c)], own.vSampling[size_t(from)]);
    }
    if (own.components == 1) {
        QCOMPARE(written->hSampling, (std::array<int, 4>{2, 1, 1, 0}));
        QCOMPARE(written->vSampling, (std::array<int, 4>{2, 1, 1, 0}));
    }
}

// Progressive scans with Huffman tables made for the picture code the same quantised blocks as
// sequential ones with the standard tables, in fewer bytes, whether the rows come whole or in
// bands.
void TestCodecs::progressiveCopyCodesTheSameBlocksSmaller() {
    const QImage picture = photoLike(640, 480);
    JpegSettings settings;
    const QString baseline = writeSample(QStringLiteral("baseline.jpg"),
                                         encoded(picture, PictureFormat::Jpeg, {}, settings));
    settings.progressive = true;
    const QString progressive = writeSample(QStringLiteral("progressive.jpg"),
                                            encoded(picture, PictureFormat::Jpeg, {}, settings));
    QBuffer banded;
    banded.open(QIODevice::WriteOnly);
    const QImage rows = picture.convertToFormat(QImage::Format_RGB32);
    const std::unique_ptr<RowWriter> writer = StartJpegWriter(banded, rows.size(), settings, {});
    for (int y = 0; y < rows.height(); y += 16)
        writer->writeRows(rows.constScanLine(y), rows.bytesPerLine(),
                          std::min(16, rows.height() - y));
    writer->finish();
    QCOMPARE(banded.data(), readFile(progressive));
    const JpegBlocksRead plain = readJpegBlocks(baseline);
    const JpegBlocksRead coded = readJpegBlocks(progressive);
    QVERIFY(!plain.progressive);
    QVERIFY(coded.progressive);
    QCOMPARE(coded.components.size(), plain.components.size());
    for (size_t c = 0; c < plain.components.size(); ++c)
        QVERIFY(coded.components[c].coefficients == plain.components[c].coefficients);
    QVERIFY(sameBytes(readWhole(progressive), readWhole(baseline)));
    const double ratio = double(QFileInfo(progressive).size()) / QFileInfo(baseline).size();
    qInfo("progressive copy: %.3f of the baseline's size", ratio);
    QVERIFY(ratio < 0.97);
}

void TestCodecs::bandsGiveTheSameBytes_data() {
    QTest::addColumn<PictureFormat>("format");
    QTest::addColumn<QImage>("image");
    QTest::addColumn<int>("band");
    const QImage transparent = withTransparency(300);
    for (int band : {1, 5, 16, 66}) {
        QTest::addRow("jpeg in bands of %d", band) << PictureFormat::Jpeg << photoLike() << band;
        QTest::addRow("png in bands of %d", band) << PictureFormat::Png << photoLike() << band;
        QTest::addRow("png with alpha in bands of %d", band)
            << PictureFormat::Png << transparent << band;
    }
}

void TestCodecs::bandsGiveTheSameBytes() {
    QFETCH(PictureFormat, format);
    QFETCH(QImage, image);
    QFETCH(int, band);
    const PictureMetadata metadata = MetadataOf({}, QByteArray("<x/>"), {}, sampleIccProfile());
    QBuffer banded, whole;
    banded.open(QIODevice::WriteOnly);
    whole.open(QIODevice::WriteOnly);
    writeInBands(banded, format, image, band, metadata);
    writeInBands(whole, format, image, image.height(), metadata);
    QCOMPARE(banded.data(), whole.data());
}

void TestCodecs::roundTrip_data() {
    QTest::addColumn<PictureFormat>("format");
    QTest::addColumn<QImage>("image");
    QTest::addColumn<QImage>("expected");
    QTest::addColumn<double>("tolerance"); // mean error per channel; 0 means exact
    const QImage photo = photoLike();
    const QImage clear = withTransparency(50), clearMany = withTransparency(600);
    QTest::newRow("png") << PictureFormat::Png << photo << photo << 0.0;
    QTest::newRow("png alpha") << PictureFormat::Png << clear << clear << 0.0;
    QTest::newRow("tiff") << PictureFormat::Tiff << photo << photo << 0.0;
    // Qt stores a TIFF's alpha premultiplied: colours under low alpha come back rounded.
    QTest::newRow("tiff alpha") << PictureFormat::Tiff << clear << clear << 0.5;
    QTest::newRow("bmp drops alpha")
        << PictureFormat::Bmp << clear << clear.convertToFormat(QImage::Format_RGB32) << 0.0;
    QTest::newRow("gif transparent") << PictureFormat::Gif << clear << asGifShowsIt(clear) << 0.0;
    QTest::newRow("gif transparent, 600 colours")
        << PictureFormat::Gif << clearMany << asGifShowsIt(clearMany) << 8.0;
    // Grain and hard edges at quality 75: Qt's encoder misses by as much.
    QTest::newRow("jpeg") << PictureFormat::Jpeg << photo << photo << 12.0;
    // Up to 256 colours a GIF keeps every one exactly; beyond, the nearest of 256.
    QTest::newRow("gif 256 colours")
        << PictureFormat::Gif << patterned(256) << patterned(256) << 0.0;
    QTest::newRow("gif 257 colours")
        << PictureFormat::Gif << patterned(257) << patterned(257) << 6.0;
    // Pictures in other layouts than the decoders give are written all the same.
    QTest::newRow("bmp from indexed")
        << PictureFormat::Bmp << patterned(12, QImage::Format_Indexed8) << patterned(12) << 0.0;
    QTest::newRow("png from rgb888")
        << PictureFormat::Png << patterned(300, QImage::Format_RGB888) << patterned(300) << 0.0;
    QTest::newRow("gif from grayscale")
        << PictureFormat::Gif << patterned(200, QImage::Format_Grayscale8)
        << patterned(200, QImage::Format_Grayscale8).convertToFormat(QImage::Format_RGB32) << 0.0;
}

void TestCodecs::roundTrip() {
    QFETCH(PictureFormat, format);
    QFETCH(QImage, image);
    QFETCH(QImage, expected);
    QFETCH(double, tolerance);
    const QByteArray bytes = encoded(image, format);
    const QString file = writeSample(QStringLiteral("round"), bytes);
    // A BMP is written with 24 bits a pixel, whatever the picture's own layout.
    if (format == PictureFormat::Bmp)
        QCOMPARE(qFromLittleEndian<quint16>(bytes.constData() + 28), quint16(24));
    auto reader = PictureReader::open(file);
    QCOMPARE(reader->format(), format);
    QCOMPARE(reader->hasAlpha(), expected.hasAlphaChannel());
    const QImage decoded = reader->readAll();
    const double error = meanError(decoded, expected);
    QVERIFY2(error <= tolerance, qPrintable(QString::number(error)));
    // Rows in bands go on where the last band stopped, also from a picture decoded whole.
    QVERIFY(sameBytes(readInBands(file, 7), decoded));
}

void TestCodecs::grayCopies_data() {
    QTest::addColumn<PictureFormat>("format");
    QTest::addColumn<bool>("alpha");
    QTest::newRow("jpeg") << PictureFormat::Jpeg << false;
    QTest::newRow("png") << PictureFormat::Png << false;
    QTest::newRow("png with alpha") << PictureFormat::Png << true;
}

// Written grey, a picture of equal channels reads back grey with the same levels (near them for
// JPEG), its transparency kept.
void TestCodecs::grayCopies() {
    QFETCH(PictureFormat, format);
    QFETCH(bool, alpha);
    QImage image = photoLike()
                       .convertToFormat(QImage::Format_Grayscale8)
                       .convertToFormat(alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (alpha)
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y,
                               (image.pixel(x, y) & 0xFFFFFF) | uint((x * 5 + y) % 256) << 24);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    WritePicture(image, format, buffer, {}, {}, true);
    const QString file = writeSample(QStringLiteral("grey"), bytes);
    const auto reader = PictureReader::open(file);
    QVERIFY(reader->gray());
    QCOMPARE(reader->hasAlpha(), alpha);
    const QImage decoded = reader->readAll();
    if (format == PictureFormat::Png) {
        QVERIFY(sameBytes(decoded, image));
        return;
    }
    // No further from the picture than its colour JPEG at the same quality.
    const double colourError =
        meanError(readWhole(writeSample(QStringLiteral("colour"), encoded(image, format))), image);
    QVERIFY2(meanError(decoded, image) <= colourError,
             qPrintable(QStringLiteral("%1 > %2").arg(meanError(decoded, image)).arg(colourError)));
}

void TestCodecs::grayProfileGivesRgbProfileOfTheSameGreys_data() {
    QTest::addColumn<QByteArray>("gray");
    QTest::newRow("gamma 1.8") << grayProfile();
    QTest::newRow("sRGB's curve, version 2") << srgbCurveGrayProfile();
    QTest::newRow("lookup table") << tableGrayProfile();
}

void TestCodecs::grayProfileGivesRgbProfileOfTheSameGreys() {
    QFETCH(QByteArray, gray);
    QVERIFY(IsGrayProfile(gray));
    const QByteArray rgb = RgbProfileForGray(gray);
    QVERIFY(!rgb.isEmpty() && !IsGrayProfile(rgb));
    const double difference = grayAxisDifference(gray, rgb);
    QVERIFY2(difference < 1, qPrintable(QString::number(difference)));
    QVERIFY(RgbProfileForGray(gray.left(gray.size() / 2)).isEmpty());
}

void TestCodecs::fullDeviceFails_data() {
    QTest::addColumn<PictureFormat>("format");
    QTest::addColumn<qint64>("capacity");
    QTest::addColumn<bool>("rows");
    for (const auto& [name, format] : kWrittenFormats)
        for (qint64 capacity : {0, 100, 5000})
            QTest::addRow("%s after %lld bytes", name, capacity) << format << capacity << false;
    for (qint64 capacity : {0, 100, 5000, 20000}) {
        QTest::addRow("jpeg rows after %lld bytes", capacity)
            << PictureFormat::Jpeg << capacity << true;
        QTest::addRow("png rows after %lld bytes", capacity)
            << PictureFormat::Png << capacity << true;
    }
}

// A disk that fills up mid-file fails the write with the device's reason, never a success.
void TestCodecs::fullDeviceFails() {
    QFETCH(PictureFormat, format);
    QFETCH(qint64, capacity);
    QFETCH(bool, rows);
    const QImage image = photoLike(400, 300);
    const PictureMetadata metadata = MetadataOf({}, QByteArray("<x/>"), {}, sampleIccProfile());
    FullDevice device(capacity);
    const QString reason = failureOf([&] {
        if (rows)
            writeInBands(device, format, image, 16, metadata);
        else
            WritePicture(image, format, device, {}, metadata);
    });
    QCOMPARE(reason, QString::fromLatin1(FullDevice::reason));
}

// The encoder refuses the picture, the folder refuses the new file, or the path cannot take a file
// at all. Whatever fails, the earlier file survives byte for byte and nothing is left beside it.
void TestCodecs::failedWriteKeepsEarlierFile_data() {
    QTest::addColumn<PictureFormat>("format");
    QTest::addColumn<QImage>("image");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("readOnlyFolder");
    const QImage image = patterned(3);
    for (const auto& [name, format] : kWrittenFormats) {
        QTest::addRow("%s empty image", name) << format << QImage() << "out" << false;
        QTest::addRow("%s read-only folder", name) << format << image << "out" << true;
        QTest::addRow("%s missing folder", name) << format << image << "missing/out" << false;
        QTest::addRow("%s path is a folder", name) << format << image << "folder" << false;
    }
    QTest::newRow("gif too wide") << PictureFormat::Gif << SolidImage(65536, 1, 0) << "out"
                                  << false;
}

void TestCodecs::failedWriteKeepsEarlierFile() {
    QFETCH(PictureFormat, format);
    QFETCH(QImage, image);
    QFETCH(QString, target);
    QFETCH(bool, readOnlyFolder);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("folder"));
    const QByteArray earlier("earlier contents");
    writeFile(dir.filePath("out"), earlier);
    const auto restore = qScopeGuard([&] {
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    if (readOnlyFolder) {
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
        if (::access(QFile::encodeName(dir.path()).constData(), W_OK) == 0)
            QSKIP("root ignores folder permissions; the empty-image rows check the same property");
    }
    const QString reason = failureOf([&] {
        OutputFile file(dir.filePath(target));
        WritePicture(image, format, file, {}, {});
        file.commit();
    });
    QVERIFY(!reason.isEmpty());
    QCOMPARE(readFile(dir.filePath("out")), earlier);
    const auto entries = [](const QString& folder) {
        return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                      QDir::NoDotAndDotDot);
    };
    QCOMPARE(entries(dir.path()), (QStringList{"folder", "out"}));
    QVERIFY(entries(dir.filePath("folder")).isEmpty());
}

// Several workers decode and encode different pictures at once, metadata included, with the
// results a single thread gets.
void TestCodecs::workersAtOnce() {
    const QString source =
        writeSample(QStringLiteral("shared.jpg"), makeJpeg(photoLike(300, 200), 2, 2));
    addSampleMetadata(source);
    const auto work = [&](PictureFormat format) {
        auto reader = PictureReader::open(source);
        const PictureMetadata metadata =
            MetadataForOutput(reader->metadata(), reader->size(), false);
        return encoded(reader->readAll(), format, metadata);
    };
    const QList<PictureFormat> formats = {PictureFormat::Jpeg, PictureFormat::Png,
                                          PictureFormat::Tiff, PictureFormat::Gif};
    QList<QByteArray> expected, results(formats.size() * 4);
    for (PictureFormat format : formats)
        expected << work(format);
    std::vector<std::thread> workers;
    for (qsizetype i = 0; i < results.size(); ++i)
        workers.emplace_back([&, i] { results[i] = work(formats[i % formats.size()]); });
    for (std::thread& worker : workers)
        worker.join();
    for (qsizetype i = 0; i < results.size(); ++i)
        QCOMPARE(results[i], expected[i % formats.size()]);
}

namespace {
// An XMP packet whose description takes the given number of bytes.
QByteArray XmpWithDescription(qsizetype bytes, int orientation = 0) {
    QByteArray packet = "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta "
                        "xmlns:x='adobe:ns:meta/'><rdf:RDF "
                        "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
                        "rdf:about='' xmlns:dc='http://purl.org/dc/elements/1.1/' "
                        "xmlns:tiff='http://ns.adobe.com/tiff/1.0/'";
    if (orientation)
        packet += " tiff:Orientation='" + QByteArray::number(orientation) + "'";
    packet += "><dc:description><rdf:Alt><rdf:li xml:lang='x-default'>";
    for (qsizetype i = 0; i < bytes; ++i)
        packet += char('a' + (i * 7 + i / 26) % 26);
    packet += "</rdf:li></rdf:Alt></dc:description></rdf:Description></rdf:RDF></x:xmpmeta>"
              "<?xpacket end='w'?>";
    return packet;
}

// A little-endian EXIF block with one tag: ImageDescription of the given length.
QByteArray ExifWithDescription(quint32 length) {
    QByteArray exif("II*\0\x08\0\0\0", 8);
    const auto put16 = [&](quint16 v) {
        exif.append(char(v & 0xFF)).append(char(v >> 8));
    };
    const auto put32 = [&](quint32 v) {
        put16(quint16(v & 0xFFFF));
        put16(quint16(v >> 16));
    };
    put16(1);
    put16(0x010E); // ImageDescription
    put16(2);      // ASCII
    put32(length);
    put32(8 + 2 + 12 + 4);
    put32(0); // no next directory
    exif.append(QByteArray(length - 1, 'd')).append('\0');
    return exif;
}
} // namespace

void TestCodecs::whatAFormatCannotHoldGoesWithANote_data() {
    QTest::addColumn<PictureFormat>("format");
    QTest::addColumn<PictureMetadata>("input");
    QTest::addColumn<QString>("note"); // the start of the one note; empty for none
    const QByteArray srgb = QColorSpace(QColorSpace::SRgb).iccProfile();
    // Nearly a whole segment: with the room a packet keeps for editors it would not fit.
    QTest::newRow("XMP just within a JPEG segment")
        << PictureFormat::Jpeg << MetadataOf({}, XmpWithDescription(64500), {}, {}) << QString();
    QTest::newRow("XMP beyond a JPEG segment")
        << PictureFormat::Jpeg << MetadataOf({}, XmpWithDescription(70000), {}, {})
        << "XMP left out";
    QTest::newRow("XMP beyond a JPEG segment, in a PNG")
        << PictureFormat::Png << MetadataOf({}, XmpWithDescription(70000), {}, {}) << QString();
    QTest::newRow("EXIF beyond a segment")
        << PictureFormat::Jpeg << MetadataOf(ExifWithDescription(70000), {}, {}, {}) << "EXIF";
    QTest::newRow("profile of 256 segments")
        << PictureFormat::Jpeg << MetadataOf({}, {}, {}, QByteArray(255 * 65519 + 1, '\0'))
        << "colour profile left out";
    QTest::newRow("sRGB profile in a JPEG")
        << PictureFormat::Jpeg << MetadataOf({}, {}, {}, srgb) << QString();
    QTest::newRow("sRGB profile in a PNG")
        << PictureFormat::Png << MetadataOf({}, {}, {}, srgb) << QString();
    QTest::newRow("profile libpng refuses")
        << PictureFormat::Png << MetadataOf({}, {}, {}, QByteArray(600, '\x11'))
        << "colour profile left out: libpng refuses it";
}

void TestCodecs::whatAFormatCannotHoldGoesWithANote() {
    QFETCH(PictureFormat, format);
    QFETCH(PictureMetadata, input);
    QFETCH(QString, note);
    PictureMetadata output = MetadataForOutput(input, QSize(64, 48), false);
    const QStringList notes = FitMetadata(input, output, format);
    if (note.isEmpty()) {
        QCOMPARE(notes, QStringList());
        QCOMPARE(output.xmp.isEmpty(), input.xmp.isEmpty());
        QCOMPARE(output.icc, input.icc);
    } else {
        QCOMPARE(notes.size(), 1);
        QVERIFY2(notes.first().startsWith(note), qPrintable(notes.first()));
    }
    // What stays is written: a JPEG or PNG with it reads back with the same blocks.
    QBuffer written;
    written.open(QIODevice::WriteOnly);
    WritePicture(SolidImage(64, 48, qRgb(10, 20, 30)), format, written, {}, output);
    const QString file = writeSample(QStringLiteral("fitted"), written.data());
    const PictureMetadata back = PictureReader::open(file)->metadata();
    QCOMPARE(back.xmp.isEmpty(), output.xmp.isEmpty());
    QCOMPARE(back.icc, output.icc);
}

void TestCodecs::onlyAnAppliedOrientationBecomesOne() {
    // An orientation named only in XMP was not applied to the pixels: it stays as it was.
    const QByteArray xmp = XmpWithDescription(10, 6);
    const auto xmpOrientation = [](const QByteArray& packet) {
        Exiv2::XmpData data;
        Exiv2::XmpParser::decode(data, packet.toStdString());
        return xmpText(data, "Xmp.tiff.Orientation");
    };
    const PictureMetadata only = MetadataForOutput(MetadataOf({}, xmp, {}, {}), QSize(4, 3), false);
    QCOMPARE(xmpOrientation(only.xmp), QStringLiteral("6"));
    // One that EXIF names was applied, and the copy says 1 in both.
    Exiv2::ExifData exif;
    exif["Exif.Image.Orientation"] = uint16_t(6);
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
    const QByteArray turned(reinterpret_cast<const char*>(blob.data()), qsizetype(blob.size()));
    const PictureMetadata camera =
        MetadataForOutput(MetadataOf(turned, xmp, {}, {}), QSize(3, 4), false);
    QCOMPARE(xmpOrientation(camera.xmp), QStringLiteral("1"));
    QCOMPARE(OrientationOf(camera), 1);
}

QTEST_GUILESS_MAIN(TestCodecs)
#include "tst_codecs.moc"
