// Copies as faithful as their pictures: for pictures of every kind made here, the copy's colour
// profile, depth, frames, encoding and metadata against the picture's, through the command line.
#include "engine/io/colourprofile.h"
#include "tests/clikit.h"
#include "tests/codecsamples.h"
#include "tests/colourkit.h"

#include <QTest>

#include <functional>

namespace {
// One kind of picture: how the test makes it, the options its run takes beyond the watermark and
// the output folder, and what its copy must keep. `check` fails the test through QVERIFY and
// QCOMPARE; a case whose options name --watermark stamps that mark instead of the usual one.
struct FaithfulCase {
    const char* file; // the picture's name in the input folder
    std::function<void(const QString& path)> make;
    QStringList options;
    std::function<void(const QString& input, const QString& copy)> check;
};

QList<FaithfulCase> Cases() {
    return {
        {"sampling444.jpg",
         [](const QString& path) { writeFile(path, makeJpeg(photoLike(), 1, 1)); },
         {},
         [](const QString&, const QString& copy) {
             const JpegBlocksRead blocks = readJpegBlocks(copy);
             QCOMPARE(blocks.components.size(), size_t(3));
             QCOMPARE(blocks.components[0].h, 1);
             QCOMPARE(blocks.components[0].v, 1);
         }},
        // A wide-gamut picture keeps its profile, and a pure red mark lands as the same red in
        // the picture's colours.
        {"adobergb.jpg",
         [](const QString& path) {
             QImage grey(160, 120, QImage::Format_RGB32);
             grey.fill(qRgb(128, 128, 128));
             writeFile(path, withIccProfile(makeJpeg(grey, 1, 1, 95), adobeRgbProfile()));
             writeRedMarkBeside(path);
         },
         {"--quality", "100"},
         [](const QString&, const QString& copy) {
             const QByteArray adobe = adobeRgbProfile();
             QCOMPARE(PictureReader::open(copy)->metadata().icc, adobe);
             // The 24 rows of whole blocks inside the mark, at least, survive the JPEG coding.
             QVERIFY(pixelsNear(readWhole(copy), adobe, referenceColour(kPureRed, {}, adobe)) >=
                     24 * 40);
         }},
        {"displayp3.png",
         [](const QString& path) {
             QImage grey(160, 120, QImage::Format_RGB32);
             grey.fill(qRgb(128, 128, 128));
             writeFile(path, encoded(grey, PictureFormat::Png,
                                     MetadataOf({}, {}, {}, displayP3Profile())));
             writeRedMarkBeside(path);
         },
         {},
         [](const QString&, const QString& copy) {
             const QByteArray p3 = displayP3Profile();
             QCOMPARE(PictureReader::open(copy)->metadata().icc, p3);
             QCOMPARE(pixelsNear(readWhole(copy), p3, referenceColour(kPureRed, {}, p3)), 40 * 30);
         }},
        // A CMYK JPEG read through its profile comes out in sRGB, and says so.
        {"cmyk-profile.jpg",
         [](const QString& path) {
             writeFile(path, withIccProfile(makeJpeg(photoLike(), 1, 1, 95, JpegKind::AdobeCmyk),
                                            naiveCmykProfile()));
         },
         {"--format", "png"},
         [](const QString& input, const QString& copy) {
             const QByteArray profile = PictureReader::open(copy)->metadata().icc;
             QCOMPARE(int(KindOfProfile(profile)), int(ProfileKind::Rgb));
             QVERIFY(IsSrgbEquivalent(profile));
             // The profile gives the colours of Qt's naive reading, up to its table's steps.
             const double error = meanError(readWhole(copy), qtDecode(input, false));
             QVERIFY2(error < 2, qPrintable(QString::number(error)));
         }},
        {"cmyk-bare.jpg",
         [](const QString& path) {
             writeFile(path, makeJpeg(photoLike(), 1, 1, 95, JpegKind::AdobeCmyk));
         },
         {"--format", "png"},
         [](const QString&, const QString& copy) {
             QVERIFY(PictureReader::open(copy)->metadata().icc.isEmpty());
         }},
        // A profile that cannot be read says nothing true of the copy's pixels.
        {"broken-profile.jpg",
         [](const QString& path) {
             writeFile(path, withIccProfile(makeJpeg(photoLike(), 2, 2), QByteArray(300, 'x')));
         },
         {},
         [](const QString& input, const QString& copy) {
             QCOMPARE(PictureReader::open(input)->metadata().icc, QByteArray(300, 'x'));
             QVERIFY(PictureReader::open(copy)->metadata().icc.isEmpty());
         }},
    };
}
} // namespace

class TestFaithful : public QObject, CliFolders {
    Q_OBJECT

private slots:
    void init() { makeFolders(); }
    void copyKeepsWhatThePictureHolds_data();
    void copyKeepsWhatThePictureHolds();
};

void TestFaithful::copyKeepsWhatThePictureHolds_data() {
    QTest::addColumn<int>("index");
    const QList<FaithfulCase> cases = Cases();
    for (int i = 0; i < cases.size(); ++i)
        QTest::newRow(cases.at(i).file) << i;
}

void TestFaithful::copyKeepsWhatThePictureHolds() {
    QFETCH(int, index);
    const FaithfulCase row = Cases().at(index);
    const QString input = in(QString::fromLatin1(row.file));
    row.make(input);
    QStringList arguments = row.options.contains(QStringLiteral("--watermark"))
                                ? QStringList{"--output", out().chopped(1)}
                                : base();
    arguments << row.options << input;
    const ProcessResult run = RunCli(arguments);
    QVERIFY2(run.code == 0, qPrintable(run.errors));
    const QStringList copies = QDir(out()).entryList(QDir::Files, QDir::Name);
    QCOMPARE(copies.size(), 1);
    row.check(input, out(copies.front()));
}

QTEST_GUILESS_MAIN(TestFaithful)
#include "tst_faithful.moc"
