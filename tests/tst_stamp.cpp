// Stamping a mark that has its own transparency, onto images with and without theirs; the size,
// distance and strength of the mark; rows stamped a band at a time; and pictures turned upright.
#include "engine/stamping/stamp.h"
#include "tests/testkit.h"

#include <QTest>

#include <cmath>

namespace {
// Source over an opaque pixel, as a person computes it.
int Blend(int mark, int alpha, int image) {
    return int(std::lround(mark * alpha / 255.0 + image * (1.0 - alpha / 255.0)));
}

// A row of a mark whose alpha runs from 0 to 255, in a colour of its own.
QImage AlphaGradient(QRgb color) {
    QImage mark(256, 2, QImage::Format_ARGB32);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 256; ++x)
            mark.setPixel(x, y, qRgba(qRed(color), qGreen(color), qBlue(color), x));
    return mark;
}

// An 8-bit picture's 16-bit twin: every level times 257, opaque ones RGBX64.
QImage Sixteen(const QImage& eight) {
    return eight.convertToFormat(eight.hasAlphaChannel() ? QImage::Format_RGBA64
                                                         : QImage::Format_RGBX64);
}

// Whether each channel of a 16-bit pixel lies within half an 8-bit level (and its own rounding)
// of the 8-bit pixel scaled up.
bool WithinAnEightBitStep(QRgba64 deep, QRgb eight) {
    const auto near = [](int sixteen, int level) {
        return std::abs(sixteen - level * 257) <= 129;
    };
    return near(deep.red(), qRed(eight)) && near(deep.green(), qGreen(eight)) &&
           near(deep.blue(), qBlue(eight)) && near(deep.alpha(), qAlpha(eight));
}

QRgba64 Pixel64(const QImage& image, int x, int y) {
    return reinterpret_cast<const QRgba64*>(image.constScanLine(y))[x];
}

void SetPixel64(QImage& image, int x, int y, QRgba64 pixel) {
    reinterpret_cast<QRgba64*>(image.scanLine(y))[x] = pixel;
}
} // namespace

class TestStamp : public QObject {
    Q_OBJECT

private slots:
    void softEdgesBlendWithoutAHalo_data();
    void sixteenBitsBlendAsEightDo_data();
    void sixteenBitsBlendAsEightDo();
    void sixteenBitsFlattenOntoWhite();
    void softEdgesBlendWithoutAHalo();
    void transparentAreasStayTransparentWhateverTheKey();
    void keyLeavesOutOnlyWhereNoAlphaSaysSo_data();
    void keyLeavesOutOnlyWhereNoAlphaSaysSo();
    void keyToleranceTakesTheRimApart();
    void imagesWithAlphaKeepItOutsideTheMark();
    void scaledMarkTakesItsShareWithoutKeyBleeding();
    void opacityWeakensTheMark();
    void marginPlacement_data();
    void marginPlacement();
    void bandsGiveTheSamePixelsAsTheWholeImage();
    void orientations_data();
    void orientations();
};

void TestStamp::softEdgesBlendWithoutAHalo_data() {
    QTest::addColumn<QRgb>("markColor");
    QTest::addColumn<QRgb>("imageColor");
    QTest::newRow("dark logo on a light photo") << qRgb(20, 30, 40) << qRgb(200, 180, 160);
    QTest::newRow("white logo on a dark photo") << qRgb(255, 255, 255) << qRgb(10, 60, 90);
    QTest::newRow("red logo on green") << qRgb(230, 0, 0) << qRgb(0, 140, 0);
}

