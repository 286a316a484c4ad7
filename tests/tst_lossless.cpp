// Lossless JPEG stamping: for every chroma sampling and placement, each block the watermark
// leaves alone keeps its coefficients and each block under it is the block the normal way encodes
// with the picture's own tables; the codings a JPEG may use; metadata and turned pictures; the
// command line's notes.
#include "engine/run/stampfile.h"
#include "engine/stamping/jpeglossless.h"
#include "tests/codecsamples.h"
#include "tests/testkit.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <vector>

namespace {
const QString kCli = QStringLiteral(TINTOREL_BIN_DIR "/tintorel-cli");
const QSize kPicture(203, 157); // no MCU ends evenly at the right or bottom edge
const QSize kMarkSize(45, 30);

bool sameBlock(const qint16* a, const qint16* b) {
    return std::equal(a, a + JpegBlocksRead::kBlockSize, b);
}

// A watermark with a white ground that the default key leaves out, opaque and half-transparent
// strokes, and a stretch of ground at its left that changes nothing.
QImage markPicture(QSize size) {
    QImage mark(size, QImage::Format_ARGB32);
    mark.fill(Qt::transparent);
    for (int y = 0; y < size.height(); ++y)
        for (int x = size.width() / 3; x < size.width(); ++x) {
            if ((x + y) % 7 < 3)
                mark.setPixel(x, y, qRgba(150, 20, 30, 255));
            else if (y % 5 == 0)
                mark.setPixel(x, y, qRgba(20, 40, 200, 120));
        }
    return mark;
}

// The MCUs that hold at least one visible pixel of the mark, row by row.
std::vector<bool> touchedMcus(QSize picture, QSize mcu, const StampMark& mark, QPoint at) {
    const int wide = (picture.width() + mcu.width() - 1) / mcu.width();
    const int high = (picture.height() + mcu.height() - 1) / mcu.height();
    std::vector<bool> touched(size_t(wide * high), false);
    for (int y = 0; y < mark.size().height(); ++y)
        for (int x = 0; x < mark.size().width(); ++x) {
            const QPoint p = at + QPoint(x, y);
            if (qAlpha(mark.pixels().pixel(x, y)) > 0 && QRect(QPoint(0, 0), picture).contains(p))
                touched[size_t(p.y() / mcu.height() * wide + p.x() / mcu.width())] = true;
        }
    return touched;
}

// The first block that breaks the rule, or nothing: a block of an untouched MCU is the input's;
// a block that is not the input's is the block the normal way wrote with the same tables.
QString blockFault(const JpegBlocksRead& input, const JpegBlocksRead& output,
                   const JpegBlocksRead& normal, const std::vector<bool>& touched, int& replaced) {
    const int mcusWide =
        (input.components[0].wide + input.components[0].h - 1) / input.components[0].h;
    for (size_t c = 0; c < input.components.size(); ++c) {
        const JpegBlocksRead::Component& k = input.components[c];
        for (int y = 0; y < k.high; ++y)
            for (int x = 0; x < k.wide; ++x) {
                const bool kept = sameBlock(input.block(c, x, y), output.block(c, x, y));
                const bool inTouched = touched[size_t(y / k.v * mcusWide + x / k.h)];
                if (!kept && !inTouched)
                    return QStringLiteral("component %1 block %2,%3 changed").arg(c).arg(x).arg(y);
                if (!kept && !sameBlock(output.block(c, x, y), normal.block(c, x, y)))
                    return QStringLiteral("component %1 block %2,%3 is not the normal way's")
                        .arg(c)
                        .arg(x)
                        .arg(y);
                replaced += kept ? 0 : 1;
            }
    }
    return {};
}

// The first pixel outside the touched MCUs that differs, or nothing; with subsampled chroma, the
// pixels next to a touched MCU may take its new chroma.
QString pixelFault(const QImage& input, const QImage& output, const std::vector<bool>& touched,
                   QSize mcu, bool subsampled) {
    const int wide = (input.width() + mcu.width() - 1) / mcu.width();
    const auto inTouched = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < input.width() && y < input.height() &&
               touched[size_t(y / mcu.height() * wide + x / mcu.width())];
    };
    for (int y = 0; y < input.height(); ++y)
        for (int x = 0; x < input.width(); ++x) {
            if (input.pixel(x, y) == output.pixel(x, y) || inTouched(x, y))
                continue;
            bool ring = false;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    ring = ring || (subsampled && inTouched(x + dx, y + dy));
            if (!ring)
                return QStringLiteral("pixel %1,%2 changed").arg(x).arg(y);
        }
    return {};
}

