// Colour profiles and the mark's colours: what a profile describes, the mark converted into a
// picture's profile as lcms2 itself converts it, a CMYK JPEG read through its profile, and the
// preview stamping in the picture's colours.
#include "engine/io/colourprofile.h"
#include "engine/stamping/compose.h"
#include "engine/stamping/decode.h"
#include "engine/stamping/stamp.h"
#include "tests/clikit.h"
#include "tests/codecsamples.h"
#include "tests/colourkit.h"
#include "tests/graysamples.h"
#include "tests/testkit.h"

#include <QTemporaryDir>
#include <QTest>

#include <thread>
#include <vector>

namespace {
constexpr QRgb kRed = 0xFFFF0000u;

QImage Solid(QSize size, QRgb colour) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

// A picture's colours where every channel runs through its levels.
QImage Levels() {
    QImage image(256, 32, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgba(x, (x * 7 + y * 8) % 256, 255 - x, (x + y) % 256));
    return image;
}
} // namespace

class TestColour : public QObject {
    Q_OBJECT

private slots:
    void profilesAreToldApart_data();
    void profilesAreToldApart();
    void markTakesThePictureColours_data();
    void markTakesThePictureColours();
    void markInItsColoursIsNotConverted();
    void markFileKeepsItsProfile();
    void conversionServesManyWorkers();
    void cmykJpegIsReadThroughItsProfile();
    void previewStampsInThePictureColours();
    void copyLeavesOutAProfileOfOtherPixels();
};

void TestColour::profilesAreToldApart_data() {
    QTest::addColumn<QByteArray>("icc");
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("srgb");
    QTest::addColumn<bool>("refusedOnRgb");
    const QByteArray srgb = SrgbProfile();
    QTest::newRow("none") << QByteArray() << int(ProfileKind::None) << true << false;
    QTest::newRow("lcms2's sRGB") << srgb << int(ProfileKind::Rgb) << true << false;
    QTest::newRow("Qt's sRGB") << sampleIccProfile() << int(ProfileKind::Rgb) << true << false;
    QTest::newRow("Adobe RGB") << adobeRgbProfile() << int(ProfileKind::Rgb) << false << false;
    QTest::newRow("Display P3") << displayP3Profile() << int(ProfileKind::Rgb) << false << false;
    QTest::newRow("Gray") << grayProfile() << int(ProfileKind::Gray) << false << false;
    QTest::newRow("Lab") << labProfile() << int(ProfileKind::Other) << false << true;
    QTest::newRow("CMYK") << naiveCmykProfile() << int(ProfileKind::Cmyk) << false << true;
    QTest::newRow("not a profile")
        << QByteArray(200, 'x') << int(ProfileKind::Unreadable) << false << true;
    QTest::newRow("cut short") << srgb.left(srgb.size() / 2) << int(ProfileKind::Unreadable)
                               << false << true;
}

void TestColour::profilesAreToldApart() {
    QFETCH(QByteArray, icc);
    QFETCH(int, kind);
    QFETCH(bool, srgb);
    QFETCH(bool, refusedOnRgb);
    QCOMPARE(int(KindOfProfile(icc)), kind);
    QCOMPARE(IsSrgbEquivalent(icc), srgb);
    QCOMPARE(!ProfileRefusalForRgb(icc).isEmpty(), refusedOnRgb);
    // Asked again, from the kept answer.
    QCOMPARE(IsSrgbEquivalent(icc), srgb);
}

void TestColour::markTakesThePictureColours_data() {
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<QRgb>("colour");
    const QByteArray adobe = adobeRgbProfile(), p3 = displayP3Profile();
    const QList<std::pair<const char*, QRgb>> colours = {
        {"red", kRed}, {"green", 0xFF00FF00u}, {"blue", 0xFF0000FFu}, {"grey", 0xFF808080u}};
    for (const auto& [name, colour] : colours) {
        QTest::addRow("%s into Adobe RGB", name) << QByteArray() << adobe << colour;
        QTest::addRow("%s into Display P3", name) << QByteArray() << p3 << colour;
    }
    QTest::newRow("Adobe RGB mark into sRGB") << adobe << QByteArray() << qRgb(150, 100, 60);
    QTest::newRow("Adobe RGB mark into lcms2's sRGB")
        << adobe << SrgbProfile() << qRgb(40, 200, 90);
    QTest::newRow("Display P3 red into Adobe RGB") << p3 << adobe << kRed;
}

void TestColour::markTakesThePictureColours() {
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QRgb, colour);
    // Opaque, half and fully transparent: the alpha is the mark's own and stays.
    QImage mark(3, 1, QImage::Format_ARGB32);
    const int alphas[] = {255, 128, 0};
    for (int x = 0; x < 3; ++x)
        mark.setPixel(x, 0, (colour & RGB_MASK) | (QRgb(alphas[x]) << 24));
    QVERIFY(ConvertsColours(from, to));
    ConvertArgb(mark, from, to);
    const QRgb expected = referenceColour(colour, from, to);
    for (int x = 0; x < 3; ++x) {
        const QRgb got = mark.pixel(x, 0);
        QCOMPARE(qAlpha(got), alphas[x]);
        const double distance = colourDistance(got, to, expected, to);
        QVERIFY2(distance < 1, qPrintable(QStringLiteral("%1 for %2 where lcms2 gives %3")
                                              .arg(distance)
                                              .arg(got, 8, 16)
                                              .arg(expected, 8, 16)));
    }
}