void TestStamp::softEdgesBlendWithoutAHalo() {
    QFETCH(QRgb, markColor);
    QFETCH(QRgb, imageColor);
    QImage image = SolidImage(300, 4, imageColor);
    // The key is black, which the gradient's colour is not: only alpha decides.
    StampImage(image, QPoint(10, 1), StampMark(AlphaGradient(markColor), 0x00000000));
    for (int x = 0; x < 256; ++x) {
        const QRgb pixel = image.pixel(10 + x, 1);
        const auto near = [&](int out, int mark, int under) {
            return std::abs(out - Blend(mark, x, under)) <= 1;
        };
        QVERIFY2(near(qRed(pixel), qRed(markColor), qRed(imageColor)) &&
                     near(qGreen(pixel), qGreen(markColor), qGreen(imageColor)) &&
                     near(qBlue(pixel), qBlue(markColor), qBlue(imageColor)),
                 qPrintable(QString::number(x)));
        // No halo: nothing lighter than both the image and the logo.
        const auto lighterThanBoth = [&](int out, int mark, int under) {
            return out > std::max(mark, under);
        };
        QVERIFY(!lighterThanBoth(qRed(pixel), qRed(markColor), qRed(imageColor)) &&
                !lighterThanBoth(qGreen(pixel), qGreen(markColor), qGreen(imageColor)) &&
                !lighterThanBoth(qBlue(pixel), qBlue(markColor), qBlue(imageColor)));
    }
    QCOMPARE(image.pixel(5, 1), imageColor);
}

void TestStamp::sixteenBitsBlendAsEightDo_data() {
    QTest::addColumn<QRgb>("markColor");
    QTest::addColumn<int>("opacity");
    QTest::addColumn<QRgb>("imageColor");
    QTest::newRow("dark logo on a light photo") << qRgb(20, 30, 40) << 100 << qRgb(200, 180, 160);
    QTest::newRow("white at half strength") << qRgb(255, 255, 255) << 50 << qRgb(10, 60, 90);
    QTest::newRow("red on a half-transparent ground")
        << qRgb(230, 0, 0) << 100 << qRgba(0, 140, 0, 128);
    QTest::newRow("blue at 30 % on a clear ground")
        << qRgb(0, 0, 255) << 30 << qRgba(90, 90, 90, 0);
    QTest::newRow("grey on a nearly clear ground")
        << qRgb(128, 128, 128) << 80 << qRgba(250, 5, 70, 3);
}

// The mark's every alpha from 0 to 255 blended at 16 bits lands where the 8-bit blend does;
// pixels it does not reach, and those under its clear pixels, keep every bit.
void TestStamp::sixteenBitsBlendAsEightDo() {
    QFETCH(QRgb, markColor);
    QFETCH(int, opacity);
    QFETCH(QRgb, imageColor);
    StampStyle style;
    style.opacity = opacity;
    const StampMark mark = StampMark(AlphaGradient(markColor).copy(0, 0, 256, 1), 0x00000000, style)
                               .forPicture(QSize(260, 3));
    QImage eight(260, 3, qAlpha(imageColor) == 255 ? QImage::Format_RGB32 : QImage::Format_ARGB32);
    eight.fill(imageColor);
    QImage deep = Sixteen(eight);
    // Levels no 8-bit picture has, where the mark must leave the picture alone.
    const auto odd = [&](int x, int y) {
        return QRgba64::fromRgba64(quint16(12345 + x), quint16(40001 - y), quint16(7 + x * y),
                                   deep.hasAlphaChannel() ? quint16(30000 + x) : 65535);
    };
    for (int x = 0; x < 260; ++x)
        for (int y : {0, 2})
            SetPixel64(deep, x, y, odd(x, y));
    for (int x : {0, 1, 2, 258, 259})
        SetPixel64(deep, x, 1, odd(x, 1));
    StampImage(eight, QPoint(2, 1), mark);
    StampImage(deep, QPoint(2, 1), mark);
    QCOMPARE(deep.format(), Sixteen(eight).format());
    for (int x = 3; x < 258; ++x)
        QVERIFY2(WithinAnEightBitStep(Pixel64(deep, x, 1), eight.pixel(x, 1)),
                 qPrintable(QString::number(x)));
    for (int x = 0; x < 260; ++x)
        for (int y : {0, 2})
            QCOMPARE(Pixel64(deep, x, y), odd(x, y));
    for (int x : {0, 1, 2, 258, 259})
        QCOMPARE(Pixel64(deep, x, 1), odd(x, 1));
}

