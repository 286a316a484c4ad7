// What a run does with the user's files, tried on real folders through tintorel-cli: outputs that
// are complete or absent, distinct names for same-named inputs, nothing stamped twice, the
// watermark and the inputs never written over, a special file as the watermark refused, messages
// that name the right file and the real cause, and the same result for any number of workers.
// Hostile inputs, truncated and special files among them, have a table of their own (tst_hostile).
#include "engine/run/batch.h"
#include "engine/run/planner.h"
#include "engine/io/picture.h"
#include "engine/run/writer.h"
#include "tests/testkit.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString kCli = QStringLiteral(TINTOREL_BIN_DIR "/tintorel-cli");

// Every file of a folder, hidden ones included, so that a temporary file left behind shows.
QStringList AllFiles(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

QImage Gradient(int width, int height, int seed) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb((x * 3 + seed * 40) % 256, (y * 5) % 256, (x + y + seed) % 256));
    return image;
}

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

class TestCliRun : public QObject {
    Q_OBJECT

private slots:
    void init();

    void sameNamedInputsGetTheirOwnOutputs();
    void aFileListedTwiceIsStampedOnce();
    void theWatermarkIsNeverWrittenOver();
    void theOutputFolderInsideAnInputIsLeftOut();
    void aSpecialFileAsTheWatermarkIsRefusedAtOnce();
    void messagesNameTheFileAndTheCause();
    void aFailedWriteKeepsTheEarlierFile();
    void aFileInPlaceOfAFolderFailsOnlyItsImages();
    void aFullDiskFailsTheWrite();
    void anyNumberOfWorkersGivesTheSameRun();
    void aSignalStopsAfterTheImagesInHand();

private:
    QString in(const QString& name) const { return dir_->filePath("in/" + name); }
    QString out(const QString& name = {}) const { return dir_->filePath("out/" + name); }
    QStringList base() const { return {"--watermark", in("mark.png"), "--output", out().chopped(1)}; }
    ProcessResult run(const QStringList& arguments) const { return RunProcess(kCli, arguments); }
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestCliRun::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QDir(dir_->path()).mkpath("in");
    QDir(dir_->path()).mkpath("out");
    QImage mark(12, 8, QImage::Format_RGB32);
    mark.fill(qRgb(255, 255, 255));
    for (int x = 2; x < 10; ++x)
        mark.setPixel(x, 4, qRgb(220, 20, 20));
    WriteImage(mark, in("mark.png"), "png");
}

void TestCliRun::sameNamedInputsGetTheirOwnOutputs() {
    for (const char* folder : {"a", "b", "c"}) {
        QDir(dir_->path()).mkpath(QStringLiteral("in/") + folder);
        WriteImage(Gradient(60, 40, folder[0]), in(QStringLiteral("%1/1.png").arg(folder)), "png");
    }
    const QStringList inputs{in("a/1.png"), in("b/1.png"), in("c/1.png")};
    const ProcessResult first = run(base() + inputs);
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
    QCOMPARE(run(base() + inputs).code, 0);
    QCOMPARE(AllFiles(out()), names);
}

void TestCliRun::aFileListedTwiceIsStampedOnce() {
    QDir(dir_->path()).mkpath("in/photos");
    WriteImage(Gradient(50, 30, 1), in("photos/x.png"), "png");
    WriteImage(Gradient(50, 30, 2), in("photos/y.png"), "png");
    const ProcessResult result = run(base() + QStringList{in("photos"), in("photos/x.png"),
                                                          in("photos/../photos/y.png")});
    QCOMPARE(result.code, 0);
    QCOMPARE(AllFiles(out()), (QStringList{"x.png", "y.png"}));
    QVERIFY(result.errors.contains(in("photos/x.png") + ": already stamped in this run\n"));
    QVERIFY(result.errors.endsWith("2 written, 0 failed, 0 skipped\n"));
}

