// A run of tintorel-cli killed with SIGKILL, which no program can catch, at several moments of a
// 50-image run: after its first output, in the middle, near the end and at random times. Whatever
// the moment, every file in the output folder is a complete copy that decodes to its last row,
// nothing else is there (no temporary file, no part of a file), and a run started again with
// --update finishes the set.
#include "engine/io/picture.h"
#include "tests/codecsamples.h"
#include "tests/testkit.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <thread>

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

QTEST_GUILESS_MAIN(TestCrashSafety)
#include "tst_crashsafety.moc"
