// A run of tintorel-cli killed with SIGKILL, which no program can catch, at several moments of a
// 50-image run: after its first output, in the middle, near the end and at random times. Whatever
// the moment, every file in the output folder is a complete copy that decodes to its last row,
// nothing else is there (no temporary file, no part of a file), and a run started again with
// --update finishes the set. A copy's name is made durable by syncing its folder, and the whole
// hidden copies a kill between the two steps of a replacement leaves are removed later.
#include "engine/io/picture.h"
#include "tests/codecsamples.h"
#include "tests/testkit.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <QRegularExpression>
#include <QStandardPaths>

#include <csignal>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
const QString kCli = QStringLiteral(TINTOREL_BIN_DIR "/tintorel-cli");
constexpr int kImages = 50;
const QSize kPictureSize(640, 400);

// Every entry of a folder, hidden ones and folders included.
QStringList Entries(const QString& folder) {
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}
} // namespace

class TestCrashSafety : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void killedRunLeavesOnlyWholeFiles_data();
    void killedRunLeavesOnlyWholeFiles();
    void folderIsSyncedOnceCopyHasItsName_data();
    void folderIsSyncedOnceCopyHasItsName();
    void abandonedHiddenCopiesAreRemoved();

private:
    QStringList command() const;
    void checkOutputs(int& complete) const;
    QString out(const QString& name = {}) const { return dir_->filePath("out/" + name); }

    QTemporaryDir inputs_;
    QStringList paths_;
    QStringList outputNames_;
    std::unique_ptr<QTemporaryDir> dir_;
};

// Both ways through the engine: JPEG and PNG by rows, GIF and BMP held whole.
void TestCrashSafety::initTestCase() {
    const QImage photo = photoLike(kPictureSize.width(), kPictureSize.height());
    const QList<std::pair<QString, QByteArray>> kinds = {
        {"jpg", makeJpeg(photo, 2, 2)},
        {"png", encoded(photo, PictureFormat::Png)},
        {"gif", encoded(photo.convertToFormat(QImage::Format_Indexed8), PictureFormat::Gif)},
        {"bmp", encoded(photo, PictureFormat::Bmp)},
    };
    for (int i = 0; i < kImages; ++i) {
        const auto& [extension, bytes] = kinds[i % kinds.size()];
        const QString name =
            QStringLiteral("p%1.%2").arg(i, 2, 10, QLatin1Char('0')).arg(extension);
        paths_ << inputs_.filePath(name);
        outputNames_ << name;
        writeFile(paths_.last(), bytes);
    }
    QImage mark = SolidImage(40, 20, qRgb(255, 255, 255));
    mark.fill(qRgb(20, 20, 200));
    WriteImage(mark, inputs_.filePath("mark.png"), "png");
}

void TestCrashSafety::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir(dir_->path()).mkpath("out"));
}

QStringList TestCrashSafety::command() const {
    return QStringList{"--watermark", inputs_.filePath("mark.png"),
                       "--output",    out().chopped(1),
                       "--jobs",      "2",
                       "--quiet"} +
           paths_;
}

// Every entry is the copy of an input, whole; complete tells how many there are.
void TestCrashSafety::checkOutputs(int& complete) const {
    const QStringList entries = Entries(out());
    for (const QString& name : entries) {
        QVERIFY2(outputNames_.contains(name), qPrintable(name + " is no output of the run"));
        QImage decoded;
        const QString failure = failureOf([&] { decoded = readWhole(out(name)); });
        QVERIFY2(failure.isEmpty(), qPrintable(name + ": " + failure));
        QCOMPARE(decoded.size(), kPictureSize);
    }
    complete = int(entries.size());
}

void TestCrashSafety::killedRunLeavesOnlyWholeFiles_data() {
    QTest::addColumn<int>("afterOutputs"); // kill once this many outputs are there; 0: after delay
    QTest::addColumn<int>("delayMs");
    for (int outputs : {1, 10, 25, 45})
        QTest::addRow("after %d outputs", outputs) << outputs << 0;
    // Any moment at all, the start among them: the delays are in the log, to try one again.
    for (int i = 0; i < 4; ++i) {
        const int delay = i == 0 ? 0 : int(QRandomGenerator::global()->bounded(1000));
        QTest::addRow("after %d ms", delay) << 0 << delay;
    }
}

