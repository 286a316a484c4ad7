// tintorel-cli as scripts, cron jobs and many machines use it, run as a process: inputs from a
// list file, standard input and folders, folder trees kept below the output folder, reruns that
// do only new work, the JSON report, and a run shared out in parts.
#include "engine/run/planner.h"
#include "tests/clikit.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

namespace {
ProcessResult Run(const QStringList& arguments, const QByteArray& input = {}) {
    return RunCli(arguments, input);
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

} // namespace

class TestCliScripts : public QObject {
    Q_OBJECT

private slots:
    void init();

    void inputsFromAFileAndFromStandardInput();
    void folderInputsWithAndWithoutExtension_data();
    void folderInputsWithAndWithoutExtension();
    void filesNamedOneByOneAreTried();
    void keepTree_data();
    void keepTree();
    void missingOutputFolderIsMade();
    void updateDoesOnlyNewWork();
    void reportIsJsonLines();
    void shardsTogetherMakeTheWholeRun_data();
    void shardsTogetherMakeTheWholeRun();
    void shardRuleIsStable();

private:
    QString path(const QString& name) const { return dir_->filePath(name); }
    QString in(const QString& name) const { return path("in/" + name); }
    QString out(const QString& name = {}) const { return path("out/" + name); }
    // An input folder of pictures in several formats, a copy of the watermark among them, and a
    // file that is no picture: in/a.jpg, b.png, mark.png, sub/c.PNG, sub/readme.txt and
    // sub/deeper/d.bmp.
    void writeInputFolder() const;
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

void TestCliScripts::writeInputFolder() const {
    QVERIFY(QDir(dir_->path()).mkpath("in/sub/deeper"));
    QVERIFY(QFile::copy(path("mark.png"), in("mark.png")));
    WritePhotos(path("in"));
    QFile text(in("sub/readme.txt"));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("words");
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

void TestCliScripts::inputsFromAFileAndFromStandardInput() {
    writeInputFolder();
    QFile list(dir_->filePath("list.txt"));
    QVERIFY(list.open(QIODevice::WriteOnly));
    list.write((in("a.jpg") + "\r\n\n" + in("sub") + "\n").toUtf8());
    list.close();
    const ProcessResult fromFile =
        Run(base() + QStringList{"--files-from", list.fileName(), in("b.png")});
    QCOMPARE(fromFile.code, 0); // readme.txt in sub/ is no picture, and so no input
    QCOMPARE(QDir(out()).entryList(QDir::Files), (QStringList{"a.jpg", "b.png", "c.PNG", "d.bmp"}));

    QDir(out()).removeRecursively();
    QDir().mkpath(out());
    const ProcessResult fromInput = Run(base() + QStringList{"--files-from", "-"},
                                        (in("b.png") + "\n" + in("a.jpg") + "\n").toUtf8());
    QCOMPARE(fromInput.code, 0);
    QCOMPARE(fromInput.errors, QStringLiteral("2 written, 0 failed, 0 skipped\n"));

    const ProcessResult unreadable = Run(base() + QStringList{"--files-from", "/no/such/list"});
    QCOMPARE(unreadable.code, 2);
}

void TestCliScripts::folderInputsWithAndWithoutExtension_data() {
    QTest::addColumn<QStringList>("extensions");
    QTest::addColumn<QStringList>("written");
    const QStringList pictures{"a.jpg", "b.png", "c.PNG", "d.bmp", "mark.png"};
    QTest::newRow("pictures only") << QStringList{} << pictures;
    QTest::newRow("one") << QStringList{"--extension", "png"}
                         << QStringList{"b.png", "c.PNG", "mark.png"};
    QTest::newRow("list, dots, capitals") << QStringList{"--extension", "jpg,.PNG"}
                                          << QStringList{"a.jpg", "b.png", "c.PNG", "mark.png"};
    QTest::newRow("repeated") << QStringList{"--extension", ".jpg", "--extension=BMP"}
                              << QStringList{"a.jpg", "d.bmp"};
    QTest::newRow("pattern") << QStringList{"--extension", "?mp"} << QStringList{"d.bmp"};
}

void TestCliScripts::folderInputsWithAndWithoutExtension() {
    writeInputFolder();
    QFETCH(QStringList, extensions);
    QFETCH(QStringList, written);
    // The folder holds readme.txt beside the pictures: no input, no message, no failed run.
    const ProcessResult result =
        Run(base() + extensions + QStringList{"--quiet", dir_->filePath("in")});
    QCOMPARE(result.code, 0);
    QCOMPARE(result.errors,
             QStringLiteral("%1 written, 0 failed, 0 skipped\n").arg(written.size()));
    QCOMPARE(QDir(out()).entryList(QDir::Files), written);
}

void TestCliScripts::filesNamedOneByOneAreTried() {
    writeInputFolder();
    // A file named on its own is the user's choice: tried, and reported when it is no picture.
    const ProcessResult result = Run(base() + QStringList{in("sub/readme.txt"), in("b.png")});
    QCOMPARE(result.code, 1);
    QVERIFY(result.errors.startsWith(in("sub/readme.txt") + ": skipped"));
    QVERIFY(result.errors.endsWith("1 written, 0 failed, 1 skipped\n"));
}

QTEST_GUILESS_MAIN(TestCliScripts)
#include "tst_cliscripts.moc"
