// Copies as faithful as their pictures: for pictures of every kind made here, the copy's colour
// profile, depth, frames, encoding and metadata against the picture's, through the command line.
#include "tests/clikit.h"
#include "tests/codecsamples.h"

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
        {"animated.gif",
         [](const QString& path) {
             // Three frames of their own delays, the second over part of the screen and cleared
             // (disposal 2) after it is shown.
             QList<GifFrameSample> frames;
             for (const auto& [rect, delay] : {std::pair{QRect(0, 0, 48, 32), 10},
                                               {QRect(8, 4, 20, 16), 35},
                                               {QRect(24, 12, 24, 20), 70}}) {
                 GifFrameSample frame;
                 frame.rect = rect;
                 frame.delay = delay;
                 frame.disposal = frames.size() == 1 ? 2 : 1;
                 frame.transparent = 0;
                 for (int y = 0; y < rect.height(); ++y)
                     for (int x = 0; x < rect.width(); ++x)
                         frame.indices.push_back(uchar(1 + (x / 3 + y / 2 + delay) % 3));
                 frames << frame;
             }
             writeFile(path, makeAnimatedGif(
                                 QSize(48, 32),
                                 {0, qRgb(240, 240, 240), qRgb(30, 90, 200), qRgb(200, 170, 20)},
                                 frames, 0));
         },
         {},
         [](const QString& input, const QString& copy) {
             const QtAnimation picture = qtFrames(input);
             const QtAnimation copied = qtFrames(copy);
             QCOMPARE(copied.frames.size(), 3);
             QCOMPARE(copied.delays, picture.delays);
             QCOMPARE(copied.loops, picture.loops);
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
