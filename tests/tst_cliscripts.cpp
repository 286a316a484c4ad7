// tintorel-cli as scripts, cron jobs and many machines use it, run as a process: folder trees kept
// below the output folder, reruns that do only new work, the JSON report, a run shared out in
// parts, and the manual page and shell completion that must say what --help says.
#include "cli/clioptions.h"
#include "engine/run/planner.h"
#include "tests/testkit.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString kCli = QStringLiteral(TINTOREL_BIN_DIR "/tintorel-cli");
const QString kManual = QStringLiteral(TINTOREL_SOURCE_DIR "/cli/tintorel-cli.1");
const QString kCompletion = QStringLiteral(TINTOREL_SOURCE_DIR "/cli/tintorel-cli.bash");

ProcessResult Run(const QStringList& arguments) {
    return RunProcess(kCli, arguments);
}

// Every file below a folder as a relative path, hidden ones included, so that a temporary file
// left behind shows.
QStringList FilesBelow(const QString& folder) {
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}

QImage Gradient(int width, int height, int seed) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb((x * 5 + seed * 37) % 256, (y * 7) % 256, seed * 11 % 256));
    return image;
}

// The lines of a JSON Lines text, each of which must be one JSON object.
QList<QJsonObject> JsonLines(const QString& text) {
    QList<QJsonObject> objects;
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
        if (error.error != QJsonParseError::NoError || !document.isObject()) {
            QTest::qFail(qPrintable("not a JSON object: " + line), __FILE__, __LINE__);
            return {};
        }
        objects << document.object();
    }
    return objects;
}

QStringList Field(const QList<QJsonObject>& objects, const QString& key) {
    QStringList values;
    for (const QJsonObject& object : objects)
        values << object.value(key).toString();
    return values;
}

QDateTime Modified(const QString& path) {
    return QFileInfo(path).lastModified();
}

void SetModified(const QString& path, const QDateTime& time) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(time, QFileDevice::FileModificationTime));
}

// The manual's text as a reader sees it, without requests and escapes, in single spaces.
QString ManualText() {
    QStringList lines;
    for (const QString& line : QString::fromUtf8(Contents(kManual)).split('\n'))
        if (!line.startsWith('.'))
            lines << QString(line).replace("\\-", "-").replace("\\e", "\\");
    return lines.join(' ').simplified();
}

// The options a text names: "--name" in --help and the completion, "\-\-name" in the manual.
QSet<QString> NamedOptions(const QString& text, const QString& pattern) {
    QSet<QString> names;
    QRegularExpressionMatchIterator it = QRegularExpression(pattern).globalMatch(text);
    while (it.hasNext())
        names.insert(it.next().captured(1).remove('\\'));
    return names;
}
} // namespace

class TestCliScripts : public QObject {
    Q_OBJECT

private slots:
    void init();

    void keepTree_data();
    void keepTree();
    void missingOutputFolderIsMade();
    void updateDoesOnlyNewWork();
    void reportIsJsonLines();
    void shardsTogetherMakeTheWholeRun_data();
    void shardsTogetherMakeTheWholeRun();
    void shardRuleIsStable();
    void manualAndCompletionFollowHelp();
    void manualRendersWithoutWarnings();
    void completionOffersValues_data();
    void completionOffersValues();
    void installPutsManualAndCompletion();

private:
    QString path(const QString& name) const { return dir_->filePath(name); }
    QStringList base(const QString& output = QStringLiteral("out")) const {
        return {"--watermark", path("mark.png"), "--output", path(output)};
    }
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestCliScripts::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    for (const char* folder : {"tree/a", "tree/b/c", "tree2/a", "loose", "out"})
        QVERIFY(QDir(dir_->path()).mkpath(folder));
    QImage mark = SolidImage(8, 6, qRgb(255, 255, 255));
    mark.setPixel(3, 3, qRgb(200, 0, 0));
    WriteImage(mark, path("mark.png"), "png");
    // Sizes tell the outputs' sources apart.
    WriteImage(Gradient(60, 40, 1), path("tree/a/1.jpg"), "jpeg");
    WriteImage(Gradient(50, 30, 2), path("tree/b/c/1.jpg"), "jpeg");
    WriteImage(Gradient(44, 22, 3), path("tree2/a/1.jpg"), "jpeg");
    WriteImage(Gradient(30, 20, 4), path("loose/single.png"), "png");
    QFile notes(path("tree/b/notes.txt"));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.write("no picture");
}

