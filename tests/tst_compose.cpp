// Placement, the colour-key copy, decoding whole and reduced, and the preview's compose.
#include "engine/io/picturereader.h"
#include "engine/stamping/compose.h"
#include "engine/stamping/surface.h"
#include "support/errorreport.h"
#include "support/failure.h"
#include "tests/codecsamples.h"
#include "tests/testkit.h"

#include <QDataStream>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

class TestCompose : public QObject {
    Q_OBJECT

private slots:
    void placement_data();
    void placement();
    void placementRoundsHalfToEven_data();
    void placementRoundsHalfToEven();
    void placementOutsideTheListLeavesPosition();

    void copyLeavesTransparentPixelsAlone();
    void copyClipsAtEveryEdge_data();
    void copyClipsAtEveryEdge();

    void decodingFlattensTransparencyOntoWhite();
    void decodingFollowsContentNotName();
    void decodingLargePhotographs();
    void decodingBombFailsWithMessage();

    void clearingUnwindsEveryDrawing();

    void reductionKeepsWhatTheScreenShows_data();
    void reductionKeepsWhatTheScreenShows();
    void reducedDecodeLooksLikeTheWholeScaled_data();
    void reducedDecodeLooksLikeTheWholeScaled();
    void reducedDecodeStopsWhenNoLongerWanted();
    void reducedPreviewStampsWhereTheRunDoes_data();
    void reducedPreviewStampsWhereTheRunDoes();
    void composeFailureNamesItsStepAndShowsNothing_data();
    void composeFailureNamesItsStepAndShowsNothing();

private:
    QTemporaryDir dir_;
    QString path(const QString& name) const { return dir_.filePath(name); }
};

void TestCompose::placement_data() {
    QTest::addColumn<int>("placement");
    QTest::addColumn<QSizeF>("image");
    QTest::addColumn<QSizeF>("mark");
    QTest::addColumn<QPoint>("expected");
    const QSizeF image(200, 100), mark(50, 20);
    QTest::newRow("upper-left sits one pixel in") << 0 << image << mark << QPoint(1, 1);
    QTest::newRow("upper-middle") << 1 << image << mark << QPoint(75, 1);
    QTest::newRow("upper-right touches the edge") << 2 << image << mark << QPoint(150, 1);
    QTest::newRow("middle-left") << 3 << image << mark << QPoint(1, 40);
    QTest::newRow("middle-middle") << 4 << image << mark << QPoint(75, 40);
    QTest::newRow("middle-right") << 5 << image << mark << QPoint(150, 40);
    QTest::newRow("bottom-left") << 6 << image << mark << QPoint(1, 80);
    QTest::newRow("bottom-middle") << 7 << image << mark << QPoint(75, 80);
    QTest::newRow("bottom-right touches both edges") << 8 << image << mark << QPoint(150, 80);
    QTest::newRow("centre of an odd width") << 4 << QSizeF(101, 60) << mark << QPoint(26, 20);
    QTest::newRow("larger mark, bottom-right goes negative")
        << 8 << QSizeF(40, 30) << QSizeF(100, 50) << QPoint(-60, -20);
    QTest::newRow("larger mark, centred")
        << 4 << QSizeF(40, 30) << QSizeF(100, 50) << QPoint(-30, -10);
    QTest::newRow("panorama wider than 32767 pixels")
        << 8 << QSizeF(60000, 9000) << QSizeF(400, 100) << QPoint(59600, 8900);
}

void TestCompose::placement() {
    QFETCH(int, placement);
    QFETCH(QSizeF, image);
    QFETCH(QSizeF, mark);
    QFETCH(QPoint, expected);
    QPoint position(123, 456);
    PlaceWatermark(placement, float(image.width()), float(image.height()), float(mark.width()),
                   float(mark.height()), position);
    QCOMPARE(position, expected);
}

void TestCompose::placementRoundsHalfToEven_data() {
    QTest::addColumn<float>("W");
    QTest::addColumn<float>("w");
    QTest::addColumn<int>("x");
    QTest::newRow("35.5 rounds up to 36") << 101.f << 30.f << 36;
    QTest::newRow("34.5 rounds down to 34") << 100.f << 31.f << 34;
    QTest::newRow("-0.5 rounds to 0") << 10.f << 11.f << 0;
    QTest::newRow("-1.5 rounds to -2") << 10.f << 13.f << -2;
}

