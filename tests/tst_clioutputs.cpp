// What a run of tintorel-cli does with the user's files, tried on real folders: outputs that are
// complete or absent, distinct names for same-named inputs, nothing stamped twice, the watermark
// and the inputs never written over, and a failed write that keeps the earlier file. Hostile
// inputs, truncated and special files among them, have a table of their own (tst_hostile).
#include "engine/io/picturereader.h"
#include "engine/io/picturewriter.h"
#include "engine/run/planner.h"
#include "tests/clikit.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {
// A picture no encoder can make small.
QImage Noise(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    quint32 state = 12345;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            state = state * 1664525u + 1013904223u;
            image.setPixel(x, y, state >> 8);
        }
    return image;
}
} // namespace

class TestCliOutputs : public QObject, public CliFolders {
    Q_OBJECT

private slots:
    void init();

    void sameNamedInputsGetTheirOwnOutputs();
    void namesFollowThePattern_data();
    void namesFollowThePattern();
    void aJpegKeepsItsChromaSampling_data();
    void aJpegKeepsItsChromaSampling();
    void aFileListedTwiceIsStampedOnce();
    void theWatermarkIsNeverWrittenOver();
    void theOutputFolderInsideAnInputIsLeftOut();
    void aFailedWriteKeepsTheEarlierFile();
    void aFileInPlaceOfAFolderFailsOnlyItsImages();
    void aFullDiskFailsTheWrite();
};

void TestCliOutputs::init() {
    makeFolders();
}

void TestCliOutputs::sameNamedInputsGetTheirOwnOutputs() {
    for (const char* folder : {"a", "b", "c"}) {
        QDir(dir_->path()).mkpath(QStringLiteral("in/") + folder);
        WriteImage(Gradient(60, 40, folder[0]), in(QStringLiteral("%1/1.png").arg(folder)), "png");
    }
    const QStringList inputs{in("a/1.png"), in("b/1.png"), in("c/1.png")};
    const ProcessResult first = RunCli(base() + inputs);
    QCOMPARE(first.code, 0);
    const QStringList names{"1 (2).png", "1 (3).png", "1.png"};
    QCOMPARE(AllFiles(out()), names);
    QVERIFY(first.errors.endsWith("3 written, 0 failed, 0 skipped\n"));
    // One line for each renamed output, in list order.
    const QStringList lines = first.errors.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[0].startsWith(in("b/1.png") + ": written as " + out("1 (2).png")));
    QVERIFY(lines[1].startsWith(in("c/1.png") + ": written as " + out("1 (3).png")));
    // Three different pictures, each from its own input.
    QCOMPARE(QImage(out("1.png")).pixel(30, 30), QImage(in("a/1.png")).pixel(30, 30));
    QCOMPARE(QImage(out("1 (2).png")).pixel(30, 30), QImage(in("b/1.png")).pixel(30, 30));
    QCOMPARE(QImage(out("1 (3).png")).pixel(30, 30), QImage(in("c/1.png")).pixel(30, 30));

    // A rerun of the same list gives the same names and replaces its own outputs.
    QCOMPARE(RunCli(base() + inputs).code, 0);
    QCOMPARE(AllFiles(out()), names);
}

void TestCliOutputs::namesFollowThePattern_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("names"); // of a.png (60 x 40) and b.png; none when refused
    QTest::newRow("place and name")
        << "{n:02}-{name}-web" << QStringList{"01-a-web.png", "02-b-web.png"};
    QTest::newRow("size, and a fallback") << "{name}-{width}x{height}-{artist|anon}"
                                          << QStringList{"a-60x40-anon.png", "b-60x40-anon.png"};
    QTest::newRow("one name for both") << "web" << QStringList{"web (2).png", "web.png"};
    QTest::newRow("a folder") << "x/{name}" << QStringList();
    QTest::newRow("an unknown variable") << "{nmae}" << QStringList();
}