// The mean difference of the colour channels over the rectangle.
double meanDifference(const QImage& a, const QImage& b, QRect area) {
    const QRect within = area.intersected(a.rect());
    double sum = 0;
    for (int y = within.top(); y <= within.bottom(); ++y)
        for (int x = within.left(); x <= within.right(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                   std::abs(qBlue(p) - qBlue(q));
        }
    return within.isEmpty() ? 0.0 : sum / (3.0 * within.width() * within.height());
}

// Whether the lossless way's stamp is farther from the exact stamp, the decoded input with the
// mark on it, than the normal way's own JPEG rounding takes it; empty when it is not. The mean
// tells: single pixels of a sharp coloured mark fall differently on the grid of subsampled
// chroma when a turned picture is stamped as stored rather than upright.
QString fartherThanNormal(const QImage& lossless, const QImage& normal, const QImage& exact,
                          QRect area) {
    const double mean = meanDifference(lossless, exact, area);
    const double normalMean = meanDifference(normal, exact, area);
    if (mean <= normalMean + 0.1)
        return {};
    return QStringLiteral("mean error %1, the normal way's %2").arg(mean).arg(normalMean);
}

// The EXIF orientation written into a JPEG file.
void setOrientation(const QString& path, int orientation) {
    auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    image->readMetadata();
    image->exifData()["Exif.Image.Orientation"] = uint16_t(orientation);
    image->writeMetadata();
}

QString exifOf(const QString& path, const char* key) {
    auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    image->readMetadata();
    return exifText(image->exifData(), key);
}
} // namespace

class TestLossless : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void untouchedBlocksStayAsTheyWere_data();
    void untouchedBlocksStayAsTheyWere();
    void codings_data();
    void codings();
    void unreadableJpegsFailAsInTheNormalWay_data();
    void unreadableJpegsFailAsInTheNormalWay();
    void thePreviewShowsTheWrittenCopy();
    void aCmykCopyIsTurnedAndShownAsItReads();
    void anInvisibleMarkKeepsEveryByte();
    void metadataKept();
    void turnedPicturesKeepTheirOrientation_data();
    void turnedPicturesKeepTheirOrientation();
    void commandLineNotesTheReencodedOnes();
    void ownTablesAskedOfAPictureWithoutThem();

private:
    // Stamps the input into the output the lossless way, or the normal way with the input's own
    // tables or at the default quality, and returns what the engine said.
    enum class Way { Lossless, OwnTables, Quality75 };
    StampResult stamp(const QString& input, const QString& output, Way way,
                      bool strip = false) const;
    QString path(const QString& name) const { return dir_.filePath(name); }

    QTemporaryDir dir_;
    int placement_ = 8;
    int margin_ = -1;
    qint64 maxPixels_ = qint64(1) << 30;
    bool wantPicture_ = false;
    StampMark mark_;
};

void TestLossless::initTestCase() {
    QVERIFY(dir_.isValid());
    // The engine sets exiv2's XMP toolkit up with its lock before this test's own exiv2 calls.
    MetadataForOutput(MetadataOf({}, QByteArray("<x/>"), {}, {}), QSize(1, 1), false);
}

void TestLossless::init() {
    placement_ = 8;
    margin_ = -1;
    maxPixels_ = qint64(1) << 30;
    wantPicture_ = false;
    mark_ = StampMark(markPicture(kMarkSize), kWhite);
}

StampResult TestLossless::stamp(const QString& input, const QString& output, Way way,
                                bool strip) const {
    OutputChoices choices;
    choices.losslessJpeg = way == Way::Lossless;
    choices.keepJpegQuality = way == Way::OwnTables;
    choices.stripMetadata = strip;
    StampStyle style;
    style.margin = margin_;
    StampRequest request;
    request.inputPath = input;
    request.output = {output, PictureFormat::Jpeg};
    request.placement = placement_;
    request.choices = &choices;
    request.style = &style;
    request.maxPixels = maxPixels_;
    request.wantPicture = wantPicture_;
    RunWatermark watermark(mark_);
    return StampFile(request, watermark);
}