void TestCrashSafety::killedRunLeavesOnlyWholeFiles() {
    QFETCH(int, afterOutputs);
    QFETCH(int, delayMs);
    QProcess run;
    run.start(kCli, command());
    QVERIFY(run.waitForStarted());
    QElapsedTimer timer;
    timer.start();
    constexpr int kGiveUpMs = 120000;
    while (run.state() == QProcess::Running && timer.elapsed() < kGiveUpMs &&
           (afterOutputs > 0 ? Entries(out()).size() < afterOutputs : timer.elapsed() < delayMs))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // A run that ended already has no process to kill: its id is 0, which would name this test's
    // own process group.
    if (const qint64 pid = run.processId(); pid > 0)
        ::kill(pid_t(pid), SIGKILL);
    QVERIFY(run.waitForFinished(30000));
    int complete = 0;
    checkOutputs(complete);
    qInfo("killed with %d of %d outputs complete", complete, kImages);
    if (afterOutputs > 0)
        QVERIFY(complete >= afterOutputs);

    // Started again, the run does what was left and finishes the set.
    const ProcessResult again = RunProcess(kCli, command() + QStringList{"--update"}, {}, 120000);
    QVERIFY2(again.code == 0, qPrintable(again.errors));
    checkOutputs(complete);
    QCOMPARE(complete, kImages);
}

void TestCrashSafety::folderIsSyncedOnceCopyHasItsName_data() {
    QTest::addColumn<bool>("replacing");
    QTest::newRow("a new copy, linked to its name") << false;
    QTest::newRow("a copy replacing an earlier one, renamed") << true;
}

// The system calls of the run, in order: after the call that gives the copy its name, the
// output folder is opened and synced.
void TestCrashSafety::folderIsSyncedOnceCopyHasItsName() {
    QFETCH(bool, replacing);
    const QString strace = QStandardPaths::findExecutable("strace");
    if (strace.isEmpty())
        QSKIP("strace is not installed (scripts/install-deps.sh installs it)");
    const QStringList run{kCli,          "--watermark",    inputs_.filePath("mark.png"),
                          "--output",    out().chopped(1), "--quiet",
                          paths_.first()};
    if (replacing)
        QCOMPARE(RunProcess(kCli, run.mid(1)).code, 0);
    const QString trace = dir_->filePath("trace.txt");
    const ProcessResult traced = RunProcess(
        strace,
        QStringList{"-f", "-qq", "-o", trace, "-e",
                    "trace=openat,fsync,fdatasync,link,linkat,rename,renameat,renameat2",
                    // The leak checker of an instrumented build cannot work under a tracer.
                    "-E",
                    "ASAN_OPTIONS=" + qEnvironmentVariable("ASAN_OPTIONS") + ":detect_leaks=0"} +
            run);
    QVERIFY2(traced.code == 0, qPrintable(traced.errors));
    const QStringList calls = QString::fromUtf8(Contents(trace)).split('\n');
    const QString target = out(outputNames_.first());
    const auto named = std::find_if(calls.begin(), calls.end(), [&](const QString& call) {
        return (call.contains(" link") || call.contains(" rename")) &&
               call.contains('"' + target + '"') && call.endsWith("= 0");
    });
    QVERIFY2(named != calls.end(), qPrintable(calls.join('\n')));
    const QRegularExpression openFolder(
        QStringLiteral("openat\\(AT_FDCWD, \"%1\", O_RDONLY[^)]*O_DIRECTORY[^)]*\\) = (\\d+)")
            .arg(QRegularExpression::escape(out().chopped(1))));
    QString folderFd;
    bool synced = false;
    for (auto call = named; call != calls.end() && !synced; ++call) {
        if (const QRegularExpressionMatch match = openFolder.match(*call); match.hasMatch())
            folderFd = match.captured(1);
        synced = !folderFd.isEmpty() && call->contains("fsync(" + folderFd + ")") &&
                 call->endsWith("= 0");
    }
    QVERIFY2(synced, qPrintable(calls.join('\n')));
}

// A kill between linking the hidden name and the rename leaves a whole copy under that name;
// the next copy written to that target removes it, but never a copy another run still holds,
// nor a name that is not the program's own for that target.
void TestCrashSafety::abandonedHiddenCopiesAreRemoved() {
    const QString target = outputNames_.first();
    const QStringList kept{"." + target + ".tintorel-inuse7", "." + target + ".tintorel-ABC",
                           "." + outputNames_.at(1) + ".tintorel-k2x9q", target + ".tintorel-k2x9q",
                           "." + target + ".tintorel-k2x9q.part"};
    const QString abandoned = "." + target + ".tintorel-k2x9q";
    for (const QString& name : kept + QStringList{abandoned})
        writeFile(out(name), "a whole copy");
    // Another run, still between its link and its rename, holds its copy locked.
    const int inUse = ::open(QFile::encodeName(out(kept.first())).constData(), O_RDONLY);
    QVERIFY(inUse >= 0 && ::flock(inUse, LOCK_SH) == 0);
    const ProcessResult run =
        RunProcess(kCli, QStringList{"--watermark", inputs_.filePath("mark.png"), "--output",
                                     out().chopped(1), "--quiet", paths_.first()});
    ::close(inUse);
    QVERIFY2(run.code == 0, qPrintable(run.errors));
    QStringList expected = kept + QStringList{target};
    expected.sort();
    QCOMPARE(Entries(out()), expected);
}

QTEST_GUILESS_MAIN(TestCrashSafety)
#include "tst_crashsafety.moc"
