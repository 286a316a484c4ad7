// What tintorel-cli must never do to the user's files, run as a process on folders made here:
// a report that replaces one of the run's own files or turns a device into a file, a report that
// fails in silence, an "up to date" copy made from another picture or watermark, a file Tintorel
// did not write replaced without being asked, and pictures a folder scan leaves out unsaid.
#include "engine/run/outputfile.h"
#include "engine/run/provenance.h"
#include "support/folderscan.h"
#include "tests/testkit.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {
const QString kCli = QStringLiteral(TINTOREL_BIN_DIR "/tintorel-cli");

QImage Gradient(int width, int height, int seed) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb((x * 5 + seed * 37) % 256, (y * 7) % 256, seed * 11 % 256));
    return image;
}

// The report's lines as status and message, keyed by input.
struct Line {
    QString output, status, message;
};
QMap<QString, Line> ReportLines(const QByteArray& text) {
    QMap<QString, Line> lines;
    for (const QByteArray& line : text.split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (!object.isEmpty())
            lines.insert(object.value("input").toString(),
                         {object.value("output").toString(), object.value("status").toString(),
                          object.value("message").toString()});
    }
    return lines;
}

mode_t TypeOf(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & S_IFMT : 0;
}

// A copy of a file under a name given as bytes, which no text may be able to name.
void CopyTo(const QString& from, const QByteArray& to) {
    const QByteArray bytes = Contents(from);
    const int fd = ::open(to.constData(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
    ::close(fd);
}

// Makes a chain of folders below top, each named step, until the path is too long for the system
// to open (4096 with its final separator); returns that path. cleanup removes the chain, which
// no path can reach, a folder at a time.
QString MakeTooDeep(const QString& top, const QByteArray& step, std::function<void()>& cleanup) {
    std::vector<int> folders{::open(QFile::encodeName(top).constData(), O_RDONLY | O_DIRECTORY)};
    QString path = top;
    while (path.size() + 1 < 4096) {
        ::mkdirat(folders.back(), step.constData(), 0755);
        folders.push_back(::openat(folders.back(), step.constData(), O_RDONLY | O_DIRECTORY));
        path += '/' + QString::fromLatin1(step);
    }
    cleanup = [folders, step] {
        for (size_t i = folders.size() - 1; i-- > 0;)
            ::unlinkat(folders[i], step.constData(), AT_REMOVEDIR);
        for (int fd : folders)
            ::close(fd);
    };
    return path;
}

// Runs a shell script in a mount namespace of its own; false when none can be made here.
bool RunMounted(const QString& script, ProcessResult& result) {
    result = RunProcess("unshare", {"-m", "sh", "-c", script});
    return result.code != 77 && result.code != -1;
}
} // namespace

class TestCliSafety : public QObject {
    Q_OBJECT

private slots:
    void init();

    void reportNeverReplacesTheRunsFiles_data();
    void reportNeverReplacesTheRunsFiles();
    void aReportOnAFullDiskKeepsTheEarlierOne();
    void upToDateMeansMadeFromThisPicture();
    void whatChangesACopyMakesItOutOfDate_data();
    void whatChangesACopyMakesItOutOfDate();
    void filesTintorelDidNotWriteAreKept_data();
    void filesTintorelDidNotWriteAreKept();
    void marksAreKeptBesideWhereFilesHoldNone();
    void folderScansTellWhatTheyLeaveOut();

private:
    QString path(const QString& name) const { return dir_->filePath(name); }
    QStringList base() const { return {"--watermark", path("mark.png"), "--output", path("out")}; }
    ProcessResult run(const QStringList& arguments) const { return RunProcess(kCli, arguments); }
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestCliSafety::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    for (const char* folder : {"in", "out", "reports"})
        QVERIFY(QDir(dir_->path()).mkpath(folder));
    QImage mark = SolidImage(8, 6, qRgb(255, 255, 255));
    mark.setPixel(3, 3, qRgb(200, 0, 0));
    WriteImage(mark, path("mark.png"), "png");
    WriteImage(Gradient(40, 30, 1), path("in/a.jpg"), "jpeg");
    WriteImage(Gradient(36, 20, 2), path("in/b.jpg"), "jpeg");
    QFile list(path("list.txt"));
    QVERIFY(list.open(QIODevice::WriteOnly));
    list.write((path("in/a.jpg") + '\n' + path("in/b.jpg") + '\n').toUtf8());
}

void TestCliSafety::reportNeverReplacesTheRunsFiles_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("says"); // what the refusal names
    QTest::newRow("input") << "input" << 2 << "it is the input ";
    QTest::newRow("watermark") << "watermark" << 2 << "it is the watermark ";
    QTest::newRow("list of inputs") << "list" << 2 << "it is the list of inputs ";
    QTest::newRow("output yet to be made") << "new output" << 2 << "it is the output ";
    QTest::newRow("output of an earlier run") << "old output" << 2 << "it is the output ";
    QTest::newRow("output spelt otherwise") << "spelt output" << 2 << "it is the output ";
    QTest::newRow("link to an input") << "link to input" << 2 << "it is the input ";
    QTest::newRow("hard link to the watermark") << "hard link" << 2 << "it is the watermark ";
    QTest::newRow("link to nothing") << "dangling" << 2 << "it is a link to nothing";
    QTest::newRow("folder") << "folder" << 2 << "Is a directory";
    QTest::newRow("FIFO") << "fifo" << 0 << "";
    QTest::newRow("device") << "device" << 0 << "";
    QTest::newRow("device that is full") << "full device" << 1 << "No space left on device";
    QTest::newRow("link to an earlier report") << "link to report" << 0 << "";
}

