// Animated GIFs made with giflib, stamped through the command line: every frame of the copy, as
// Qt's own decoder shows it, is the picture's frame with the mark where it lands.
#include "tests/clikit.h"
#include "tests/codecsamples.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <gif_lib.h>

namespace {
const QList<QRgb> kColors = {qRgb(0, 0, 0),       qRgb(250, 250, 250), qRgb(200, 30, 30),
                             qRgb(30, 160, 60),   qRgb(40, 60, 200),   qRgb(230, 210, 40),
                             qRgb(128, 128, 128), qRgb(180, 50, 160)};

GifFrameSample frameOf(QRect rect, int delay, int disposal, int transparent,
                       const std::function<int(int x, int y)>& index) {
    GifFrameSample frame;
    frame.rect = rect;
    frame.delay = delay;
    frame.disposal = disposal;
    frame.transparent = transparent;
    for (int y = 0; y < rect.height(); ++y)
        for (int x = 0; x < rect.width(); ++x)
            frame.indices.push_back(uchar(index(x, y)));
    return frame;
}

// Transparent corners and a see-through frame, interlaced, cleared to nothing after it is shown:
// the last frame has hidden pixels where the one before it showed colours.
QByteArray clearedAnimation() {
    GifFrameSample second = frameOf(QRect(15, 10, 20, 14), 25, DISPOSE_BACKGROUND, 0,
                                    [](int x, int y) { return x % 4 == 0 ? 0 : 2 + (x + y) % 3; });
    second.interlaced = true;
    return makeAnimatedGif(
        QSize(60, 40), kColors,
        {frameOf(QRect(0, 0, 60, 40), 10, DISPOSE_DO_NOT, 0,
                 [](int x, int y) { return x < 10 && y < 8 ? 0 : 1 + (x / 6 + y / 5) % 6; }),
         second,
         frameOf(QRect(30, 20, 30, 20), 50, DISPOSAL_UNSPECIFIED, 0,
                 [](int x, int) { return 5 + x % 3; })},
        0);
}

// No transparency; a frame in colours of its own taken away again after it is shown; played once.
QByteArray restoredAnimation() {
    GifFrameSample second = frameOf(QRect(5, 5, 25, 20), 20, DISPOSE_PREVIOUS, -1,
                                    [](int x, int y) { return (x * y) % 4; });
    second.localColors = {qRgb(10, 200, 200), qRgb(90, 40, 20), qRgb(255, 140, 0),
                          qRgb(60, 60, 60)};
    return makeAnimatedGif(QSize(60, 40), kColors,
                           {frameOf(QRect(0, 0, 60, 40), 5, DISPOSE_DO_NOT, -1,
                                    [](int x, int y) { return (x / 5 + y / 4) % 8; }),
                            second,
                            frameOf(QRect(20, 15, 30, 20), 70, DISPOSE_DO_NOT, -1,
                                    [](int x, int y) { return 1 + (x + 2 * y) % 7; })},
                           -1);
}

// The rectangles of a GIF's frames as its file stores them.
QList<QRect> storedRects(const QString& path) {
    int error = 0;
    GifFileType* gif = DGifOpenFileName(path.toLocal8Bit().constData(), &error);
    if (!gif || DGifSlurp(gif) != GIF_OK)
        return {};
    QList<QRect> rects;
    for (int i = 0; i < gif->ImageCount; ++i) {
        const GifImageDesc& desc = gif->SavedImages[i].ImageDesc;
        rects << QRect(desc.Left, desc.Top, desc.Width, desc.Height);
    }
    DGifCloseFile(gif, &error);
    return rects;
}
} // namespace

class TestGifFrames : public QObject, CliFolders {
    Q_OBJECT

private slots:
    void init() { makeFolders(); }
    void everyFrameIsStampedAndKeepsItsTime_data();
    void everyFrameIsStampedAndKeepsItsTime();
    void otherFormatsTakeTheFirstFrame();
    void memoryBudgetCountsWhatTheFramesHold();

private:
    // Each frame as Qt shows it, stamped as a picture of its own with the same options.
    QList<QImage> stampedOneByOne(const QList<QImage>& frames, const QStringList& options);
};

QList<QImage> TestGifFrames::stampedOneByOne(const QList<QImage>& frames,
                                             const QStringList& options) {
    const QString folder = dir_->filePath(QStringLiteral("frames"));
    QDir().mkpath(folder + QStringLiteral("/out"));
    QStringList arguments{"--watermark",   in("mark.png"), "--output",
                          folder + "/out", "--format",     "png"};
    for (int i = 0; i < frames.size(); ++i) {
        const QString path = folder + QStringLiteral("/frame%1.png").arg(i);
        WriteImage(frames.at(i), path, "png");
        arguments << path;
    }
    const ProcessResult run = RunCli(arguments + options);
    if (run.code != 0)
        qWarning("%s", qPrintable(run.errors));
    QList<QImage> stamped;
    for (int i = 0; i < frames.size(); ++i)
        stamped << asGifShowsIt(QImage(folder + QStringLiteral("/out/frame%1.png").arg(i)));
    return stamped;
}

