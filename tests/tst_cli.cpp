// tintorel-cli run as a process, as scripts run it: option forms, exit codes, the summary, the
// progress display, inputs from files, standard input and folders, and output identical to the
// window's run.
#include "app/form1.h"
#include "cli/cliargs.h"
#include "engine/run/batch.h"
#include "filelist/imagelist.h"
#include "options/colorswatch.h"
#include "options/optionspanel.h"
#include "tests/testkit.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString kCli = QStringLiteral(TINTOREL_BIN_DIR "/tintorel-cli");

using Result = ProcessResult;

Result Run(const QStringList& arguments, const QByteArray& input = {}) {
    return RunProcess(kCli, arguments, input);
}
} // namespace

class TestCli : public QObject {
    Q_OBJECT

private slots:
    void init();

    void parsing_data();
    void parsing();
    void malformedOptionsExitWithTwo_data();
    void malformedOptionsExitWithTwo();
    void checksExitWithTwo_data();
    void checksExitWithTwo();

    void everythingWrittenExitsWithZero();
    void failuresAndSkipsExitWithOne();
    void optionFormsGiveTheSameFiles();
    void inputsFromAFileAndFromStandardInput();
    void folderInputsWithAndWithoutExtension_data();
    void folderInputsWithAndWithoutExtension();
    void filesNamedOneByOneAreTried();
    void progressOnlyOnATerminal();
    void sameFilesAsTheWindowsRun();

private:
    QString in(const QString& name) const { return dir_->filePath("in/" + name); }
    QString out(const QString& name = {}) const { return dir_->filePath("out/" + name); }
    QStringList base() const {
        return {"--watermark", in("mark.png"), "--output", out().chopped(1)};
    }
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestCli::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QDir(dir_->path()).mkpath("in/sub/deeper");
    QDir(dir_->path()).mkpath("out");
    QImage mark = SolidImage(12, 8, qRgb(255, 255, 255));
    for (int x = 2; x < 10; ++x)
        mark.setPixel(x, 4, qRgb(220, 20, 20));
    WriteImage(mark, in("mark.png"), "png");
    QImage photo(90, 70, QImage::Format_RGB32);
    for (int y = 0; y < photo.height(); ++y)
        for (int x = 0; x < photo.width(); ++x)
            photo.setPixel(x, y, qRgb(x * 2, y * 3, 100));
    WriteImage(photo, in("a.jpg"), "jpeg");
    WriteImage(photo, in("b.png"), "png");
    WriteImage(photo, in("sub/c.PNG"), "png");
    WriteImage(photo, in("sub/deeper/d.bmp"), "bmp");
    QFile text(in("sub/readme.txt"));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("words");
}

void TestCli::parsing_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("placement");
    QTest::newRow("number") << "8" << 8;
    QTest::newRow("name") << "bottom-right" << 8;
    QTest::newRow("name in capitals") << "Middle-Middle" << 4;
    QTest::newRow("first") << "upper-left" << 0;
    QTest::newRow("out of range") << "9" << -1;
    QTest::newRow("negative") << "-1" << -1;
    QTest::newRow("unknown name") << "centre" << -1;
}

void TestCli::parsing() {
    QFETCH(QString, text);
    QFETCH(int, placement);
    QCOMPARE(ParsePlacement(text).value_or(-1), placement);
    // Colours as a person writes them, stored red in the low byte.
    QCOMPARE(ParseColor("FF8000").value_or(0), BgrColor(0x000080FF));
    QCOMPARE(ParseColor("#0000ff").value_or(0), BgrColor(0x00FF0000));
    QVERIFY(!ParseColor("#12345"));
    QVERIFY(!ParseColor("GG0000"));
    QCOMPARE(ParseFormat("PNG").value_or(OutputFormat::Automatic), OutputFormat::Png);
    QVERIFY(!ParseFormat("gif"));
    QCOMPARE(ParseJpegWay("Lossless"), std::optional(true));
    QCOMPARE(ParseJpegWay("reencode"), std::optional(false));
}