void TestCliSafety::reportNeverReplacesTheRunsFiles() {
    QFETCH(QString, kind);
    QFETCH(int, code);
    QFETCH(QString, says);
    const QMap<QString, QString> reports{
        {"input", path("in/a.jpg")},
        {"watermark", path("mark.png")},
        {"list", path("list.txt")},
        {"new output", path("out/b.jpg")},
        {"old output", path("out/a.jpg")},
        {"spelt output", path("in/../out//b.jpg")},
        {"link to input", path("reports/to-input")},
        {"hard link", path("reports/hard")},
        {"dangling", path("reports/dangling")},
        {"folder", path("out")},
        {"fifo", path("reports/fifo")},
        {"device", path("reports/null")},
        {"full device", "/dev/full"},
        {"link to report", path("reports/to-report")},
    };
    const QString report = reports.value(kind);
    int reader = -1;
    if (kind == "old output")
        QCOMPARE(run(base() + QStringList{path("in/a.jpg")}).code, 0);
    if (kind == "link to input")
        QVERIFY(QFile::link(path("in/a.jpg"), report));
    if (kind == "hard link")
        QVERIFY(::link(QFile::encodeName(path("mark.png")).constData(),
                       QFile::encodeName(report).constData()) == 0);
    if (kind == "dangling" || kind == "link to report")
        QVERIFY(QFile::link(path("reports/earlier.jsonl"), report));
    if (kind == "link to report")
        QVERIFY(QFile(path("reports/earlier.jsonl")).open(QIODevice::WriteOnly));
    if (kind == "fifo") {
        QVERIFY(::mkfifo(QFile::encodeName(report).constData(), 0644) == 0);
        // Held open for reading here, so that the run's writer never waits for a reader.
        reader = ::open(QFile::encodeName(report).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(reader >= 0);
    }
    if (kind == "device" &&
        ::mknod(QFile::encodeName(report).constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        QSKIP("no device nodes can be made here");
    if (kind == "full device" && TypeOf(report) != S_IFCHR)
        QSKIP("no /dev/full here");
    const mode_t type = TypeOf(report);
    // A pipe or a device is not read: it would give no end.
    const QByteArray before = code == 2 ? Contents(report) : QByteArray();
    const QStringList named = QStringList{"--files-from", path("list.txt")};

    const ProcessResult result = run(base() + named + QStringList{"--report", report});

    QCOMPARE(result.code, code);
    QCOMPARE(TypeOf(report), type);
    if (code == 2) {
        QCOMPARE(result.errors.count('\n'), 1);
        QVERIFY2(result.errors.startsWith("tintorel-cli: cannot write the report " + report + ": " +
                                          says),
                 qPrintable(result.errors));
        QCOMPARE(Contents(report), before);
        QCOMPARE(QDir(path("out")).entryList(QDir::Files | QDir::Hidden).size(),
                 kind == "old output" ? 1 : 0);
    } else if (code == 1) {
        QVERIFY2(result.errors.contains(": " + says), qPrintable(result.errors));
    } else if (kind == "fifo") {
        char buffer[4096];
        const ssize_t length = ::read(reader, buffer, sizeof buffer);
        ::close(reader);
        QCOMPARE(ReportLines(QByteArray(buffer, int(std::max<ssize_t>(length, 0)))).size(), 2);
    } else if (kind == "link to report") {
        QCOMPARE(ReportLines(Contents(path("reports/earlier.jsonl"))).size(), 2);
    }
}

void TestCliSafety::aReportOnAFullDiskKeepsTheEarlierOne() {
    // A small file system of its own, nearly full, holding the earlier report; the images' lines
    // are long enough to fill it before the report is complete.
    // One picture listed again and again: every repeat is a line, and none fails the run.
    const QString inputs = QStringList(300, "'" + path("in/a.jpg") + "'").join(' ');
    const QString script =
        QStringLiteral("mount -t tmpfs -o size=64k tmpfs '%1' || exit 77; "
                       "printf 'earlier\\n' > '%1/run.jsonl'; head -c 40000 /dev/zero > '%1/fill'; "
                       "'%2' --watermark '%3' --output '%4' --quiet --report '%1/run.jsonl' %5; "
                       "echo \"exit $?\"; LC_ALL=C ls -a '%1'; cat '%1/run.jsonl'")
            .arg(path("reports"), kCli, path("mark.png"), path("out"), inputs);
    ProcessResult result;
    if (!RunMounted(script, result))
        QSKIP("a small file system cannot be mounted here (needs a mount namespace and tmpfs)");
    QVERIFY2(result.output.contains("exit 1\n"), qPrintable(result.output + result.errors));
    QVERIFY(result.errors.contains("tintorel-cli: cannot write the report " +
                                   path("reports/run.jsonl") +
                                   ": No space left on device; the earlier report stays as it "
                                   "was\n"));
    QVERIFY(result.output.endsWith(".\n..\nfill\nrun.jsonl\nearlier\n"));
}

void TestCliSafety::upToDateMeansMadeFromThisPicture() {
    // Sizes tell the copies' sources apart.
    for (const char* folder : {"a", "b", "c"})
        QVERIFY(QDir(dir_->path()).mkpath(QStringLiteral("in/") + folder));
    WriteImage(Gradient(50, 30, 2), path("in/b/1.jpg"), "jpeg");
    WriteImage(Gradient(44, 22, 3), path("in/c/1.jpg"), "jpeg");
    const QStringList update = base() + QStringList{"--update", "--report", path("r.jsonl")};
    QCOMPARE(run(update + QStringList{path("in/b/1.jpg"), path("in/c/1.jpg")}).code, 0);

    // A same-named picture that sorts before them takes "1.jpg"; each copy follows its picture.
    WriteImage(Gradient(60, 40, 1), path("in/a/1.jpg"), "jpeg");
    const QStringList all{path("in/a/1.jpg"), path("in/b/1.jpg"), path("in/c/1.jpg")};
    QCOMPARE(run(update + all).code, 0);
    const QMap<QString, Line> lines = ReportLines(Contents(path("r.jsonl")));
    QCOMPARE(lines.value(all[0]).status, "written");
    QCOMPARE(lines.value(all[1]).status, "written");
    QCOMPARE(lines.value(all[1]).output, path("out/1 (2).jpg"));
    QCOMPARE(QImage(path("out/1.jpg")).size(), QSize(60, 40));
    QCOMPARE(QImage(path("out/1 (2).jpg")).size(), QSize(50, 30));
    QCOMPARE(QImage(path("out/1 (3).jpg")).size(), QSize(44, 22));

    const ProcessResult again = run(update + all);
    QCOMPARE(again.code, 0);
    QCOMPARE(again.errors, QStringLiteral("0 written, 0 failed, 0 skipped, 3 up to date\n"));
}

void TestCliSafety::whatChangesACopyMakesItOutOfDate_data() {
    QTest::addColumn<QString>("change");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("status");
    QTest::newRow("nothing") << "" << QStringList{} << "up to date";
    QTest::newRow("watermark touched") << "touch" << QStringList{} << "up to date";
    QTest::newRow("older watermark put back") << "old mark" << QStringList{} << "written";
    QTest::newRow("picture changed") << "picture" << QStringList{} << "written";
    QTest::newRow("placement") << "" << QStringList{"--placement", "bottom-right"} << "written";
    QTest::newRow("opacity") << "" << QStringList{"--opacity", "50"} << "written";
    QTest::newRow("scale") << "" << QStringList{"--scale", "0.5"} << "written";
    QTest::newRow("JPEG way") << "" << QStringList{"--jpeg", "lossless"} << "written";
    QTest::newRow("quality") << "" << QStringList{"--quality", "90"} << "written";
}

void TestCliSafety::whatChangesACopyMakesItOutOfDate() {
    QFETCH(QString, change);
    QFETCH(QStringList, options);
    QFETCH(QString, status);
    const QStringList update = base() + QStringList{"--update", "--report", path("r.jsonl")};
    QCOMPARE(run(update + QStringList{path("in/a.jpg")}).code, 0);
    const QDateTime markTime = QFileInfo(path("mark.png")).lastModified();
    if (change == "touch" || change == "old mark") {
        if (change == "old mark")
            WriteImage(SolidImage(8, 6, qRgb(0, 0, 200)), path("mark.png"), "png");
        QFile mark(path("mark.png"));
        QVERIFY(mark.open(QIODevice::ReadWrite));
        // An older time, as cp -p, tar and rsync -t give a file they put back, or a newer one.
        const QDateTime when = change == "touch" ? markTime.addSecs(60) : markTime.addDays(-1);
        QVERIFY(mark.setFileTime(when, QFileDevice::FileModificationTime));
    }
    if (change == "picture")
        WriteImage(Gradient(40, 30, 9), path("in/a.jpg"), "jpeg");
    const ProcessResult result = run(update + options + QStringList{path("in/a.jpg")});
    QCOMPARE(result.code, 0);
    QCOMPARE(ReportLines(Contents(path("r.jsonl"))).value(path("in/a.jpg")).status, status);
}

void TestCliSafety::filesTintorelDidNotWriteAreKept_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("output"); // where the copy goes
    QTest::addColumn<bool>("kept");      // the other file is as it was
    QTest::newRow("kept both by default") << QStringList{} << 0 << "written"
                                          << "01-Bridge (2).jpg" << true;
    QTest::newRow("number") << QStringList{"--existing", "number"} << 0 << "written"
                            << "01-Bridge (2).jpg" << true;
    QTest::newRow("skip") << QStringList{"--existing", "skip"} << 1 << "skipped"
                          << "01-Bridge.jpg" << true;
    QTest::newRow("replace") << QStringList{"--existing", "REPLACE"} << 0 << "written"
                             << "01-Bridge.jpg" << false;
}

void TestCliSafety::filesTintorelDidNotWriteAreKept() {
    QFETCH(QStringList, options);
    QFETCH(int, code);
    QFETCH(QString, status);
    QFETCH(QString, output);
    QFETCH(bool, kept);
    WriteImage(Gradient(30, 20, 5), path("in/01-Bridge.png"), "png");
    WriteImage(Gradient(70, 50, 6), path("out/01-Bridge.jpg"), "jpeg");
    const QByteArray theirs = Contents(path("out/01-Bridge.jpg"));
    const QStringList arguments =
        base() + options +
        QStringList{"--format", "jpg", "--report", path("r.jsonl"), path("in/01-Bridge.png")};
    for (int round = 1; round <= 2; ++round) {
        // The rerun finds its own copy under the same name and refreshes it.
        const ProcessResult result = RunProcess(kCli, arguments);
        QCOMPARE(result.code, code);
        const Line line = ReportLines(Contents(path("r.jsonl"))).value(path("in/01-Bridge.png"));
        QCOMPARE(line.status, status);
        QCOMPARE(line.output, path("out/" + output));
        QCOMPARE(Contents(path("out/01-Bridge.jpg")) == theirs, kept);
        QCOMPARE(QDir(path("out")).entryList(QDir::Files).size(),
                 1 + (kept && status == "written"));
        if (status == "skipped")
            QVERIFY(line.message.contains("was not written by Tintorel, so it is kept"));
        else if (kept)
            QVERIFY(line.message.contains("since a file that Tintorel did not write"));
    }
}

void TestCliSafety::marksAreKeptBesideWhereFilesHoldNone() {
    // ramfs holds no extended attributes: the marks go into the folder's hidden record, and a
    // rerun still refreshes its own copy and keeps the other file.
    WriteImage(Gradient(30, 20, 5), path("in/c.png"), "png");
    const QString script =
        QStringLiteral("mount -t ramfs ramfs '%1' || exit 77; cp '%2' '%1/b.jpg'; "
                       "for run in 1 2; do '%3' --watermark '%4' --output '%1' --update '%5' "
                       "'%2' '%6' 2>&1; done; LC_ALL=C ls -a '%1'")
            .arg(path("out"), path("in/b.jpg"), kCli, path("mark.png"), path("in/a.jpg"),
                 path("in/c.png"));
    ProcessResult result;
    if (!RunMounted(script, result))
        QSKIP("no ramfs can be mounted here (needs a mount namespace)");
    QVERIFY2(result.output.contains("3 written, 0 failed, 0 skipped, 0 up to date\n"
                                    "0 written, 0 failed, 0 skipped, 3 up to date\n"),
             qPrintable(result.output));
    QVERIFY(result.output.endsWith(".\n..\n.tintorel-marks\na.jpg\nb (2).jpg\nb.jpg\nc.png\n"));

    // The record tells a copy from a file put later in its place.
    SetMarkAttributesUnsupportedForTesting(true);
    const QString copy = path("out/x.png");
    OutputFile file(copy);
    QVERIFY(file.write("copy") == 4);
    QVERIFY(!MarkCopy(file, "1234"));
    file.commit();
    QCOMPARE(RecordMarkBeside(copy, "1234"), QString());
    OutputMarks marks;
    QCOMPARE(int(marks.inspect(copy).kind), int(ExistingOutput::Kind::Ours));
    QCOMPARE(marks.inspect(copy).mark, QByteArray("1234"));
    QVERIFY(QFile::remove(copy));
    QVERIFY(QFile(copy).open(QIODevice::WriteOnly));
    QCOMPARE(int(OutputMarks().inspect(copy).kind), int(ExistingOutput::Kind::Foreign));
    QCOMPARE(int(OutputMarks().inspect(path("out/none")).kind), int(ExistingOutput::Kind::None));
    SetMarkAttributesUnsupportedForTesting(false);
}

void TestCliSafety::folderScansTellWhatTheyLeaveOut() {
    QVERIFY(QDir(dir_->path()).mkpath("tree/sub"));
    QVERIFY(QDir(dir_->path()).mkpath("album"));
    WriteImage(Gradient(20, 10, 1), path("tree/ok.jpg"), "jpeg");
    for (const char* name : {"album/p1.jpg", "album/p2.jpg", "tree/~draft.jpg"})
        QVERIFY(QFile::copy(path("tree/ok.jpg"), path(name)));
    const QByteArray badName = QFile::encodeName(path("tree/bad")) + "\xff.jpg";
    CopyTo(path("tree/ok.jpg"), badName);
    QVERIFY(QFile::link(path("album"), path("tree/album")));
    QVERIFY(QFile::link(path("tree"), path("tree/sub/up")));
    QVERIFY(QFile::link(".", path("tree/sub/self")));
    QVERIFY(QFile::link(path("nowhere.jpg"), path("tree/dangling.jpg")));
    QVERIFY(::mkfifo(QFile::encodeName(path("tree/pipe.jpg")), 0644) == 0);
    QVERIFY(QFile(path("tree/notes.txt")).open(QIODevice::WriteOnly));
    std::function<void()> removeDeep;
    const QString tooLong = MakeTooDeep(path("tree"), QByteArray(200, 'd'), removeDeep);
    // Neither the chain nor a name that no text names can be removed by QTemporaryDir.
    const auto cleanup = qScopeGuard([&] {
        removeDeep();
        ::unlink(badName.constData());
    });

    const ProcessResult result = run(base() + QStringList{"--report", "-", path("tree")});
    QCOMPARE(result.code, 1);
    QVERIFY2(result.errors.endsWith("3 written, 0 failed, 5 skipped\n"), qPrintable(result.errors));
    const QMap<QString, Line> lines = ReportLines(result.output.toUtf8());
    const auto reason = [&](const QString& input) {
        return lines.value(input).status + ": " + lines.value(input).message.mid(input.size() + 2);
    };
    QCOMPARE(lines.size(), 8);
    QCOMPARE(reason(path("tree/pipe.jpg")), "skipped: " + kNotRegularReason);
    QCOMPARE(reason(path("tree/~draft.jpg")), "skipped: " + kTildeNameReason);
    QCOMPARE(reason(path("tree/dangling.jpg")), "skipped: " + kDanglingLinkReason);
    QCOMPARE(reason(path("tree/bad\uFFFD.jpg")), "skipped: " + kUndecodableNameReason);
    QCOMPARE(reason(tooLong), "skipped: " + kLongPathReason);
    QCOMPARE(lines.value(path("tree/album/p2.jpg")).status, "written");
    // The link back up finds nothing new: told, but no picture is left out by it.
    QVERIFY(result.errors.contains(path("tree/sub/up") + ": " + kLinkLoopReason));
    QVERIFY(result.errors.contains(path("tree/sub/self") + ": " + kLinkLoopReason));
    QVERIFY(!lines.contains(path("tree/sub/up")));
    QVERIFY(!lines.contains(path("tree/notes.txt")));
}

QTEST_GUILESS_MAIN(TestCliSafety)
#include "tst_clisafety.moc"