void TestCompose::placementRoundsHalfToEven() {
    QFETCH(float, W);
    QFETCH(float, w);
    QFETCH(int, x);
    QPoint position;
    PlaceWatermark(1, W, 50, w, 10, position);
    QCOMPARE(position.x(), x);
    PlaceWatermark(3, 50, W, 10, w, position);
    QCOMPARE(position.y(), x);
}

void TestCompose::placementOutsideTheListLeavesPosition() {
    for (int placement : {-1, 9, 1000}) {
        QPoint position(7, -3);
        PlaceWatermark(placement, 200, 100, 50, 20, position);
        QCOMPARE(position, QPoint(7, -3));
    }
}

void TestCompose::copyLeavesTransparentPixelsAlone() {
    QImage image = SolidImage(20, 10, qRgb(10, 20, 30));
    image.setPixel(3, 3, qRgb(200, 100, 50));
    const QImage before = image;

    TransparentCopy(image, QPoint(0, 0), SolidImage(20, 10, qRgb(255, 255, 255)), kWhite);
    QCOMPARE(image, before);

    // One unit off in a single channel is another colour, and is copied.
    QImage mark = SolidImage(4, 4, qRgb(255, 255, 255));
    mark.setPixel(1, 2, qRgb(255, 254, 255));
    TransparentCopy(image, QPoint(5, 5), mark, kWhite);
    QCOMPARE(image.pixel(6, 7), qRgb(255, 254, 255));
    image.setPixel(6, 7, before.pixel(6, 7));
    QCOMPARE(image, before);

    // The key is 0x00BBGGRR: 0x000000FF is pure red.
    QImage red = SolidImage(2, 2, qRgb(255, 0, 0));
    red.setPixel(0, 0, qRgb(0, 0, 255));
    TransparentCopy(image, QPoint(0, 0), red, 0x000000FF);
    QCOMPARE(image.pixel(0, 0), qRgb(0, 0, 255));
    QCOMPARE(image.pixel(1, 1), before.pixel(1, 1));
}

void TestCompose::copyClipsAtEveryEdge_data() {
    QTest::addColumn<QPoint>("at");
    QTest::newRow("inside") << QPoint(2, 3);
    QTest::newRow("past the top-left corner") << QPoint(-3, -2);
    QTest::newRow("past the bottom-right corner") << QPoint(8, 6);
    QTest::newRow("larger than the image, centred") << QPoint(-10, -10);
    QTest::newRow("wholly outside") << QPoint(50, 50);
}

void TestCompose::copyClipsAtEveryEdge() {
    QFETCH(QPoint, at);
    const QImage before = SolidImage(12, 9, qRgb(0, 0, 0));
    QImage image = before;
    QImage mark(30, 30, QImage::Format_RGB32);
    for (int y = 0; y < mark.height(); ++y)
        for (int x = 0; x < mark.width(); ++x)
            mark.setPixel(x, y, qRgb(x, y, 77));
    if (at == QPoint(2, 3) || at == QPoint(-3, -2) || at == QPoint(8, 6))
        mark = mark.copy(0, 0, 6, 5);

    TransparentCopy(image, at, mark, kWhite);

    QCOMPARE(image.size(), before.size());
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QPoint source = QPoint(x, y) - at;
            const QRgb expected =
                mark.rect().contains(source) ? mark.pixel(source) : before.pixel(x, y);
            QCOMPARE(image.pixel(x, y), expected);
        }
}

void TestCompose::decodingFlattensTransparencyOntoWhite() {
    QImage picture(4, 1, QImage::Format_ARGB32);
    picture.setPixel(0, 0, qRgba(0, 0, 0, 0));
    picture.setPixel(1, 0, qRgba(255, 0, 0, 255));
    picture.setPixel(2, 0, qRgba(0, 0, 0, 128));
    picture.setPixel(3, 0, qRgba(0, 0, 255, 0));
    WriteImage(picture, path("alpha.png"), "png");

    const QImage flat = LoadPicture(path("alpha.png"));
    QCOMPARE(flat.format(), QImage::Format_RGB32);
    QCOMPARE(flat.pixel(0, 0), qRgb(255, 255, 255));
    QCOMPARE(flat.pixel(1, 0), qRgb(255, 0, 0));
    QVERIFY(qAbs(qRed(flat.pixel(2, 0)) - 127) <= 1);
    QCOMPARE(flat.pixel(3, 0), qRgb(255, 255, 255));
}