void TestCliScripts::keepTree_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("written");
    QTest::addColumn<QString>("probe");
    QTest::addColumn<QSize>("probeSize");
    QTest::newRow("kept tree") << QStringList{"--keep-tree", "tree", "loose/single.png"}
                               << QStringList{"a/1.jpg", "b/c/1.jpg", "single.png"} << "b/c/1.jpg"
                               << QSize(50, 30);
    QTest::newRow("flat") << QStringList{"tree", "loose/single.png"}
                          << QStringList{"1 (2).jpg", "1.jpg", "single.png"} << "1 (2).jpg"
                          << QSize(50, 30);
    // The same relative path from two input folders: numbered in its folder, in list order.
    QTest::newRow("two trees") << QStringList{"--keep-tree", "tree", "tree2"}
                               << QStringList{"a/1 (2).jpg", "a/1.jpg", "b/c/1.jpg"}
                               << "a/1 (2).jpg" << QSize(44, 22);
}

void TestCliScripts::keepTree() {
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, written);
    QFETCH(QString, probe);
    QFETCH(QSize, probeSize);
    for (QString& argument : arguments)
        if (!argument.startsWith("--"))
            argument = path(argument);
    const ProcessResult result = Run(base() + arguments);
    QCOMPARE(result.code, 0);
    QCOMPARE(FilesBelow(path("out")), written);
    QCOMPARE(QImage(path("out/" + probe)).size(), probeSize);
}

void TestCliScripts::missingOutputFolderIsMade() {
    const QString output = path("new/deeper");
    const ProcessResult first = Run(base("new/deeper") + QStringList{"--keep-tree", path("tree")});
    QCOMPARE(first.code, 0);
    QCOMPARE(first.errors, "tintorel-cli: created the output folder " + output +
                               "\n2 written, 0 failed, 0 skipped\n");
    QCOMPARE(FilesBelow(output), (QStringList{"a/1.jpg", "b/c/1.jpg"}));
    const ProcessResult again = Run(base("new/deeper") + QStringList{path("tree")});
    QVERIFY(!again.errors.contains("created"));
}

void TestCliScripts::updateDoesOnlyNewWork() {
    const QStringList arguments = base() + QStringList{"--keep-tree", "--update", path("tree")};
    const QString a = path("out/a/1.jpg"), c = path("out/b/c/1.jpg");
    ProcessResult result = Run(arguments);
    QCOMPARE(result.code, 0);
    QCOMPARE(result.errors, QStringLiteral("2 written, 0 failed, 0 skipped, 0 up to date\n"));
    const QDateTime aWritten = Modified(a), cWritten = Modified(c);

    result = Run(arguments);
    QCOMPARE(result.code, 0);
    QCOMPARE(result.errors, QStringLiteral("0 written, 0 failed, 0 skipped, 2 up to date\n"));
    QCOMPARE(Modified(a), aWritten);
    QCOMPARE(Modified(c), cWritten);

    // An input changed after its copy was made.
    SetModified(path("tree/b/c/1.jpg"), cWritten.addMSecs(1));
    result = Run(arguments);
    QCOMPARE(result.errors, QStringLiteral("1 written, 0 failed, 0 skipped, 1 up to date\n"));
    QCOMPARE(Modified(a), aWritten);
    QVERIFY(Modified(c) > cWritten);

    // A copy that is gone is made again.
    QVERIFY(QFile::remove(a));
    result = Run(arguments);
    QCOMPARE(result.errors, QStringLiteral("1 written, 0 failed, 0 skipped, 1 up to date\n"));
    QVERIFY(QFile::exists(a));

    // A new watermark makes every copy out of date, even one put in place with an old time, as
    // cp -p does; a watermark merely touched changes nothing.
    const QDateTime markTime = Modified(path("mark.png"));
    SetModified(path("mark.png"), QDateTime::currentDateTime().addSecs(60));
    QCOMPARE(Run(arguments).errors,
             QStringLiteral("0 written, 0 failed, 0 skipped, 2 up to date\n"));
    QImage mark = SolidImage(8, 6, qRgb(255, 255, 255));
    mark.setPixel(2, 2, qRgb(0, 0, 200));
    WriteImage(mark, path("mark.png"), "png");
    SetModified(path("mark.png"), markTime.addDays(-1));
    result = Run(arguments);
    QCOMPARE(result.code, 0);
    QCOMPARE(result.errors, QStringLiteral("2 written, 0 failed, 0 skipped, 0 up to date\n"));
}