void TestCliOutputs::namesFollowThePattern() {
    QFETCH(QString, pattern);
    QFETCH(QStringList, names);
    WriteImage(Gradient(60, 40, 1), in("a.png"), "png");
    WriteImage(Gradient(60, 40, 2), in("b.png"), "png");
    const ProcessResult run =
        RunCli(base() + QStringList{"--name", pattern, in("a.png"), in("b.png")});
    QCOMPARE(run.code, names.isEmpty() ? 2 : 0);
    QCOMPARE(AllFiles(out()), names);
    if (!names.isEmpty())
        QCOMPARE(QImage(out(names.last())).pixel(30, 30),
                 QImage(in(names.last().startsWith("web") ? "a.png" : "b.png")).pixel(30, 30));
}

void TestCliOutputs::aJpegKeepsItsChromaSampling_data() {
    QTest::addColumn<int>("h"); // the luminance's sampling against the chroma's
    QTest::addColumn<int>("v");
    QTest::newRow("4:4:4") << 1 << 1;
    QTest::newRow("4:2:2") << 2 << 1;
    QTest::newRow("4:2:0") << 2 << 2;
}

void TestCliOutputs::aJpegKeepsItsChromaSampling() {
    QFETCH(int, h);
    QFETCH(int, v);
    JpegTables sampling;
    sampling.hSampling = {h, 1, 1};
    sampling.vSampling = {v, 1, 1};
    QFile photo(in("photo.jpg"));
    QVERIFY(photo.open(QIODevice::WriteOnly));
    const QImage picture = Gradient(64, 48, 3).convertToFormat(QImage::Format_RGB32);
    WritePicture(picture, PictureFormat::Jpeg, photo, {90, {}, sampling, false}, {});
    photo.close();
    QCOMPARE(RunCli(base() + QStringList{"--quality", "80", in("photo.jpg")}).code, 0);
    const std::optional<JpegTables> kept = PictureReader::open(out("photo.jpg"))->jpegTables();
    QVERIFY(kept);
    QCOMPARE(kept->hSampling, sampling.hSampling);
    QCOMPARE(kept->vSampling, sampling.vSampling);
}

void TestCliOutputs::aFileListedTwiceIsStampedOnce() {
    QDir(dir_->path()).mkpath("in/photos");
    WriteImage(Gradient(50, 30, 1), in("photos/x.png"), "png");
    WriteImage(Gradient(50, 30, 2), in("photos/y.png"), "png");
    const ProcessResult result = RunCli(
        base() + QStringList{in("photos"), in("photos/x.png"), in("photos/../photos/y.png")});
    QCOMPARE(result.code, 0);
    QCOMPARE(AllFiles(out()), (QStringList{"x.png", "y.png"}));
    QVERIFY(result.errors.contains(in("photos/x.png") + ": already stamped in this run\n"));
    QVERIFY(result.errors.endsWith("2 written, 0 failed, 0 skipped\n"));
}

void TestCliOutputs::theWatermarkIsNeverWrittenOver() {
    // The watermark lies in the output folder, and an input has its name.
    QVERIFY(QFile::copy(in("mark.png"), out("logo.png")));
    WriteImage(Gradient(60, 40, 3), in("logo.png"), "png");
    WriteImage(Gradient(60, 40, 4), in("after.png"), "png");
    const QByteArray before = Contents(out("logo.png"));
    const ProcessResult result = RunCli({"--watermark", out("logo.png"), "--output",
                                         out().chopped(1), in("logo.png"), in("after.png")});
    QCOMPARE(result.code, 1);
    QCOMPARE(Contents(out("logo.png")), before);
    QVERIFY(result.errors.startsWith(kWouldReplaceWatermarkMessage + out("logo.png")));
    // The later image got the real watermark, not a stamped copy of the first image.
    QCOMPARE(QImage(out("after.png")).pixel(5, 5), qRgb(220, 20, 20));
}