void TestStamp::sixteenBitsFlattenOntoWhite() {
    QImage eight = AlphaGradient(qRgb(30, 120, 250));
    QImage deep = Sixteen(eight);
    const QRgba64 opaque = QRgba64::fromRgba64(12345, 23456, 34567, 65535);
    SetPixel64(deep, 0, 1, opaque);
    const QImage flatEight = FlattenOntoWhite(eight);
    const QImage flat = FlattenOntoWhite(deep);
    QCOMPARE(flat.format(), QImage::Format_RGBX64);
    for (int x = 0; x < 256; ++x)
        QVERIFY2(WithinAnEightBitStep(Pixel64(flat, x, 0), flatEight.pixel(x, 0)),
                 qPrintable(QString::number(x)));
    QCOMPARE(Pixel64(flat, 0, 1), opaque);
}

void TestStamp::transparentAreasStayTransparentWhateverTheKey() {
    // A logo with a transparent surround and an opaque white core, keyed with blue: the surround
    // leaves the image alone (no white box), the white core is stamped.
    QImage logo(6, 6, QImage::Format_ARGB32);
    logo.fill(qRgba(255, 255, 255, 0));
    for (int y = 2; y < 4; ++y)
        for (int x = 2; x < 4; ++x)
            logo.setPixel(x, y, qRgba(255, 255, 255, 255));
    // Exactly the key, opaque: the logo's alpha says it is part of the logo, so it stays.
    logo.setPixel(0, 2, qRgba(0, 0, 255, 255));
    QImage image = SolidImage(8, 8, qRgb(50, 60, 70));
    StampImage(image, QPoint(1, 1), StampMark(logo, 0x00FF0000));
    QCOMPARE(image.pixel(1, 1), qRgb(50, 60, 70));
    QCOMPARE(image.pixel(1, 3), qRgb(0, 0, 255));
    QCOMPARE(image.pixel(3, 3), qRgb(255, 255, 255));
}

void TestStamp::keyLeavesOutOnlyWhereNoAlphaSaysSo_data() {
    QTest::addColumn<QImage::Format>("format");
    QTest::addColumn<int>("groundAlpha");
    QTest::addColumn<QRgb>("letters");
    // White letters on a clear ground, the most common logo: stamped whole with the white key.
    QTest::newRow("white text on transparent") << QImage::Format_ARGB32 << 0 << qRgb(255, 255, 255);
    // Without transparency of its own, the white ground and white letters are keyed alike.
    QTest::newRow("opaque with alpha channel") << QImage::Format_ARGB32 << 255 << qRgb(50, 60, 70);
    QTest::newRow("no alpha channel") << QImage::Format_RGB32 << 255 << qRgb(50, 60, 70);
}

void TestStamp::keyLeavesOutOnlyWhereNoAlphaSaysSo() {
    QFETCH(QImage::Format, format);
    QFETCH(int, groundAlpha);
    QFETCH(QRgb, letters);
    QImage logo(6, 1, format);
    logo.fill(qRgba(255, 255, 255, groundAlpha));
    logo.setPixel(2, 0, qRgba(255, 255, 255, 255)); // a white letter
    logo.setPixel(3, 0, qRgba(0, 0, 0, 255));       // a black shadow
    QImage image = SolidImage(6, 1, qRgb(50, 60, 70));
    StampImage(image, QPoint(0, 0), StampMark(logo, kWhite));
    QCOMPARE(image.pixel(0, 0), qRgb(50, 60, 70));
    QCOMPARE(image.pixel(2, 0), letters);
    QCOMPARE(image.pixel(3, 0), qRgb(0, 0, 0));
}

void TestStamp::keyToleranceTakesTheRimApart() {
    // A black logo anti-aliased into its white ground: 255 is the ground, 0 the logo, between them
    // the rim. Stamped on a mid grey, the rim must not be lighter than the grey.
    QImage logo(6, 1, QImage::Format_RGB32);
    const int rim[] = {255, 250, 200, 128, 40, 0};
    for (int x = 0; x < 6; ++x)
        logo.setPixel(x, 0, qRgb(rim[x], rim[x], rim[x]));
    StampStyle style;
    style.keyTolerance = 96;
    QImage image = SolidImage(6, 1, qRgb(100, 100, 100));
    StampImage(image, QPoint(0, 0), StampMark(logo, kWhite, style));
    QCOMPARE(image.pixel(0, 0), qRgb(100, 100, 100)); // the key itself: left out
    for (int x = 1; x < 3; ++x)
        QVERIFY2(qRed(image.pixel(x, 0)) <= 100, qPrintable(QString::number(x)));
    QVERIFY(qRed(image.pixel(2, 0)) < qRed(image.pixel(1, 0)));
    // Beyond the tolerance the logo is stamped as it is.
    QCOMPARE(image.pixel(3, 0), qRgb(128, 128, 128));
    QCOMPARE(image.pixel(5, 0), qRgb(0, 0, 0));
    // Without a tolerance only the key goes: the rim shows as it was drawn.
    QImage plain = SolidImage(6, 1, qRgb(100, 100, 100));
    StampImage(plain, QPoint(0, 0), StampMark(logo, kWhite));
    QCOMPARE(plain.pixel(1, 0), qRgb(250, 250, 250));
}