void TestCliScripts::reportIsJsonLines() {
    QVERIFY(QFile::copy(path("loose/single.png"), path("loose/odd.webpx")));
    const QStringList inputs{path("tree/a/1.jpg"), path("missing.png"), path("loose/odd.webpx"),
                             path("tree/a/1.jpg")};
    const ProcessResult result = Run(base() + QStringList{"--report", "-"} + inputs);
    QCOMPARE(result.code, 1);
    const QList<QJsonObject> lines = JsonLines(result.output);
    QCOMPARE(lines.size(), inputs.size());
    QCOMPARE(Field(lines, "input"), inputs);
    QCOMPARE(Field(lines, "status"), (QStringList{"written", "failed", "skipped", "repeat"}));
    QCOMPARE(Field(lines, "output"),
             (QStringList{path("out/1.jpg"), path("out/missing.png"), "", ""}));
    QVERIFY(lines[2].value("output").isNull());
    QCOMPARE(Field(lines, "message")[0], QString());
    QVERIFY(Field(lines, "message")[1].startsWith(path("missing.png") + ": "));
    QVERIFY(Field(lines, "message")[2].startsWith(path("loose/odd.webpx") + ": skipped"));
    QCOMPARE(Field(lines, "message")[3], path("tree/a/1.jpg") + ": already stamped in this run");
    for (const QJsonObject& line : lines) {
        QCOMPARE(line.keys(),
                 (QStringList{"input", "message", "milliseconds", "output", "status"}));
        QVERIFY(line.value("milliseconds").isDouble() && line.value("milliseconds").toInt() >= 0);
    }

    // Into a file, which replaces an earlier report whole and leaves nothing else beside it.
    QVERIFY(QDir().mkpath(path("reports")));
    QFile earlier(path("reports/run.jsonl"));
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write(QByteArray(4096, 'x'));
    earlier.close();
    const QStringList update =
        base() + QStringList{"--update", "--report", path("reports/run.jsonl")};
    QCOMPARE(Run(update + inputs.first(2)).code, 1);
    QCOMPARE(FilesBelow(path("reports")), QStringList{"run.jsonl"});
    const QList<QJsonObject> filed =
        JsonLines(QString::fromUtf8(Contents(path("reports/run.jsonl"))));
    QCOMPARE(Field(filed, "status"), (QStringList{"up to date", "failed"}));

    const ProcessResult nowhere =
        Run(base() + QStringList{"--report", path("no/such/r.jsonl")} + inputs.first(1));
    QCOMPARE(nowhere.code, 2);
    QVERIFY(nowhere.errors.startsWith("tintorel-cli: cannot write the report " +
                                      path("no/such/r.jsonl") + ": "));
}

void TestCliScripts::shardsTogetherMakeTheWholeRun_data() {
    QTest::addColumn<QStringList>("options");
    QTest::newRow("flat, numbered names") << QStringList{};
    QTest::newRow("kept tree") << QStringList{"--keep-tree"};
}

void TestCliScripts::shardsTogetherMakeTheWholeRun() {
    QFETCH(QStringList, options);
    // Two input folders with the same names in every folder, so that names are numbered: across
    // the folders of a flat run, and across the two inputs of a kept tree.
    for (const char* root : {"x", "y"})
        for (int folder = 0; folder < 3; ++folder)
            for (int name = 0; name < 4; ++name) {
                const QString file =
                    QStringLiteral("%1/f%2/p%3.png").arg(QLatin1String(root)).arg(folder).arg(name);
                QVERIFY(QDir().mkpath(QFileInfo(path(file)).path()));
                WriteImage(Gradient(20 + folder, 12 + name, root[0] + folder * 4 + name),
                           path(file), "png");
            }
    const QStringList forwards{path("x"), path("y")}, backwards{path("y"), path("x")};
    const ProcessResult whole = Run(base("whole") + options + forwards);
    QCOMPARE(whole.code, 0);
    const QStringList wholeFiles = FilesBelow(path("whole"));
    QCOMPARE(wholeFiles.size(), 24);

    QStringList together;
    for (int part = 1; part <= 3; ++part) {
        const QStringList shard{"--shard", QStringLiteral("%1/3").arg(part), "--report", "-"};
        const QString output = QStringLiteral("part%1").arg(part);
        const ProcessResult result = Run(base(output) + options + shard + forwards);
        QCOMPARE(result.code, 0);
        const QStringList files = FilesBelow(path(output));
        QVERIFY2(!files.isEmpty(), qPrintable(output));
        for (const QString& name : files)
            QVERIFY2(Contents(path(output + "/" + name)) == Contents(path("whole/" + name)),
                     qPrintable(name));
        together << files;
        const QStringList mine = Field(JsonLines(result.output), "input");
        QCOMPARE(mine.size(), files.size());
        // The same images in the part whatever the order of the list.
        const ProcessResult reordered = Run(base(output + "r") + options + shard + backwards);
        const QStringList theirs = Field(JsonLines(reordered.output), "input");
        QCOMPARE(QSet<QString>(mine.begin(), mine.end()),
                 QSet<QString>(theirs.begin(), theirs.end()));
    }
    together.sort();
    QCOMPARE(together, wholeFiles); // every file of the whole run, each from one part only
}

