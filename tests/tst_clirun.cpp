// A run of tintorel-cli as a process, as scripts run it: exit codes and the summary, runs that
// cannot start, messages that name the right file and the real cause, the progress display, the
// same result for any number of workers, a stop by signal, and output identical to the window's
// run. What a run does with the user's files is in tst_clioutputs.
#include "engine/run/batch.h"
#include "filelist/imagelist.h"
#include "options/colorswatch.h"
#include "options/optionspanel.h"
#include "tests/clikit.h"
#include "tests/windowkit.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

class TestCliRun : public WindowTest, public CliFolders {
    Q_OBJECT

private slots:
    void init();

    void checksExitWithTwo_data();
    void checksExitWithTwo();
    void everythingWrittenExitsWithZero();
    void failuresAndSkipsExitWithOne();
    void aSpecialFileAsTheWatermarkIsRefusedAtOnce();
    void messagesNameTheFileAndTheCause();
    void progressOnlyOnATerminal();
    void anyNumberOfWorkersGivesTheSameRun();
    void aSignalStopsAfterTheImagesInHand();
    void sameFilesAsTheWindowsRun();
};

void TestCliRun::init() {
    makeFolders();
}

void TestCliRun::checksExitWithTwo_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("no inputs") << QStringList{"--watermark", "/nowhere.png", "--output", "NEW"}
                               << kNoFilesMessage;
    QTest::newRow("missing watermark")
        << QStringList{"--watermark", "/nowhere.png", "--output", "NEW", "x.png"}
        << kWatermarkNotFoundMessage;
    QTest::newRow("output folder that cannot be made")
        << QStringList{"--watermark", "WATERMARK", "--output", "WATERMARK/sub", "x.png"}
        << "tintorel-cli: cannot create the output folder WATERMARK/sub: Not a directory";
}

void TestCliRun::checksExitWithTwo() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    arguments.replaceInStrings("WATERMARK", in("mark.png"));
    arguments.replaceInStrings("NEW", dir_->filePath("new"));
    const ProcessResult result = RunCli(arguments);
    QCOMPARE(result.code, 2);
    QCOMPARE(result.errors, message.replace("WATERMARK", in("mark.png")) + "\n");
    // A run that cannot start makes no output folder.
    QVERIFY(!QFileInfo::exists(dir_->filePath("new")));
}

void TestCliRun::everythingWrittenExitsWithZero() {
    WritePhotos(dir_->filePath("in"));
    const ProcessResult result = RunCli(base() + QStringList{in("a.jpg"), in("b.png")});
    QCOMPARE(result.code, 0);
    QCOMPARE(result.errors, QStringLiteral("2 written, 0 failed, 0 skipped\n"));
    QCOMPARE(QDir(out()).entryList(QDir::Files), (QStringList{"a.jpg", "b.png"}));
    QVERIFY(result.output.isEmpty());
}

void TestCliRun::failuresAndSkipsExitWithOne() {
    WritePhotos(dir_->filePath("in"));
    const ProcessResult failed = RunCli(base() + QStringList{in("missing.png"), in("b.png")});
    QCOMPARE(failed.code, 1);
    QVERIFY(failed.errors.startsWith(in("missing.png") + ": "));
    QVERIFY(failed.errors.endsWith("1 written, 1 failed, 0 skipped\n"));

    QFile::copy(in("b.png"), in("b.webpx"));
    const ProcessResult skipped = RunCli(base() + QStringList{in("b.webpx")});
    QCOMPARE(skipped.code, 1);
    QVERIFY(skipped.errors.startsWith(in("b.webpx") + ": skipped"));
    QVERIFY(skipped.errors.endsWith("0 written, 0 failed, 1 skipped\n"));

    // Writing into the inputs' own folder would replace them: each is reported and skipped.
    const QByteArray before = Contents(in("b.png"));
    const ProcessResult own =
        RunCli({"--watermark", in("mark.png"), "--output", dir_->filePath("in"), in("b.png")});
    QCOMPARE(own.code, 1);
    QVERIFY(own.errors.endsWith("0 written, 0 failed, 1 skipped\n"));
    QCOMPARE(Contents(in("b.png")), before);
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
    const ProcessResult missing = RunCli(base() + QStringList{in("gone.png")});
    QCOMPARE(missing.errors.split('\n').first(), in("gone.png") + ": No such file or directory");

    QFile junk(in("junk.png"));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write("no picture here");
    junk.close();
    const ProcessResult badMark =
        RunCli({"--watermark", in("junk.png"), "--output", out().chopped(1), in("fine.png")});
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

void TestCliRun::progressOnlyOnATerminal() {
    WritePhotos(dir_->filePath("in"));
    const ProcessResult piped = RunCli(base() + QStringList{in("a.jpg"), in("b.png")});
    QVERIFY(!piped.errors.contains('\r'));
    QVERIFY(!piped.errors.contains('['));

    // script(1) gives the program a terminal for its standard error.
    QStringList arguments = base() + QStringList{in("a.jpg"), in("b.png")};
    for (QString& argument : arguments)
        argument = "'" + argument + "'";
    QProcess terminal;
    terminal.start("script", {"-qfec", kCli + " " + arguments.join(' '), "/dev/null"});
    QVERIFY(terminal.waitForFinished(60000));
    const QString shown = QString::fromUtf8(terminal.readAllStandardOutput());
    QVERIFY2(shown.contains("2/2 b.png"), qPrintable(shown));
    QVERIFY(shown.contains("2 written, 0 failed, 0 skipped"));
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
        const ProcessResult result = RunCli(
            base() + QStringList{"--format", "auto", "--placement", "4", "--jobs", jobs} + inputs);
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

void TestCliRun::sameFilesAsTheWindowsRun() {
    WritePhotos(dir_->filePath("in"));
    const QStringList inputs{in("a.jpg"), in("b.png"), in("sub/c.PNG"), in("sub/deeper/d.bmp")};
    for (int format = 0; format < kOutputFormatCount; ++format) {
        const QString windowOut = dir_->filePath(QString("window%1").arg(format));
        const QString cliOut = dir_->filePath(QString("cli%1").arg(format));
        QDir().mkpath(windowOut);
        QDir().mkpath(cliOut);

        Form1& form = start();
        for (const QString& input : inputs)
            form.ListView1->append(input);
        form.options->Text1->setText(in("mark.png"));
        form.options->Text2->setText(windowOut);
        form.options->Combo1->setCurrentIndex(5);
        form.options->pColor->setColor(0x00FFFFFF);
        form.options->Option1[format]->setChecked(true);
        form.PushButton2_Click();
        QCOMPARE(prompter_->messages(), QStringList{kDoneMessage});

        const char* formats[] = {"auto", "jpg", "bmp", "png"};
        const ProcessResult result =
            RunCli(QStringList{"--watermark", in("mark.png"), "--output", cliOut, "--placement",
                               "middle-right", "--format", formats[format]} +
                   inputs);
        QCOMPARE(result.code, 0);

        const QStringList written = QDir(windowOut).entryList(QDir::Files);
        QCOMPARE(written.size(), inputs.size());
        QCOMPARE(QDir(cliOut).entryList(QDir::Files), written);
        for (const QString& name : written)
            QVERIFY2(Contents(windowOut + "/" + name) == Contents(cliOut + "/" + name),
                     qPrintable(name));
    }
}

QTEST_MAIN(TestCliRun)
#include "tst_clirun.moc"