void TestCompose::decodingFollowsContentNotName() {
    WriteImage(SolidImage(5, 4, qRgb(1, 2, 3)), path("really-a-png.jpg"), "png");
    QCOMPARE(LoadPicture(path("really-a-png.jpg")).pixel(2, 2), qRgb(1, 2, 3));

    QFile text(path("notes.png"));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("not a picture at all");
    text.close();
    QVERIFY_THROWS_EXCEPTION(Failure, LoadPicture(path("notes.png")));
    QVERIFY_THROWS_EXCEPTION(Failure, LoadPicture(path("missing.png")));
}

void TestCompose::decodingLargePhotographs() {
    // 6000 x 6000 in 32 bits is 144 MB, beyond the reader's default limit of 128 MB.
    WriteImage(SolidImage(6000, 6000, qRgb(40, 90, 160)), path("large.jpg"), "jpeg");
    const QImage large = LoadPicture(path("large.jpg"));
    QCOMPARE(large.size(), QSize(6000, 6000));
    QFile::remove(path("large.jpg"));
}

void TestCompose::decodingBombFailsWithMessage() {
    // A BMP header that claims 100000 x 100000 pixels of 24 bits (30 GB) over no pixel data.
    QFile file(path("bomb.bmp"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("BM", 2);
    out << quint32(54 + 64) << quint16(0) << quint16(0) << quint32(54);
    out << quint32(40) << qint32(100000) << qint32(100000) << quint16(1) << quint16(24)
        << quint32(0) << quint32(0) << qint32(2835) << qint32(2835) << quint32(0) << quint32(0);
    out.writeRawData(QByteArray(64, '\0').constData(), 64);
    file.close();

    QElapsedTimer timer;
    timer.start();
    try {
        LoadPicture(path("bomb.bmp"));
        QFAIL("a picture of 30 GB was decoded");
    } catch (const Failure& failure) {
        QVERIFY(!failure.text().isEmpty());
    }
    QVERIFY(timer.elapsed() < 5000);
}

void TestCompose::clearingUnwindsEveryDrawing() {
    QImage picture(40, 30, QImage::Format_RGB32);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            picture.setPixel(x, y, qRgb(x * 6, y * 8, 50));
    Surface surface;
    surface.setPicture(picture);
    // Overlapping drawings, one reaching past the edge.
    TransparentCopy(surface.drawingArea(QRect(5, 5, 20, 10)), QPoint(5, 5),
                    SolidImage(20, 10, qRgb(255, 0, 0)), kWhite);
    TransparentCopy(surface.drawingArea(QRect(15, 8, 40, 40)), QPoint(15, 8),
                    SolidImage(40, 40, qRgb(0, 0, 255)), kWhite);
    QCOMPARE(surface.image().pixel(6, 6), qRgb(255, 0, 0));
    QCOMPARE(surface.image().pixel(39, 29), qRgb(0, 0, 255));
    surface.clear();
    QCOMPARE(surface.image(), picture);
    surface.clear();
    QCOMPARE(surface.image(), picture);
}

namespace {
// The red of the test's mark, and whether a stamped pixel shows it.
const QRgb kRed = qRgb(250, 10, 10);
bool IsRed(QRgb pixel) {
    return qRed(pixel) > 200 && qGreen(pixel) < 90 && qBlue(pixel) < 90;
}

// The smallest rectangle holding every red pixel of the picture.
QRect RedArea(const QImage& picture) {
    QRect area;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            if (IsRed(picture.pixel(x, y)))
                area |= QRect(x, y, 1, 1);
    return area;
}
} // namespace

void TestCompose::reductionKeepsWhatTheScreenShows_data() {
    QTest::addColumn<QSize>("full");
    QTest::addColumn<QSize>("room");
    QTest::addColumn<int>("reduction");
    QTest::newRow("fits: whole") << QSize(400, 300) << QSize(800, 600) << 1;
    QTest::newRow("no screen: whole") << QSize(12000, 9000) << QSize() << 1;
    QTest::newRow("108 MP on a full HD screen") << QSize(12000, 9000) << QSize(1920, 1050) << 8;
    QTest::newRow("just too small at an eighth") << QSize(12000, 9000) << QSize(1920, 1210) << 4;
    QTest::newRow("a quarter, rounded up, still enough")
        << QSize(4003, 3001) << QSize(1001, 751) << 4;
    QTest::newRow("panorama: its width decides") << QSize(3000, 1000) << QSize(1000, 1000) << 2;
    QTest::newRow("tall: its height decides") << QSize(1000, 8000) << QSize(2000, 1000) << 8;
}

void TestCompose::reductionKeepsWhatTheScreenShows() {
    QFETCH(QSize, full);
    QFETCH(QSize, room);
    QFETCH(int, reduction);
    QCOMPARE(ReductionFor(full, room), reduction);
}

void TestCompose::reducedDecodeLooksLikeTheWholeScaled_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("baseline JPEG: libjpeg scales") << "jpeg";
    QTest::newRow("progressive JPEG: libjpeg scales, held whole") << "progressive";
    QTest::newRow("JPEG turned by its EXIF orientation") << "turned";
    QTest::newRow("PNG: scaled a band at a time") << "png";
    QTest::newRow("PNG with transparency: flattened first") << "alpha";
    QTest::newRow("BMP: decoded whole, then scaled") << "bmp";
}

void TestCompose::reducedDecodeLooksLikeTheWholeScaled() {
    QFETCH(QString, kind);
    // Odd sizes, so that neither the rows nor libjpeg's blocks end evenly; smooth, so that
    // ways of scaling that sample a little differently agree. The mark and the edges give the
    // test its teeth: a picture shifted or turned by a row shows at once.
    const bool alpha = kind == QLatin1String("alpha");
    QImage source(1203, 805, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    for (int y = 0; y < source.height(); ++y)
        for (int x = 0; x < source.width(); ++x)
            source.setPixel(x, y,
                            qRgba(x * 255 / 1203, y * 255 / 805, x < 600 ? 40 : 220,
                                  alpha ? (x + y) * 255 / 2008 : 255));
    const QString file = path(QStringLiteral("reduced.") + kind);
    if (kind == QLatin1String("jpeg") || kind == QLatin1String("turned"))
        writeFile(file, makeJpeg(source, 2, 2));
    else if (kind == QLatin1String("progressive"))
        writeFile(file, makeJpeg(source, 2, 2, 85, JpegKind::Progressive));
    else
        WriteImage(source, file, kind == QLatin1String("bmp") ? "bmp" : "png");
    if (kind == QLatin1String("turned"))
        addSampleMetadata(file);

    const ReducedPicture reduced = DecodeReducedPicture(file, QSize(300, 300), DefaultMaxPixels());
    const QImage whole = LoadPicture(file);
    QCOMPARE(reduced.fullSize, whole.size());
    QCOMPARE(reduced.reduction, 4);
    // At a quarter, rounded up: the picture as shown within 300 x 300 loses nothing.
    const QSize expected((whole.width() + 3) / 4, (whole.height() + 3) / 4);
    QCOMPARE(reduced.picture.size(), expected);
    QCOMPARE(reduced.picture.format(), QImage::Format_RGB32);
    const QImage scaled = whole.scaled(expected, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const double error = meanError(reduced.picture, scaled);
    QVERIFY2(error < 4.0, qPrintable(QString::number(error)));
}

void TestCompose::reducedDecodeStopsWhenNoLongerWanted() {
    writeFile(path("stopped.jpg"), makeJpeg(photoLike(640, 480), 2, 2));
    const std::atomic<bool> stop{true};
    QVERIFY_THROWS_EXCEPTION(Failure, DecodeReducedPicture(path("stopped.jpg"), QSize(100, 100),
                                                           DefaultMaxPixels(), &stop));
    QVERIFY_THROWS_EXCEPTION(Failure,
                             DecodeReducedPicture(path("missing.jpg"), QSize(100, 100), 1 << 20));
    // libjpeg reads a progressive picture whole before its first row: it gives up within.
    writeFile(path("progressive.jpg"),
              makeJpeg(photoLike(640, 480), 2, 2, 85, JpegKind::Progressive));
    const std::unique_ptr<PictureReader> reader = PictureReader::open(path("progressive.jpg"));
    reader->stopWhen(&stop);
    QCOMPARE(failureOf([&] { reader->readAll(); }), kNoLongerWantedText);
    // The ceiling counts the picture's full size, not what is decoded of it.
    QVERIFY_THROWS_EXCEPTION(Failure,
                             DecodeReducedPicture(path("stopped.jpg"), QSize(100, 100), 640 * 479));
}

void TestCompose::reducedPreviewStampsWhereTheRunDoes_data() {
    QTest::addColumn<int>("placement");
    QTest::addColumn<double>("scale");
    QTest::addColumn<int>("margin");
    for (int placement = 0; placement < 9; ++placement)
        QTest::addRow("placement %d, own size", placement) << placement << 0.0 << kUsualMargins;
    QTest::newRow("bottom-right, a fifth of the width") << 8 << 0.2 << kUsualMargins;
    QTest::newRow("upper-left, 100 pixels in") << 0 << 0.0 << 100;
    QTest::newRow("middle-right, a tenth, 48 pixels in") << 5 << 0.1 << 48;
    QTest::newRow("no placement: the corner") << -1 << 0.0 << kUsualMargins;
}

void TestCompose::reducedPreviewStampsWhereTheRunDoes() {
    QFETCH(int, placement);
    QFETCH(double, scale);
    QFETCH(int, margin);
    writeFile(path("photo.jpg"), makeJpeg(SolidImage(1600, 1200, qRgb(20, 40, 200)), 1, 1));
    WriteImage(SolidImage(40, 30, kRed), path("mark.png"), "png");
    PreviewRequest request;
    request.imagePath = path("photo.jpg");
    request.watermarkPath = path("mark.png");
    request.placement = placement;
    request.style.scale = scale;
    request.style.margin = margin;
    request.maxPixels = DefaultMaxPixels();
    QList<int> failed;
    Guard guard([&](int step, const QString&) { failed << step; });

    const ReducedPicture whole = ComposePreview(request, guard, 30);
    request.room = QSize(300, 300);
    const ReducedPicture reduced = ComposePreview(request, guard, 30);
    QVERIFY(failed.isEmpty());
    QCOMPARE(whole.reduction, 1);
    QCOMPARE(reduced.reduction, 4);
    QCOMPARE(reduced.picture.size(), QSize(400, 300));

    // The whole picture is stamped where the run stamps it.
    QPoint at(0, 0);
    const QSize mark =
        scale > 0 ? QSize(int(1600 * scale), int(1600 * scale * 30 / 40)) : QSize(40, 30);
    PlaceWatermark(placement, 1600, 1200, float(mark.width()), float(mark.height()), at, margin);
    const QRect full = RedArea(whole.picture);
    QCOMPARE(full, QRect(at, mark));
    // The reduced one a quarter as far in and a quarter as large, to the pixel.
    const QRect shown = RedArea(reduced.picture);
    for (const auto& [got, wanted] :
         {std::pair(shown.left(), full.left()), std::pair(shown.top(), full.top()),
          std::pair(shown.right() + 1, full.right() + 1),
          std::pair(shown.bottom() + 1, full.bottom() + 1)})
        QVERIFY2(qAbs(got * 4 - wanted) <= 4,
                 qPrintable(QStringLiteral("%1 shown for %2").arg(got).arg(wanted)));
}

void TestCompose::composeFailureNamesItsStepAndShowsNothing_data() {
    QTest::addColumn<bool>("watermarkThere");
    QTest::addColumn<bool>("pictureThere");
    QTest::addColumn<QList<int>>("failed");
    QTest::newRow("watermark missing") << false << true << QList<int>{70};
    QTest::newRow("picture missing") << true << false << QList<int>{71};
    QTest::newRow("both missing: both reported") << false << false << QList<int>{70, 71};
}

void TestCompose::composeFailureNamesItsStepAndShowsNothing() {
    QFETCH(bool, watermarkThere);
    QFETCH(bool, pictureThere);
    QFETCH(QList<int>, failed);
    WriteImage(SolidImage(10, 4, qRgb(0, 0, 200)), path("mark.png"), "png");
    WriteImage(SolidImage(30, 20, qRgb(0, 100, 0)), path("image.png"), "png");
    PreviewRequest request;
    request.imagePath = path(pictureThere ? "image.png" : "nothing.png");
    request.watermarkPath = path(watermarkThere ? "mark.png" : "nothing.png");
    request.maxPixels = DefaultMaxPixels();
    QList<int> steps;
    Guard guard([&](int step, const QString&) { steps << step; });
    QVERIFY(ComposePreview(request, guard, 70).picture.isNull());
    QCOMPARE(steps, failed);
}

QTEST_GUILESS_MAIN(TestCompose)
#include "tst_compose.moc"