void TestCliScripts::shardRuleIsStable() {
    // Machines of different builds must agree on every image's part.
    QCOMPARE(ShardOf("a/1.jpg", 3), 3);
    QCOMPARE(ShardOf("b/c/1.jpg", 3), 2);
    QCOMPARE(ShardOf("IMG_0001.JPG", 8), 3);
    QCOMPARE(ShardOf("anything.png", 1), 1);
    QList<int> counts(3, 0);
    for (int i = 0; i < 3000; ++i)
        ++counts[ShardOf(QStringLiteral("shop/item%1.jpg").arg(i), 3) - 1];
    for (int count : counts)
        QVERIFY2(count > 900 && count < 1100, qPrintable(QString::number(count)));
}

void TestCliScripts::manualAndCompletionFollowHelp() {
    const QString help = Run({"--help"}).output;
    const QSet<QString> helpOptions = NamedOptions(help, "(?m)^  --([a-z-]+)");
    QCOMPARE(helpOptions.size(), qsizetype(CliOptions().size()));
    const QString manual = QString::fromUtf8(Contents(kManual));
    QCOMPARE(NamedOptions(manual, "(?m)^\\.BI? \\\\-\\\\-([a-z\\\\-]+)"), helpOptions);
    QCOMPARE(NamedOptions(QString::fromUtf8(Contents(kCompletion)), "--([a-z][a-z-]*)"),
             helpOptions);
    // Each option's description, word for word.
    const QString text = ManualText();
    for (const CliOption& option : CliOptions()) {
        const QString description = QString::fromUtf8(option.help).replace('\n', ' ');
        QVERIFY2(text.contains(description), option.name);
    }
}

void TestCliScripts::manualRendersWithoutWarnings() {
    if (QStandardPaths::findExecutable("groff").isEmpty())
        QSKIP("groff is not installed");
    const ProcessResult result = RunProcess("groff", {"-man", "-ww", "-z", kManual});
    QCOMPARE(result.code, 0);
    QCOMPARE(result.errors, QString());
}

void TestCliScripts::completionOffersValues_data() {
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QStringList>("offered");
    QTest::newRow("option") << QStringList{"--wat"} << QStringList{"--watermark"};
    QTest::newRow("placement") << QStringList{"--placement", "bottom-"}
                               << QStringList{"bottom-left", "bottom-middle", "bottom-right"};
    QTest::newRow("format after =") << QStringList{"--format", "=", "p"} << QStringList{"png"};
    QTest::newRow("JPEG way") << QStringList{"--jpeg", "l"} << QStringList{"lossless"};
    QTest::newRow("free value") << QStringList{"--shard", ""} << QStringList{};
    QTest::newRow("folder") << QStringList{"--output", "TMP/tr"}
                            << QStringList{"TMP/tree", "TMP/tree2"};
}

void TestCliScripts::completionOffersValues() {
    QFETCH(QStringList, words);
    QFETCH(QStringList, offered);
    words.replaceInStrings("TMP", dir_->path());
    offered.replaceInStrings("TMP", dir_->path());
    const QString script =
        QStringLiteral(
            "source '%1'; COMP_WORDS=(tintorel-cli \"$@\"); COMP_CWORD=$#; _tintorel_cli; "
            "printf '%s\\n' \"${COMPREPLY[@]}\"")
            .arg(kCompletion);
    const ProcessResult result = RunProcess("bash", QStringList{"-c", script, "bash"} + words);
    QCOMPARE(result.code, 0);
    QStringList lines = result.output.split('\n', Qt::SkipEmptyParts);
    lines.sort();
    QCOMPARE(lines, offered);
}

void TestCliScripts::installPutsManualAndCompletion() {
    const ProcessResult result = RunProcess(
        "cmake", {"--install", TINTOREL_BUILD_DIR, "--prefix", path("prefix")}, {}, 120000);
    QCOMPARE(result.code, 0);
    QCOMPARE(Contents(path("prefix/share/man/man1/tintorel-cli.1")), Contents(kManual));
    QCOMPARE(Contents(path("prefix/share/bash-completion/completions/tintorel-cli")),
             Contents(kCompletion));
}

QTEST_GUILESS_MAIN(TestCliScripts)
#include "tst_cliscripts.moc"