void TestLossless::untouchedBlocksStayAsTheyWere_data() {
    QTest::addColumn<int>("h");
    QTest::addColumn<int>("v");
    QTest::addColumn<int>("placement");
    QTest::addColumn<QSize>("markSize");
    QTest::addColumn<int>("margin");
    const struct {
        const char* name;
        int h, v;
    } samplings[] = {{"4:4:4", 1, 1}, {"4:2:2", 2, 1}, {"4:2:0", 2, 2}};
    for (const auto& sampling : samplings) {
        for (int placement = 0; placement < kPlacementCount; ++placement)
            QTest::addRow("%s placement %d", sampling.name, placement)
                << sampling.h << sampling.v << placement << kMarkSize << -1;
        // Right and bottom placements end at the last column and row; with a margin, inside the
        // picture's last, partial MCUs.
        QTest::addRow("%s bottom right, margin 3", sampling.name)
            << sampling.h << sampling.v << 8 << kMarkSize << 3;
        QTest::addRow("%s larger than the picture", sampling.name)
            << sampling.h << sampling.v << 4 << QSize(260, 200) << -1;
    }
}

void TestLossless::untouchedBlocksStayAsTheyWere() {
    QFETCH(int, h);
    QFETCH(int, v);
    QFETCH(int, placement);
    QFETCH(QSize, markSize);
    QFETCH(int, margin);
    placement_ = placement;
    margin_ = margin;
    mark_ = StampMark(markPicture(markSize), kWhite);
    const QString input = path("input.jpg");
    writeFile(input, makeJpeg(photoLike(kPicture.width(), kPicture.height()), h, v, 90));
    const StampResult lossless = stamp(input, path("lossless.jpg"), Way::Lossless);
    QVERIFY(lossless.written);
    QCOMPARE(lossless.notes, QStringList());
    QVERIFY(stamp(input, path("normal.jpg"), Way::OwnTables).written);

    const JpegBlocksRead before = readJpegBlocks(input);
    const JpegBlocksRead after = readJpegBlocks(path("lossless.jpg"));
    QCOMPARE(after.components.size(), size_t(3));
    QPoint at;
    PlaceWatermark(placement, kPicture.width(), kPicture.height(), markSize.width(),
                   markSize.height(), at, margin);
    const std::vector<bool> touched = touchedMcus(kPicture, before.mcu, mark_, at);
    int replaced = 0;
    const QString fault =
        blockFault(before, after, readJpegBlocks(path("normal.jpg")), touched, replaced);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
    QVERIFY(replaced > 0);

    const QImage original = readWhole(input);
    const QImage stamped = readWhole(path("lossless.jpg"));
    const QString pixels = pixelFault(original, stamped, touched, before.mcu, h * v > 1);
    QVERIFY2(pixels.isEmpty(), qPrintable(pixels));
    QImage exact = original;
    StampImage(exact, at, mark_);
    const QString far =
        fartherThanNormal(stamped, readWhole(path("normal.jpg")), exact, QRect(at, markSize));
    QVERIFY2(far.isEmpty(), qPrintable(far));
}

void TestLossless::codings_data() {
    QTest::addColumn<JpegKind>("kind");
    QTest::addColumn<QString>("reason"); // why it is re-encoded; empty when stamped losslessly
    QTest::addColumn<qint64>("maxPixels");
    const qint64 enough = qint64(1) << 30;
    QTest::newRow("progressive") << JpegKind::Progressive << QString() << enough;
    QTest::newRow("arithmetic coding") << JpegKind::Arithmetic << QString() << enough;
    QTest::newRow("restart intervals") << JpegKind::Restarts << QString() << enough;
    QTest::newRow("optimised Huffman tables") << JpegKind::Optimised << QString() << enough;
    QTest::newRow("CMYK") << JpegKind::AdobeCmyk << kCmykReason << enough;
    QTest::newRow("greyscale") << JpegKind::Gray << kGreyReason << enough;
    // The normal way streams a picture of any size a band of rows at a time; the lossless way
    // holds all of the blocks of a picture it does not splice.
    QTest::newRow("too large") << JpegKind::Arithmetic << kTooLargeReason << qint64(10000);
    QTest::newRow("large, spliced") << JpegKind::Color << QString() << qint64(10000);
}