void TestStamp::imagesWithAlphaKeepItOutsideTheMark() {
    QImage image(20, 10, QImage::Format_ARGB32);
    for (int x = 0; x < 20; ++x)
        for (int y = 0; y < 10; ++y)
            image.setPixel(x, y, qRgba(0, 100, 0, x * 12));
    const QImage before = image;
    QImage mark(4, 4, QImage::Format_ARGB32);
    mark.fill(qRgba(200, 0, 0, 128));
    StampImage(image, QPoint(8, 3), StampMark(mark, kWhite));
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x) {
            const bool under = x >= 8 && x < 12 && y >= 3 && y < 7;
            if (!under) {
                QCOMPARE(image.pixel(x, y), before.pixel(x, y));
                continue;
            }
            // Source over: the result is at least as opaque as either, and as the formula says.
            const double ia = qAlpha(before.pixel(x, y)) / 255.0, ma = 128 / 255.0;
            const double oa = ma + ia * (1 - ma);
            QVERIFY(std::abs(qAlpha(image.pixel(x, y)) - oa * 255) <= 1);
            QVERIFY(std::abs(qRed(image.pixel(x, y)) - 200 * ma / oa) <= 1);
        }
}

void TestStamp::scaledMarkTakesItsShareWithoutKeyBleeding() {
    // A red disc on white, the white keyed out, scaled to a quarter of a 4000-pixel image.
    QImage logo(300, 150, QImage::Format_RGB32);
    logo.fill(qRgb(255, 255, 255));
    for (int y = 0; y < 150; ++y)
        for (int x = 0; x < 300; ++x)
            if ((x - 150) * (x - 150) + (y - 75) * (y - 75) < 60 * 60)
                logo.setPixel(x, y, qRgb(255, 0, 0));
    StampStyle style;
    style.scale = 0.25;
    const StampMark mark = StampMark(logo, kWhite, style).forPicture(QSize(4000, 3000));
    QCOMPARE(mark.size(), QSize(1000, 500));
    int partial = 0;
    for (int y = 0; y < mark.size().height(); ++y)
        for (int x = 0; x < mark.size().width(); ++x) {
            const QRgb pixel = mark.pixels().pixel(x, y);
            if (qAlpha(pixel) == 0)
                continue;
            partial += qAlpha(pixel) < 255 ? 1 : 0;
            QVERIFY2(qRed(pixel) >= 254 && qGreen(pixel) <= 1 && qBlue(pixel) <= 1,
                     qPrintable(QStringLiteral("%1,%2").arg(x).arg(y)));
        }
    QVERIFY(partial > 0); // the edge is soft, and still pure red
    QCOMPARE(StampMark(logo, kWhite, style).forPicture(QSize(3, 3)).size(), QSize(1, 1));
}

void TestStamp::opacityWeakensTheMark() {
    StampStyle style;
    style.opacity = 50;
    QImage image = SolidImage(10, 10, qRgb(100, 100, 100));
    StampImage(
        image, QPoint(0, 0),
        StampMark(SolidImage(4, 4, qRgb(200, 0, 100)), kWhite, style).forPicture(QSize(10, 10)));
    QCOMPARE(image.pixel(1, 1), qRgb(150, 50, 100));
    QCOMPARE(image.pixel(5, 5), qRgb(100, 100, 100));
}