void TestGifFrames::everyFrameIsStampedAndKeepsItsTime_data() {
    QTest::addColumn<QByteArray>("gif");
    QTest::addColumn<QStringList>("options");
    const QStringList middle{"--placement", "middle-middle"};
    QTest::newRow("transparent, cleared, looping") << clearedAnimation() << middle;
    QTest::newRow("opaque, restored, played once") << restoredAnimation() << middle;
    QTest::newRow("a mark over the whole screen")
        << clearedAnimation() << QStringList{"--scale", "1", "--opacity", "60"};
}

void TestGifFrames::everyFrameIsStampedAndKeepsItsTime() {
    QFETCH(QByteArray, gif);
    QFETCH(QStringList, options);
    writeFile(in("moving.gif"), gif);
    const ProcessResult run = RunCli(base() + options + QStringList{in("moving.gif")});
    QVERIFY2(run.code == 0, qPrintable(run.errors));
    QVERIFY2(!run.output.contains("first frame") && !run.errors.contains("first frame"),
             qPrintable(run.output));

    const QtAnimation picture = qtFrames(in("moving.gif"));
    const QtAnimation copy = qtFrames(out("moving.gif"));
    QCOMPARE(picture.frames.size(), 3);
    QCOMPARE(copy.frames.size(), 3);
    QCOMPARE(copy.delays, picture.delays);
    QCOMPARE(copy.loops, picture.loops);
    QCOMPARE(Contents(out("moving.gif")).contains("NETSCAPE2.0"), gif.contains("NETSCAPE2.0"));

    const QList<QImage> expected = stampedOneByOne(picture.frames, options);
    for (int i = 0; i < 3; ++i)
        QVERIFY2(asGifShowsIt(copy.frames.at(i)) == expected.at(i),
                 qPrintable(QStringLiteral("frame %1").arg(i)));
    // What stays the same from frame to frame is stored once.
    const QList<QRect> rects = storedRects(out("moving.gif"));
    QCOMPARE(rects.size(), 3);
    for (int i = 1; i < 3; ++i)
        QVERIFY2(rects.at(i).width() * rects.at(i).height() < 60 * 40,
                 qPrintable(QStringLiteral("frame %1 stored whole").arg(i)));
}

void TestGifFrames::otherFormatsTakeTheFirstFrame() {
    writeFile(in("moving.gif"), clearedAnimation());
    const ProcessResult run = RunCli(
        base() + QStringList{"--format", "png", "--placement", "middle-middle", in("moving.gif")});
    QVERIFY2(run.code == 0, qPrintable(run.errors));
    QVERIFY2((run.output + run.errors)
                 .contains("stamped its first frame alone: an animated picture of 3 frames"),
             qPrintable(run.output + run.errors));
    const QtAnimation picture = qtFrames(in("moving.gif"));
    const QList<QImage> expected =
        stampedOneByOne({picture.frames.front()}, {"--placement", "middle-middle"});
    QCOMPARE(asGifShowsIt(QImage(out("moving.png"))), expected.front());
}

// A copy of all the frames holds several screens at once (the composed one, the writer's), a
// copy of the first frame one: a budget between the two takes the one and refuses the other.
void TestGifFrames::memoryBudgetCountsWhatTheFramesHold() {
    const QRect screen(0, 0, 1000, 1000);
    const auto stripes = [](int x, int) {
        return x / 100 % 4;
    };
    writeFile(in("large.gif"),
              makeAnimatedGif(screen.size(), kColors,
                              {frameOf(screen, 10, DISPOSE_DO_NOT, -1, stripes),
                               frameOf(QRect(0, 0, 8, 8), 10, DISPOSE_DO_NOT, -1, stripes)},
                              0));
    const QStringList budget{"--memory-limit", "24M", in("large.gif")};
    const ProcessResult first = RunCli(base() + budget + QStringList{"--format", "png"});
    QVERIFY2(first.code == 0, qPrintable(first.errors));
    const ProcessResult all = RunCli(base() + budget + QStringList{"--format", "gif"});
    QCOMPARE(all.code, 1);
    QVERIFY2(all.errors.contains("picture too large for the memory budget: 1000 x 1000 pixels"),
             qPrintable(all.errors));
}

QTEST_GUILESS_MAIN(TestGifFrames)
#include "tst_gifframes.moc"