void TestLossless::codings() {
    QFETCH(JpegKind, kind);
    QFETCH(QString, reason);
    QFETCH(qint64, maxPixels);
    maxPixels_ = maxPixels;
    // A flat picture's optimised tables have codes for few symbols; the mark's blocks need more.
    const QImage picture = kind == JpegKind::Optimised
                               ? SolidImage(kPicture.width(), kPicture.height(), qRgb(90, 120, 150))
                               : photoLike(kPicture.width(), kPicture.height());
    const QString input = path("coded.jpg");
    writeFile(input, makeJpeg(picture, 2, 2, 90, kind));
    const StampResult lossless = stamp(input, path("lossless.jpg"), Way::Lossless);
    QVERIFY(lossless.written);
    if (!reason.isEmpty()) {
        QCOMPARE(lossless.notes, QStringList{kReencodedNote.arg(reason)});
        // Re-encoded with its own tables, the nearest the copy comes to the picture's quality.
        QVERIFY(stamp(input, path("normal.jpg"), Way::OwnTables).written);
        QCOMPARE(readFile(path("lossless.jpg")), readFile(path("normal.jpg")));
        return;
    }
    QCOMPARE(lossless.notes, QStringList());
    QVERIFY(stamp(input, path("normal.jpg"), Way::OwnTables).written);
    const JpegBlocksRead before = readJpegBlocks(input);
    const JpegBlocksRead after = readJpegBlocks(path("lossless.jpg"));
    QCOMPARE(after.components.size(), size_t(3));
    QCOMPARE(after.progressive, before.progressive);
    QCOMPARE(after.arithmetic, before.arithmetic);
    QCOMPARE(after.restartInterval, before.restartInterval);
    QPoint at;
    PlaceWatermark(placement_, kPicture.width(), kPicture.height(), kMarkSize.width(),
                   kMarkSize.height(), at, margin_);
    int replaced = 0;
    const QString fault = blockFault(before, after, readJpegBlocks(path("normal.jpg")),
                                     touchedMcus(kPicture, before.mcu, mark_, at), replaced);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
    QVERIFY(replaced > 0);
}

void TestLossless::unreadableJpegsFailAsInTheNormalWay_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("reason");
    const QByteArray whole = makeJpeg(photoLike(), 2, 2);
    QByteArray twelveBits = whole;
    // libjpeg-turbo as Debian builds it reads 8-bit JPEGs only, in either way.
    twelveBits[twelveBits.indexOf(QByteArray("\xFF\xC0", 2)) + 4] = 12;
    QTest::newRow("12-bit") << twelveBits << "Unsupported JPEG data precision 12";
    QTest::newRow("cut short") << whole.left(whole.size() * 2 / 3) << kDataEndsEarlyText;
}

void TestLossless::unreadableJpegsFailAsInTheNormalWay() {
    QFETCH(QByteArray, file);
    QFETCH(QString, reason);
    writeFile(path("unreadable.jpg"), file);
    for (const Way way : {Way::Lossless, Way::Quality75}) {
        const StampResult result = stamp(path("unreadable.jpg"), path("unread.jpg"), way);
        QVERIFY(!result.written);
        QCOMPARE(result.failures.value(0).step, RunStep::LoadImage);
        QCOMPARE(result.failures.value(0).text, path("unreadable.jpg: ") + reason);
        QVERIFY(!QFile::exists(path("unread.jpg")));
    }
}

void TestLossless::thePreviewShowsTheWrittenCopy() {
    const QString input = path("previewed.jpg");
    writeFile(input, makeJpeg(photoLike(kPicture.width(), kPicture.height()), 2, 2, 90));
    setOrientation(input, 6);
    wantPicture_ = true;
    const StampResult result = stamp(input, path("shown.jpg"), Way::Lossless);
    QVERIFY(result.written);
    QVERIFY(sameBytes(result.picture, Oriented(readWhole(path("shown.jpg")), 6)));
}