void TestCli::malformedOptionsExitWithTwo_data() {
    QTest::addColumn<QStringList>("extra");
    QTest::newRow("placement 9") << QStringList{"--placement", "9"};
    QTest::newRow("unknown format") << QStringList{"--format", "gif"};
    QTest::newRow("short colour") << QStringList{"--transparent-color", "FFF"};
    QTest::newRow("unknown option") << QStringList{"--bogus"};
    QTest::newRow("missing value") << QStringList{"--placement"};
    QTest::newRow("value for a flag") << QStringList{"--quiet=yes"};
    QTest::newRow("shard 0") << QStringList{"--shard", "0/3"};
    QTest::newRow("shard past the count") << QStringList{"--shard", "4/3"};
    QTest::newRow("shard without count") << QStringList{"--shard", "2"};
    QTest::newRow("no extension") << QStringList{"--extension", ",."};
    QTest::newRow("unknown JPEG way") << QStringList{"--jpeg", "best"};
    QTest::newRow("no megapixels") << QStringList{"--max-megapixels", "0"};
    QTest::newRow("megapixels not a number") << QStringList{"--max-megapixels", "lots"};
    QTest::newRow("megapixels beyond any memory") << QStringList{"--max-megapixels", "1e300"};
    QTest::newRow("no memory") << QStringList{"--memory-limit", "0"};
    QTest::newRow("memory in an unknown unit") << QStringList{"--memory-limit", "2Q"};
    QTest::newRow("memory not a number") << QStringList{"--memory-limit", "lots"};
    QTest::newRow("memory beyond any machine") << QStringList{"--memory-limit", "9999999T"};
}

void TestCli::malformedOptionsExitWithTwo() {
    QFETCH(QStringList, extra);
    const Result result = Run(base() + QStringList{in("b.png")} + extra);
    QCOMPARE(result.code, 2);
    const QStringList lines = result.errors.trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].startsWith("tintorel-cli: "));
    QCOMPARE(lines[1], QStringLiteral("Try 'tintorel-cli --help' for more."));
    QVERIFY(QDir(out()).isEmpty());
}

void TestCli::checksExitWithTwo_data() {
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

void TestCli::checksExitWithTwo() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    arguments.replaceInStrings("WATERMARK", in("mark.png"));
    arguments.replaceInStrings("NEW", dir_->filePath("new"));
    const Result result = Run(arguments);
    QCOMPARE(result.code, 2);
    QCOMPARE(result.errors, message.replace("WATERMARK", in("mark.png")) + "\n");
    // A run that cannot start makes no output folder.
    QVERIFY(!QFileInfo::exists(dir_->filePath("new")));
}

void TestCli::everythingWrittenExitsWithZero() {
    const Result result = Run(base() + QStringList{in("a.jpg"), in("b.png")});
    QCOMPARE(result.code, 0);
    QCOMPARE(result.errors, QStringLiteral("2 written, 0 failed, 0 skipped\n"));
    QCOMPARE(QDir(out()).entryList(QDir::Files), (QStringList{"a.jpg", "b.png"}));
    QVERIFY(result.output.isEmpty());
    QVERIFY(Run({"--help"}).output.contains("--transparent-color"));
    QCOMPARE(Run({"--version"}).code, 0);
}

void TestCli::failuresAndSkipsExitWithOne() {
    const Result failed = Run(base() + QStringList{in("missing.png"), in("b.png")});
    QCOMPARE(failed.code, 1);
    QVERIFY(failed.errors.startsWith(in("missing.png") + ": "));
    QVERIFY(failed.errors.endsWith("1 written, 1 failed, 0 skipped\n"));

    QFile::copy(in("b.png"), in("b.webpx"));
    const Result skipped = Run(base() + QStringList{in("b.webpx")});
    QCOMPARE(skipped.code, 1);
    QVERIFY(skipped.errors.startsWith(in("b.webpx") + ": skipped"));
    QVERIFY(skipped.errors.endsWith("0 written, 0 failed, 1 skipped\n"));

    // Writing into the inputs' own folder would replace them: each is reported and skipped.
    const QByteArray before = Contents(in("b.png"));
    const Result own = Run({"--watermark", in("mark.png"), "--output", dir_->filePath("in"),
                            in("b.png")});
    QCOMPARE(own.code, 1);
    QVERIFY(own.errors.endsWith("0 written, 0 failed, 1 skipped\n"));
    QCOMPARE(Contents(in("b.png")), before);
}