void TestCliRun::theWatermarkIsNeverWrittenOver() {
    // The watermark lies in the output folder, and an input has its name.
    QVERIFY(QFile::copy(in("mark.png"), out("logo.png")));
    WriteImage(Gradient(60, 40, 3), in("logo.png"), "png");
    WriteImage(Gradient(60, 40, 4), in("after.png"), "png");
    const QByteArray before = Contents(out("logo.png"));
    const ProcessResult result = run({"--watermark", out("logo.png"), "--output", out().chopped(1),
                                      in("logo.png"), in("after.png")});
    QCOMPARE(result.code, 1);
    QCOMPARE(Contents(out("logo.png")), before);
    QVERIFY(result.errors.startsWith(kWouldReplaceWatermarkMessage + out("logo.png")));
    // The later image got the real watermark, not a stamped copy of the first image.
    QCOMPARE(QImage(out("after.png")).pixel(5, 5), qRgb(220, 20, 20));
}

void TestCliRun::theOutputFolderInsideAnInputIsLeftOut() {
    WriteImage(Gradient(60, 40, 5), in("p.png"), "png");
    const QStringList arguments{"--watermark", in("mark.png"), "--output", in("stamped"),
                                "--extension", "png", dir_->filePath("in/")};
    QVERIFY(QDir().mkpath(in("stamped")));
    for (int round = 0; round < 2; ++round) {
        const ProcessResult result = run(arguments);
        QCOMPARE(result.code, 0);
        QCOMPARE(AllFiles(in("stamped")), (QStringList{"mark.png", "p.png"}));
    }
}

// Special files as inputs are rows of the hostile inputs' table; as the watermark, a FIFO stops
// the run before it starts, without waiting on the pipe.
void TestCliRun::aSpecialFileAsTheWatermarkIsRefusedAtOnce() {
    QVERIFY(::mkfifo(QFile::encodeName(in("pipe.png")).constData(), 0644) == 0);
    WriteImage(Gradient(40, 30, 7), in("fine.png"), "png");
    const ProcessResult watermark = RunProcess(
        kCli, {"--watermark", in("pipe.png"), "--output", out().chopped(1), in("fine.png")}, {},
        20000);
    QCOMPARE(watermark.code, 2);
    QCOMPARE(watermark.errors, "tintorel-cli: " + in("pipe.png") + ": not a regular file\n");
}

void TestCliRun::messagesNameTheFileAndTheCause() {
    WriteImage(Gradient(40, 30, 8), in("fine.png"), "png");
    const ProcessResult missing = run(base() + QStringList{in("gone.png")});
    QCOMPARE(missing.errors.split('\n').first(), in("gone.png") + ": No such file or directory");

    QFile junk(in("junk.png"));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write("no picture here");
    junk.close();
    const ProcessResult badMark =
        run({"--watermark", in("junk.png"), "--output", out().chopped(1), in("fine.png")});
    QCOMPARE(badMark.code, 2);
    QCOMPARE(badMark.errors.count('\n'), 1);
    QVERIFY(badMark.errors.startsWith("tintorel-cli: " + in("junk.png") + ": "));

    // An unreadable watermark, as a user who may not read it (root reads everything); an
    // unreadable input is a row of the hostile inputs' table.
    const auto mode = [](const QString& path, mode_t bits) {
        QVERIFY(::chmod(QFile::encodeName(path).constData(), bits) == 0);
    };
    mode(dir_->path(), 0755);
    mode(in(""), 0755);
    mode(out(), 0777);
    mode(in("fine.png"), 0644);
    mode(in("mark.png"), 0200);
    const bool root = ::geteuid() == 0;
    const QString program = root ? QStringLiteral("setpriv") : kCli;
    const QStringList asUser =
        root ? QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", kCli} : QStringList{};
    const ProcessResult deniedMark =
        RunProcess(program, asUser + base() + QStringList{in("fine.png")});
    QCOMPARE(deniedMark.code, 2);
    QCOMPARE(deniedMark.errors, "tintorel-cli: " + in("mark.png") + ": Permission denied\n");
}