void TestStamp::marginPlacement_data() {
    QTest::addColumn<int>("placement");
    QTest::addColumn<int>("margin");
    QTest::addColumn<QPoint>("expected");
    QTest::newRow("bottom-right, 20 from both edges") << 8 << 20 << QPoint(130, 60);
    QTest::newRow("upper-left, 20 in") << 0 << 20 << QPoint(20, 20);
    QTest::newRow("centred axes stay centred") << 7 << 20 << QPoint(75, 60);
    QTest::newRow("margin 0 touches every edge") << 0 << 0 << QPoint(0, 0);
    QTest::newRow("no margin keeps 1 and 0") << 2 << -1 << QPoint(150, 1);
}

void TestStamp::marginPlacement() {
    QFETCH(int, placement);
    QFETCH(int, margin);
    QFETCH(QPoint, expected);
    QPoint position;
    PlaceWatermark(placement, 200, 100, 50, 20, position, margin);
    QCOMPARE(position, expected);
}

void TestStamp::bandsGiveTheSamePixelsAsTheWholeImage() {
    QImage logo = AlphaGradient(qRgb(0, 0, 200)).scaled(64, 40);
    const StampMark mark(logo, kWhite);
    for (const QPoint at : {QPoint(-10, -5), QPoint(30, 50), QPoint(100, 75), QPoint(150, 90)}) {
        QImage whole = SolidImage(160, 100, qRgb(90, 90, 90));
        QImage banded = whole;
        StampImage(whole, at, mark);
        for (int y = 0; y < 100; y += 7)
            StampRows(banded.scanLine(y), banded.bytesPerLine(), y, std::min(7, 100 - y), 160,
                      false, at, mark);
        QCOMPARE(banded, whole);
    }
}

void TestStamp::orientations_data() {
    QTest::addColumn<int>("orientation");
    // Where the stored picture's top-left pixel (red) and top-right pixel (green) end up in a
    // picture stored 3 wide and 2 high.
    QTest::addColumn<QPoint>("red");
    QTest::addColumn<QPoint>("green");
    QTest::newRow("1 as stored") << 1 << QPoint(0, 0) << QPoint(2, 0);
    QTest::newRow("2 mirrored") << 2 << QPoint(2, 0) << QPoint(0, 0);
    QTest::newRow("3 half a turn") << 3 << QPoint(2, 1) << QPoint(0, 1);
    QTest::newRow("4 upside down") << 4 << QPoint(0, 1) << QPoint(2, 1);
    QTest::newRow("5 transposed") << 5 << QPoint(0, 0) << QPoint(0, 2);
    QTest::newRow("6 a quarter clockwise") << 6 << QPoint(1, 0) << QPoint(1, 2);
    QTest::newRow("7 transversed") << 7 << QPoint(1, 2) << QPoint(1, 0);
    QTest::newRow("8 a quarter back") << 8 << QPoint(0, 2) << QPoint(0, 0);
}

void TestStamp::orientations() {
    QFETCH(int, orientation);
    QFETCH(QPoint, red);
    QFETCH(QPoint, green);
    QImage stored = SolidImage(3, 2, qRgb(0, 0, 0));
    stored.setPixel(0, 0, qRgb(255, 0, 0));
    stored.setPixel(2, 0, qRgb(0, 255, 0));
    const QImage upright = Oriented(stored, orientation);
    QCOMPARE(upright.size(), OrientedSize(stored.size(), orientation));
    QCOMPARE(upright.format(), stored.format());
    QCOMPARE(upright.pixel(red), qRgb(255, 0, 0));
    QCOMPARE(upright.pixel(green), qRgb(0, 255, 0));
    // 16 bits a channel are moved as they are, in their own format.
    QImage deep = Sixteen(stored);
    SetPixel64(deep, 0, 0, QRgba64::fromRgba64(1, 2, 3, 65535));
    SetPixel64(deep, 2, 0, QRgba64::fromRgba64(65534, 4097, 31, 65535));
    const QImage deepUpright = Oriented(deep, orientation);
    QCOMPARE(deepUpright.format(), QImage::Format_RGBX64);
    QCOMPARE(Pixel64(deepUpright, red.x(), red.y()), QRgba64::fromRgba64(1, 2, 3, 65535));
    QCOMPARE(Pixel64(deepUpright, green.x(), green.y()),
             QRgba64::fromRgba64(65534, 4097, 31, 65535));
}

QTEST_GUILESS_MAIN(TestStamp)
#include "tst_stamp.moc"