void TestCli::optionFormsGiveTheSameFiles() {
    QVERIFY(Run(base() + QStringList{"--placement", "8", "--transparent-color", "FFFFFF",
                                     "--format", "png", in("a.jpg")})
                .code == 0);
    const QByteArray first = Contents(out("a.png"));
    QVERIFY(!first.isEmpty());
    QVERIFY(QFile::remove(out("a.png")));
    QVERIFY(Run(base() + QStringList{"--placement=bottom-right", "--transparent-color=#ffffff",
                                     "--format=PNG", in("a.jpg")})
                .code == 0);
    QCOMPARE(Contents(out("a.png")), first);

    // Another colour key copies the watermark's white too.
    QVERIFY(Run(base() + QStringList{"--transparent-color", "000000", "--format", "png",
                                     "--placement", "0", in("a.jpg")})
                .code == 0);
    QCOMPARE(QImage(out("a.png")).pixel(1, 1), qRgb(255, 255, 255));
}

void TestCli::inputsFromAFileAndFromStandardInput() {
    QFile list(dir_->filePath("list.txt"));
    QVERIFY(list.open(QIODevice::WriteOnly));
    list.write((in("a.jpg") + "\r\n\n" + in("sub") + "\n").toUtf8());
    list.close();
    const Result fromFile = Run(base() + QStringList{"--files-from", list.fileName(), in("b.png")});
    QCOMPARE(fromFile.code, 0); // readme.txt in sub/ is no picture, and so no input
    QCOMPARE(QDir(out()).entryList(QDir::Files),
             (QStringList{"a.jpg", "b.png", "c.PNG", "d.bmp"}));

    QDir(out()).removeRecursively();
    QDir().mkpath(out());
    const Result fromInput = Run(base() + QStringList{"--files-from", "-"},
                                 (in("b.png") + "\n" + in("a.jpg") + "\n").toUtf8());
    QCOMPARE(fromInput.code, 0);
    QCOMPARE(fromInput.errors, QStringLiteral("2 written, 0 failed, 0 skipped\n"));

    const Result unreadable = Run(base() + QStringList{"--files-from", "/no/such/list"});
    QCOMPARE(unreadable.code, 2);
}

void TestCli::folderInputsWithAndWithoutExtension_data() {
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

void TestCli::folderInputsWithAndWithoutExtension() {
    QFETCH(QStringList, extensions);
    QFETCH(QStringList, written);
    // The folder holds readme.txt beside the pictures: no input, no message, no failed run.
    const Result result = Run(base() + extensions + QStringList{"--quiet", dir_->filePath("in")});
    QCOMPARE(result.code, 0);
    QCOMPARE(result.errors,
             QStringLiteral("%1 written, 0 failed, 0 skipped\n").arg(written.size()));
    QCOMPARE(QDir(out()).entryList(QDir::Files), written);
}

void TestCli::filesNamedOneByOneAreTried() {
    // A file named on its own is the user's choice: tried, and reported when it is no picture.
    const Result result = Run(base() + QStringList{in("sub/readme.txt"), in("b.png")});
    QCOMPARE(result.code, 1);
    QVERIFY(result.errors.startsWith(in("sub/readme.txt") + ": skipped"));
    QVERIFY(result.errors.endsWith("1 written, 0 failed, 1 skipped\n"));
}

void TestCli::progressOnlyOnATerminal() {
    const Result piped = Run(base() + QStringList{in("a.jpg"), in("b.png")});
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

void TestCli::sameFilesAsTheWindowsRun() {
    const QStringList inputs{in("a.jpg"), in("b.png"), in("sub/c.PNG"), in("sub/deeper/d.bmp")};
    for (int format = 0; format < kOutputFormatCount; ++format) {
        const QString windowOut = dir_->filePath(QString("window%1").arg(format));
        const QString cliOut = dir_->filePath(QString("cli%1").arg(format));
        QDir().mkpath(windowOut);
        QDir().mkpath(cliOut);

        ScriptedPrompter prompter;
        Form1 form(prompter);
        form.drawHomePageNumber = [] { return 1; };
        form.Form_Load();
        for (const QString& input : inputs)
            form.ListView1->append(input);
        form.options->Text1->setText(in("mark.png"));
        form.options->Text2->setText(windowOut);
        form.options->Combo1->setCurrentIndex(5);
        form.options->pColor->setColor(0x00FFFFFF);
        form.options->Option1[format]->setChecked(true);
        form.PushButton2_Click();
        QCOMPARE(prompter.messages(), QStringList{kDoneMessage});

        const char* formats[] = {"auto", "jpg", "bmp", "png"};
        const Result result = Run(QStringList{"--watermark", in("mark.png"), "--output", cliOut,
                                              "--placement", "middle-right", "--format",
                                              formats[format]} +
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

QTEST_MAIN(TestCli)
#include "tst_cli.moc"