void TestCliRun::aFailedWriteKeepsTheEarlierFile() {
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

void TestCliRun::aFileInPlaceOfAFolderFailsOnlyItsImages() {
    QDir(dir_->path()).mkpath("in/tree/a");
    QDir(dir_->path()).mkpath("in/tree/b");
    WriteImage(Gradient(40, 30, 11), in("tree/a/1.png"), "png");
    WriteImage(Gradient(40, 30, 12), in("tree/b/2.png"), "png");
    QFile blocker(out("a"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const ProcessResult result = run(base() + QStringList{"--keep-tree", in("tree")});
    QCOMPARE(result.code, 1);
    QCOMPARE(result.errors, out("a/1.png") + ": cannot create the folder " + out("a") +
                                ": Not a directory\n1 written, 1 failed, 0 skipped\n");
    QVERIFY(QFile::exists(out("b/2.png")));
}

void TestCliRun::aFullDiskFailsTheWrite() {
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

void TestCliRun::anyNumberOfWorkersGivesTheSameRun() {
    QDir(dir_->path()).mkpath("in/a");
    QStringList inputs;
    for (int i = 0; i < 8; ++i) {
        const QString name = QStringLiteral("%1.%2").arg(i % 3).arg(i % 2 ? "png" : "jpg");
        const QString path = in((i < 4 ? "" : "a/") + name);
        if (i % 2)
            WriteImage(Gradient(120 + i * 7, 90, i), path, "png");
        else
            WriteImage(Gradient(120 + i * 7, 90, i), path, "jpeg");
        inputs << path;
    }
    inputs.insert(3, in("missing.png"));
    inputs << inputs.first();
    QMap<QString, QByteArray> reference;
    QString referenceErrors;
    for (const char* jobs : {"1", "2", "4"}) {
        QDir(out()).removeRecursively();
        QDir().mkpath(out());
        const ProcessResult result =
            run(base() + QStringList{"--format", "auto", "--placement", "4", "--jobs", jobs} + inputs);
        QCOMPARE(result.code, 1);
        QMap<QString, QByteArray> files;
        for (const QString& name : AllFiles(out()))
            files[name] = Contents(out(name));
        if (reference.isEmpty()) {
            reference = files;
            referenceErrors = result.errors;
            QCOMPARE(files.size(), 8);
            continue;
        }
        QCOMPARE(result.errors, referenceErrors);
        QVERIFY2(files == reference, jobs);
    }
}

void TestCliRun::aSignalStopsAfterTheImagesInHand() {
    QStringList inputs;
    for (int i = 0; i < 40; ++i) {
        inputs << in(QStringLiteral("p%1.png").arg(i, 2, 10, QLatin1Char('0')));
        WriteImage(Gradient(1200, 900, i), inputs.last(), "png");
    }
    QProcess process;
    process.start(kCli, base() + QStringList{"--jobs", "2"} + inputs);
    QVERIFY(process.waitForStarted());
    // Once the first outputs are there, the run is in the middle of its work.
    QTRY_VERIFY_WITH_TIMEOUT(AllFiles(out()).size() >= 2, 30000);
    ::kill(pid_t(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 130);
    const QString errors = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(errors.contains(" written, 0 failed, 0 skipped\n"), qPrintable(errors));
    const QStringList written = AllFiles(out());
    QVERIFY(written.size() < inputs.size());
    QVERIFY(errors.endsWith(QStringLiteral("%1 written, 0 failed, 0 skipped\n").arg(written.size())));
    for (const QString& name : written) {
        QVERIFY2(!name.startsWith('.'), qPrintable(name));
        QImageReader reader(out(name));
        QVERIFY2(reader.read().size() == QSize(1200, 900), qPrintable(name));
    }
}

QTEST_GUILESS_MAIN(TestCliRun)
#include "tst_clirun.moc"