void TestCliOutputs::theOutputFolderInsideAnInputIsLeftOut() {
    WriteImage(Gradient(60, 40, 5), in("p.png"), "png");
    const QStringList arguments{"--watermark", in("mark.png"), "--output",           in("stamped"),
                                "--extension", "png",          dir_->filePath("in/")};
    QVERIFY(QDir().mkpath(in("stamped")));
    for (int round = 0; round < 2; ++round) {
        const ProcessResult result = RunCli(arguments);
        QCOMPARE(result.code, 0);
        QCOMPARE(AllFiles(in("stamped")), (QStringList{"mark.png", "p.png"}));
    }
}

void TestCliOutputs::aFailedWriteKeepsTheEarlierFile() {
    // A file-size limit fails the write part way, as a full disk does, on any file system.
    WriteImage(Noise(200, 150), in("big.png"), "png");
    WriteImage(Gradient(4, 3, 9), out("big.png"), "png");
    const QByteArray before = Contents(out("big.png"));
    const ProcessResult result =
        RunProcess("prlimit", QStringList{"--fsize=20000", kCli} + base() +
                                  QStringList{"--existing", "replace", in("big.png")});
    QCOMPARE(result.code, 1);
    QCOMPARE(result.errors.split('\n').first(), out("big.png") + ": File too large");
    QVERIFY(result.errors.endsWith("0 written, 1 failed, 0 skipped\n"));
    QCOMPARE(Contents(out("big.png")), before);
    QCOMPARE(AllFiles(out()), QStringList{"big.png"});
}

void TestCliOutputs::aFileInPlaceOfAFolderFailsOnlyItsImages() {
    QDir(dir_->path()).mkpath("in/tree/a");
    QDir(dir_->path()).mkpath("in/tree/b");
    WriteImage(Gradient(40, 30, 11), in("tree/a/1.png"), "png");
    WriteImage(Gradient(40, 30, 12), in("tree/b/2.png"), "png");
    QFile blocker(out("a"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const ProcessResult result = RunCli(base() + QStringList{"--keep-tree", in("tree")});
    QCOMPARE(result.code, 1);
    QCOMPARE(result.errors, out("a/1.png") + ": cannot create the folder " + out("a") +
                                ": Not a directory\n1 written, 1 failed, 0 skipped\n");
    QVERIFY(QFile::exists(out("b/2.png")));
}

void TestCliOutputs::aFullDiskFailsTheWrite() {
    // A small file system of its own, mounted in a mount namespace that ends with the script.
    WriteImage(Noise(200, 150), in("big.png"), "png");
    WriteImage(Gradient(4, 3, 10), in("earlier.png"), "png");
    const QString script =
        QStringLiteral("mount -t tmpfs -o size=64k tmpfs '%1' || exit 77; cp '%2' '%1/big.png'; "
                       "head -c 30000 /dev/zero > '%1/filler'; '%3' --watermark '%4' --output '%1' "
                       "--existing replace '%5'; "
                       "echo \"exit $?\"; ls -a '%1'; cmp -s '%2' '%1/big.png' && echo unchanged")
            .arg(out().chopped(1), in("earlier.png"), kCli, in("mark.png"), in("big.png"));
    const ProcessResult result = RunProcess("unshare", {"-m", "sh", "-c", script});
    if (result.code == 77 || result.code == -1 || result.output.isEmpty())
        QSKIP("a small file system cannot be mounted here (needs a mount namespace and tmpfs)");
    QVERIFY2(result.output.contains("exit 1\n"), qPrintable(result.output + result.errors));
    QVERIFY(result.errors.startsWith(out("big.png") + ": No space left on device\n"));
    QCOMPARE(result.output.split('\n').filter(QRegularExpression("^\\.[^.]")), QStringList());
    QVERIFY(result.output.contains("unchanged"));
}

QTEST_GUILESS_MAIN(TestCliOutputs)
#include "tst_clioutputs.moc"