// A CMYK picture is stamped in its inks, turned upright, and shown as its copy reads.
void TestLossless::aCmykCopyIsTurnedAndShownAsItReads() {
    const QString input = path("print.jpg");
    writeFile(input, makeJpeg(photoLike(kPicture.width(), kPicture.height()), 1, 1, 95,
                              JpegKind::AdobeCmyk));
    setOrientation(input, 6);
    wantPicture_ = true;
    const StampResult result = stamp(input, path("print copy.jpg"), Way::Lossless);
    QVERIFY(result.written);
    QCOMPARE(result.notes, QStringList{kReencodedNote.arg(kCmykReason)});
    const std::unique_ptr<PictureReader> copy = PictureReader::open(path("print copy.jpg"));
    QVERIFY(copy->cmyk());
    QCOMPARE(copy->orientation(), 1);
    const QImage shown = readWhole(path("print copy.jpg"));
    QCOMPARE(shown.size(), kPicture.transposed());
    const double error = meanError(shown, result.picture);
    QVERIFY2(error < 2, qPrintable(QString::number(error)));
    QVERIFY(meanError(shown, Oriented(readWhole(input), 6)) > error);
}

void TestLossless::anInvisibleMarkKeepsEveryByte() {
    mark_ =
        StampMark(SolidImage(kMarkSize.width(), kMarkSize.height(), qRgb(255, 255, 255)), kWhite);
    const QString input = path("plain.jpg");
    writeFile(input, makeJpeg(photoLike(kPicture.width(), kPicture.height()), 2, 2, 90));
    QVERIFY(stamp(input, path("copy.jpg"), Way::Lossless).written);
    // The same tables, the same blocks and the same codes for them: the same file.
    QCOMPARE(readFile(path("copy.jpg")), readFile(input));
}

void TestLossless::metadataKept() {
    const QString input = path("camera.jpg");
    writeFile(input, makeJpeg(photoLike(kPicture.width(), kPicture.height()), 2, 2, 90));
    addSampleMetadata(input); // orientation 6, a thumbnail, XMP, IPTC and a colour profile
    QVERIFY(stamp(input, path("kept.jpg"), Way::Lossless).written);
    auto image = Exiv2::ImageFactory::open(QFile::encodeName(path("kept.jpg")).toStdString());
    image->readMetadata();
    const Exiv2::ExifData& exif = image->exifData();
    QCOMPARE(exifText(exif, "Exif.Image.Artist"), QString(SampleMetadata::artist));
    QCOMPARE(exifText(exif, "Exif.GPSInfo.GPSLatitudeRef"), QStringLiteral("N"));
    // Stored turned as it was, and shown upright by the orientation it keeps.
    QCOMPARE(exifText(exif, "Exif.Image.Orientation"), QStringLiteral("6"));
    QCOMPARE(exifText(exif, "Exif.Photo.PixelXDimension"), QString::number(kPicture.width()));
    QCOMPARE(xmpText(image->xmpData(), "Xmp.tiff.Orientation"), QStringLiteral("6"));
    // The thumbnail shows the picture without its mark.
    QCOMPARE(exifText(exif, "Exif.Thumbnail.JPEGInterchangeFormat"), QString());
    QCOMPARE(xmpText(image->xmpData(), "Xmp.dc.creator"), QString(SampleMetadata::creator));
    QCOMPARE(iptcText(image->iptcData(), "Iptc.Application2.Byline"),
             QString(SampleMetadata::byline));
    QCOMPARE(iccOf(*image), sampleIccProfile());

    // Without metadata nothing would turn the copy upright: it is turned and re-encoded.
    const StampResult stripped = stamp(input, path("stripped.jpg"), Way::Lossless, true);
    QCOMPARE(stripped.notes, QStringList{kReencodedNote.arg(kStrippedOrientationReason)});
    QCOMPARE(readWhole(path("stripped.jpg")).size(), kPicture.transposed());
    QCOMPARE(exifOf(path("stripped.jpg"), "Exif.Image.Artist"), QString());
}

