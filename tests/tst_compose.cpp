// Placement, the colour-key copy, decoding and the five-step compose.
#include "engine/stamping/compose.h"
#include "engine/stamping/surface.h"
#include "support/errorreport.h"
#include "support/failure.h"
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
    void composeTwoImagesInARow();
    void composeFailureIsReportedAndLaterStepsRun();

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
    QTest::newRow("larger mark, centred") << 4 << QSizeF(40, 30) << QSizeF(100, 50) << QPoint(-30, -10);
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

void TestCompose::composeTwoImagesInARow() {
    WriteImage(SolidImage(10, 4, qRgb(0, 0, 200)), path("mark.png"), "png");
    WriteImage(SolidImage(100, 50, qRgb(0, 100, 0)), path("first.png"), "png");
    WriteImage(SolidImage(60, 40, qRgb(100, 0, 0)), path("second.png"), "png");
    Surface watermark(QSize(25, 21)), composing(QSize(119, 104));
    QStringList reports;
    Guard guard([&](int step, const QString& text) { reports << QString::number(step) + text; });

    QPoint position;
    ComposeWatermark(path("first.png"), path("mark.png"), 8, kWhite, position, watermark,
                     composing, guard, 70);
    QCOMPARE(position, QPoint(90, 46));
    QCOMPARE(composing.image().pixel(95, 48), qRgb(0, 0, 200));

    const ComposeOutcome outcome = ComposeWatermark(path("second.png"), path("mark.png"), 0,
                                                    kWhite, position, watermark, composing, guard, 70);
    QVERIFY(outcome.imageLoaded && outcome.watermarkLoaded);
    QVERIFY(reports.isEmpty());
    QCOMPARE(composing.size(), QSize(60, 40));
    QCOMPARE(position, QPoint(1, 1));
    int marked = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 60; ++x)
            marked += composing.image().pixel(x, y) == qRgb(0, 0, 200) ? 1 : 0;
    QCOMPARE(marked, 40);
    QCOMPARE(composing.image().pixel(0, 0), qRgb(100, 0, 0));
    QCOMPARE(composing.image().pixel(1, 1), qRgb(0, 0, 200));
}

void TestCompose::composeFailureIsReportedAndLaterStepsRun() {
    WriteImage(SolidImage(10, 4, qRgb(0, 0, 200)), path("mark.png"), "png");
    WriteImage(SolidImage(30, 20, qRgb(0, 100, 0)), path("image.png"), "png");
    Surface watermark(QSize(25, 21)), composing(QSize(119, 104));
    QList<int> steps;
    Guard guard([&](int step, const QString&) { steps << step; });

    // The watermark fails: its empty white design surface is placed and keyed out entirely.
    QPoint position;
    ComposeOutcome outcome = ComposeWatermark(path("image.png"), path("nothing.png"), 4, kWhite,
                                              position, watermark, composing, guard, 70);
    QCOMPARE(steps, QList<int>{70});
    QVERIFY(!outcome.watermarkLoaded && outcome.imageLoaded);
    QCOMPARE(position, QPoint(2, 0));
    QCOMPARE(composing.image(), LoadPicture(path("image.png")));

    // The image fails: the surface keeps the previous image, and the watermark still lands on it.
    ComposeWatermark(path("nothing.png"), path("mark.png"), 0, kWhite, position, watermark,
                     composing, guard, 70);
    QCOMPARE(steps, (QList<int>{70, 71}));
    QCOMPARE(composing.size(), QSize(30, 20));
    QCOMPARE(composing.image().pixel(1, 1), qRgb(0, 0, 200));
}

QTEST_GUILESS_MAIN(TestCompose)
#include "tst_compose.moc"