void TestColour::markInItsColoursIsNotConverted() {
    const StampMark mark = StampMark(Solid(QSize(20, 10), kRed), kWhite).forPicture(QSize(50, 50));
    // An sRGB picture, named so or not: the very pixels, not a copy.
    QCOMPARE(mark.inColours({}).pixels().cacheKey(), mark.pixels().cacheKey());
    QCOMPARE(mark.inColours(SrgbProfile()).pixels().cacheKey(), mark.pixels().cacheKey());
    const QByteArray p3 = displayP3Profile();
    const StampMark inP3 = mark.inColours(p3);
    QCOMPARE(inP3.profile(), p3);
    QVERIFY(inP3.pixels().pixel(0, 0) != kRed);
    // Already in them: never converted twice.
    QCOMPARE(inP3.inColours(p3).pixels().cacheKey(), inP3.pixels().cacheKey());
}

void TestColour::markFileKeepsItsProfile() {
    const QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("mark.png"));
    const QByteArray adobe = adobeRgbProfile();
    const QRgb colour = qRgb(150, 100, 60);
    writeFile(path, encoded(Solid(QSize(8, 8), colour), PictureFormat::Png,
                            MetadataOf({}, {}, {}, adobe)));
    const StampMark mark = LoadMark(path, kWhite, {}, 1 << 20);
    QCOMPARE(mark.profile(), adobe);
    const QRgb got = mark.forPicture(QSize(20, 20)).inColours({}).pixels().pixel(4, 4);
    QVERIFY(colourDistance(got, {}, colour, adobe) < 1);
}

void TestColour::conversionServesManyWorkers() {
    const QByteArray p3 = displayP3Profile();
    QImage expected = Levels();
    ConvertArgb(expected, {}, p3);
    std::vector<QImage> images(8, Levels());
    for (QImage& image : images)
        image.detach();
    {
        std::vector<std::jthread> workers;
        for (QImage& image : images)
            workers.emplace_back([&image, &p3] {
                for (int round = 0; round < 20; ++round) {
                    QImage again = Levels();
                    ConvertArgb(again, {}, p3);
                    if (round == 0)
                        image = again;
                }
            });
    }
    for (const QImage& image : images)
        QVERIFY(sameBytes(image, expected));
}

void TestColour::cmykJpegIsReadThroughItsProfile() {
    const QTemporaryDir dir;
    const QString plain = dir.filePath(QStringLiteral("plain.jpg"));
    const QString profiled = dir.filePath(QStringLiteral("profiled.jpg"));
    const QByteArray jpeg = makeJpeg(photoLike(), 1, 1, 95, JpegKind::AdobeCmyk);
    const QByteArray cmyk = naiveCmykProfile();
    writeFile(plain, jpeg);
    writeFile(profiled, withIccProfile(jpeg, cmyk));

    const auto reader = PictureReader::open(profiled);
    QCOMPARE(reader->metadata().icc, cmyk);
    QCOMPARE(int(KindOfProfile(reader->colourProfile())), int(ProfileKind::Rgb));
    QVERIFY(IsSrgbEquivalent(reader->colourProfile()));
    const QImage throughProfile = reader->readAll();
    // Opaque pixels, whatever the conversion leaves in the alpha byte.
    for (int y = 0; y < throughProfile.height(); ++y)
        for (int x = 0; x < throughProfile.width(); ++x)
            QCOMPARE(qAlpha(throughProfile.pixel(x, y)), 255);
    // The profile gives the naive formula's colours, up to its table's interpolation.
    const auto naive = PictureReader::open(plain);
    QVERIFY(naive->colourProfile().isEmpty());
    const double error = meanError(throughProfile, naive->readAll());
    QVERIFY2(error < 2, qPrintable(QString::number(error)));
}

void TestColour::previewStampsInThePictureColours() {
    const QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("p3.png"));
    const QByteArray p3 = displayP3Profile();
    writeFile(path, encoded(Solid(QSize(64, 48), qRgb(128, 128, 128)), PictureFormat::Png,
                            MetadataOf({}, {}, {}, p3)));
    ReducedPicture shown = DecodeReducedPicture(path, {}, 1 << 20);
    QCOMPARE(shown.profile, p3);
    constexpr int kCentre = 4;
    StampOnReduced(shown, StampMark(Solid(QSize(8, 8), kRed), kWhite), kCentre, {});
    const QRgb got = shown.picture.pixel(32, 24);
    QVERIFY(colourDistance(got, p3, referenceColour(kRed, {}, p3), p3) < 1);
}

// The copy says why it carries no profile where its picture had one.
void TestColour::copyLeavesOutAProfileOfOtherPixels() {
    const QTemporaryDir dir;
    const QString mark = dir.filePath(QStringLiteral("mark.png"));
    QVERIFY(CliMark().save(mark));
    const QString broken = dir.filePath(QStringLiteral("broken.jpg"));
    writeFile(broken, withIccProfile(makeJpeg(photoLike(), 2, 2), QByteArray(300, 'x')));
    const ProcessResult run =
        RunCli({"--watermark", mark, "--output", dir.filePath(QStringLiteral("out")), broken});
    QCOMPARE(run.code, 0);
    QVERIFY2(run.errors.contains(QStringLiteral("colour profile left out: lcms2 cannot read it")),
             qPrintable(run.errors));
}

QTEST_GUILESS_MAIN(TestColour)
#include "tst_colour.moc"