void TestLossless::turnedPicturesKeepTheirOrientation_data() {
    QTest::addColumn<int>("orientation");
    for (int orientation = 1; orientation <= 8; ++orientation)
        QTest::addRow("orientation %d", orientation) << orientation;
}

void TestLossless::turnedPicturesKeepTheirOrientation() {
    QFETCH(int, orientation);
    const QString input = path("turned.jpg");
    writeFile(input, makeJpeg(photoLike(kPicture.width(), kPicture.height()), 2, 2, 90));
    setOrientation(input, orientation);
    QVERIFY(stamp(input, path("lossless.jpg"), Way::Lossless).written);
    QVERIFY(stamp(input, path("normal.jpg"), Way::OwnTables).written);
    QCOMPARE(exifOf(path("lossless.jpg"), "Exif.Image.Orientation"), QString::number(orientation));

    const QImage shown = Oriented(readWhole(path("lossless.jpg")), orientation);
    const QImage original = Oriented(readWhole(input), orientation);
    QPoint at;
    PlaceWatermark(placement_, shown.width(), shown.height(), kMarkSize.width(), kMarkSize.height(),
                   at, margin_);
    // Outside the mark and the MCUs around it, the picture as it was...
    const QRect near = QRect(at, kMarkSize).adjusted(-17, -17, 17, 17);
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x)
            if (!near.contains(x, y) && shown.pixel(x, y) != original.pixel(x, y))
                QFAIL(qPrintable(QStringLiteral("pixel %1,%2 changed").arg(x).arg(y)));
    // ...and under it the upright stamp, as near as the normal way's.
    QImage exact = original;
    StampImage(exact, at, mark_);
    const QString far =
        fartherThanNormal(shown, readWhole(path("normal.jpg")), exact, QRect(at, kMarkSize));
    QVERIFY2(far.isEmpty(), qPrintable(far));
}

void TestLossless::commandLineNotesTheReencodedOnes() {
    QVERIFY(QDir().mkpath(path("cli in")));
    writeFile(path("cli in/photo.jpg"), makeJpeg(photoLike(), 2, 2));
    writeFile(path("cli in/print.jpg"), makeJpeg(photoLike(), 2, 2, 85, JpegKind::AdobeCmyk));
    QVERIFY(markPicture(kMarkSize).save(path("mark.png")));
    const ProcessResult result =
        RunProcess(kCli, {"--watermark", path("mark.png"), "--output", path("cli out"), "--jpeg",
                          "lossless", "--report", "-", path("cli in")});
    QCOMPARE(result.code, 0);
    const QString note = path("cli in/print.jpg: ") + kReencodedNote.arg(kCmykReason);
    QVERIFY2(result.errors.contains(note + '\n'), qPrintable(result.errors));
    QVERIFY(!result.errors.contains(QStringLiteral("photo.jpg: ")));
    QVERIFY(result.output.contains(QStringLiteral("\"message\":\"") + note + '"'));
    QVERIFY(QFile::exists(path("cli out/photo.jpg")));
}

// A picture that is no JPEG has no tables to keep: its copy is written at the quality, and says
// so; a JPEG's copy keeps its own without a word.
void TestLossless::ownTablesAskedOfAPictureWithoutThem() {
    QVERIFY(photoLike().save(path("drawn.png")));
    const StampResult drawn = stamp(path("drawn.png"), path("drawn.jpg"), Way::OwnTables);
    QVERIFY(drawn.written);
    QCOMPARE(drawn.notes, QStringList{kPlainQualityNote.arg(kDefaultJpegQuality)});
    const std::optional<JpegTables> tables = PictureReader::open(path("drawn.jpg"))->jpegTables();
    QVERIFY(tables);
    QCOMPARE(tables->tables[size_t(tables->componentTable[0])],
             standardTable(kDefaultJpegQuality, 0));

    writeFile(path("photo.jpg"), makeJpeg(photoLike(), 2, 2, 60));
    const StampResult photo = stamp(path("photo.jpg"), path("copy.jpg"), Way::OwnTables);
    QVERIFY(photo.written);
    QCOMPARE(photo.notes, QStringList());
}

QTEST_GUILESS_MAIN(TestLossless)
#include "tst_lossless.moc"
