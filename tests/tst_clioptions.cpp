// tintorel-cli's options, from the one table that parsing, --help, the manual page and the shell
// completion all follow: what each option sets and how each malformed value is refused, the forms
// an option may take, and the manual page and completion that must name every option as --help
// does.
#include "cli/cliargs.h"
#include "cli/clioptions.h"
#include "tests/clikit.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString kManual = QStringLiteral(TINTOREL_SOURCE_DIR "/cli/tintorel-cli.1");
const QString kCompletion = QStringLiteral(TINTOREL_SOURCE_DIR "/cli/tintorel-cli.bash");

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

// What the completion offers after the words, sorted; the program it asks for its options is the
// one just built.
QStringList Completed(const QStringList& words) {
    const QString script =
        QStringLiteral("PATH='%1':$PATH; source '%2'; COMP_WORDS=(tintorel-cli \"$@\"); "
                       "COMP_CWORD=$#; _tintorel_cli; printf '%s\\n' \"${COMPREPLY[@]}\"")
            .arg(TINTOREL_BIN_DIR, kCompletion);
    const ProcessResult result = RunProcess("bash", QStringList{"-c", script, "bash"} + words);
    if (result.code != 0)
        QTest::qFail(qPrintable("the completion failed: " + result.errors), __FILE__, __LINE__);
    QStringList lines = result.output.split('\n', Qt::SkipEmptyParts);
    lines.sort();
    return lines;
}

// Everything a request holds, one "name=value" line each, so that a test sees what an option set
// and that it set nothing else.
QStringList Described(const CliRequest& request) {
    const WatermarkJob& job = request.job;
    const auto number = [](double value) {
        return QString::number(value);
    };
    return {
        "inputs=" + request.inputs.join('|'),
        "watermark=" + job.WatermarkPath,
        "output=" + job.OutputFolder,
        "files-from=" + request.filesFrom,
        "report=" + request.report,
        "placement=" + number(job.Placement),
        "colour=" + QString::number(job.TransparentColor, 16),
        "key-tolerance=" + number(job.Style.keyTolerance),
        "format=" + number(int(job.Format.value_or(OutputFormat(-1)))),
        "extensions=" + request.extensions.join(','),
        "keep-tree=" + number(request.keepTree),
        "update=" + number(job.UpdateOnly),
        QStringLiteral("shard=%1/%2").arg(job.Shard.index).arg(job.Shard.count),
        "scale=" + number(job.Style.scale),
        "scale-of=" + number(int(job.Style.scaleOf)),
        "margin=" + number(job.Style.margin),
        "margin-percent=" + number(job.Style.marginPercent),
        "rotate=" + number(job.Style.rotation),
        "tile=" + number(job.Style.tile),
        "tile-gap=" + number(job.Style.tileGap),
        "tile-stagger=" + number(job.Style.tileStagger),
        "opacity=" + number(job.Style.opacity),
        "quality=" + number(job.Output.jpegQuality),
        "keep-quality=" + number(job.Output.keepJpegQuality),
        "lossless=" + number(job.Output.losslessJpeg),
        "strip-metadata=" + number(job.Output.stripMetadata),
        "jobs=" + number(request.jobs),
        "max-pixels=" + QString::number(request.maxPixels),
        "memory=" + QString::number(request.memoryBytes),
        "quiet=" + number(request.quiet),
        "help=" + number(request.help),
        "version=" + number(request.version),
    };
}
} // namespace

class TestCliOptions : public QObject, public CliFolders {
    Q_OBJECT

private slots:
    void init();

    void parsing_data();
    void parsing();
    void eachOptionSetsItsOwnValue_data();
    void eachOptionSetsItsOwnValue();
    void refusalsNameTheOptionAndTheValue_data();
    void refusalsNameTheOptionAndTheValue();
    void malformedOptionsExitWithTwo_data();
    void malformedOptionsExitWithTwo();
    void optionFormsGiveTheSameFiles();
    void helpAndVersion();
    void manualAndCompletionFollowTheTable();
    void manualRendersWithoutWarnings();
    void completionOffersValues_data();
    void completionOffersValues();
    void installPutsManualAndCompletion();
};

void TestCliOptions::init() {
    makeFolders();
    WritePhotos(dir_->filePath("in"));
    // Folders for the completion to offer.
    for (const char* folder : {"tree", "tree2"})
        QVERIFY(QDir(dir_->path()).mkpath(folder));
}

void TestCliOptions::parsing_data() {
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

void TestCliOptions::parsing() {
    QFETCH(QString, text);
    QFETCH(int, placement);
    QCOMPARE(ParsePlacement(text).value_or(-1), placement);
    // Colours as a person writes them, stored red in the low byte.
    QCOMPARE(ParseColor("FF8000").value_or(0), BgrColor(0x000080FF));
    QCOMPARE(ParseColor("#0000ff").value_or(0), BgrColor(0x00FF0000));
    QVERIFY(!ParseColor("#12345"));
    QVERIFY(!ParseColor("GG0000"));
    QCOMPARE(ParseFormat("PNG").value_or(OutputFormat::Automatic), OutputFormat::Png);
    QCOMPARE(ParseFormat("Tif").value_or(OutputFormat::Automatic), OutputFormat::Tif);
    QVERIFY(!ParseFormat("tiff"));
    QCOMPARE(ParseJpegWay("Lossless"), std::optional(true));
    QCOMPARE(ParseJpegWay("reencode"), std::optional(false));
}

void TestCliOptions::eachOptionSetsItsOwnValue_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>(
        "changed"); // the lines of Described() that differ from a bare request
    const auto row = [](const char* name, QStringList arguments, QStringList changed) {
        QTest::newRow(name) << arguments << changed;
    };
    row("watermark", {"--watermark", "m.png"}, {"watermark=m.png"});
    row("output after =", {"--output=/srv/out"}, {"output=/srv/out"});
    row("files from", {"--files-from", "-"}, {"files-from=-"});
    row("report", {"--report", "r.jsonl"}, {"report=r.jsonl"});
    row("placement by name", {"--placement", "Bottom-Right"}, {"placement=8"});
    row("colour", {"--transparent-color", "#FF8000"}, {"colour=80ff"});
    row("key tolerance", {"--key-tolerance", "32"}, {"key-tolerance=32"});
    row("format", {"--format", "bmp"}, {"format=2"});
    row("extensions, repeated", {"--extension", "jpg,.PNG", "--extension=tif"},
        {"extensions=jpg,PNG,tif"});
    row("keep tree", {"--keep-tree"}, {"keep-tree=1"});
    row("update", {"--update"}, {"update=1"});
    row("shard", {"--shard", "2/8"}, {"shard=2/8"});
    row("scale", {"--scale", "0.25"}, {"scale=0.25"});
    row("scale of the short edge", {"--scale-of", "Short"}, {"scale-of=2"});
    row("margin", {"--margin", "0"}, {"margin=0"});
    row("margin in percent", {"--margin", "2.5%"}, {"margin-percent=2.5"});
    row("the last margin wins", {"--margin", "3%", "--margin", "7"}, {"margin=7"});
    row("rotate", {"--rotate", "-30"}, {"rotate=-30"});
    row("tile", {"--tile", "--tile-gap", "0", "--tile-stagger"},
        {"tile=1", "tile-gap=0", "tile-stagger=1"});
    row("opacity", {"--opacity", "40"}, {"opacity=40"});
    row("quality", {"--quality", "90"}, {"quality=90"});
    row("quality kept", {"--quality", "keep"}, {"keep-quality=1"});
    row("lossless", {"--jpeg", "LOSSLESS"}, {"lossless=1"});
    row("strip metadata", {"--strip-metadata"}, {"strip-metadata=1"});
    row("jobs", {"--jobs", "3"}, {"jobs=3"});
    row("megapixels", {"--max-megapixels", "2.5"}, {"max-pixels=2500000"});
    row("memory in binary units", {"--memory-limit", "1.5G"}, {"memory=1610612736"});
    row("memory in bytes", {"--memory-limit=1048576"}, {"memory=1048576"});
    row("a fraction of a pixel is one", {"--max-megapixels", "1e-9"}, {"max-pixels=1"});
    row("quiet", {"--quiet"}, {"quiet=1"});
    row("help", {"--help"}, {"help=1"});
    row("version", {"--version"}, {"version=1"});
    row("inputs around options", {"a.png", "--quiet", "-", "--", "--b.png"},
        {"inputs=a.png|-|--b.png", "quiet=1"});
}

void TestCliOptions::eachOptionSetsItsOwnValue() {
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, changed);
    QString error;
    const std::optional<CliRequest> request = ParseArguments(arguments, error);
    QVERIFY2(request, qPrintable(error));
    QCOMPARE(error, QString());
    const QStringList bare = Described(CliRequest{});
    QStringList differing;
    for (const QString& line : Described(*request))
        if (!bare.contains(line))
            differing << line;
    QCOMPARE(differing, changed);
}

void TestCliOptions::refusalsNameTheOptionAndTheValue_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    const auto row = [](const char* name, QStringList arguments, const char* error) {
        QTest::newRow(name) << arguments << QString::fromUtf8(error);
    };
    row("unknown option", {"--bogus"}, "unknown option --bogus");
    row("unknown option with a value", {"--bogus=1"}, "unknown option --bogus");
    row("value for a flag", {"--quiet=yes"}, "--quiet takes no value");
    row("empty value for a flag", {"--update="}, "--update takes no value");
    row("missing value", {"--placement"}, "--placement needs a value");
    row("placement", {"--placement", "9"},
        "unknown placement \"9\" (0-8 or a name such as bottom-right)");
    row("colour", {"--transparent-color", "FFF"}, "unknown colour \"FFF\" (RRGGBB or #RRGGBB)");
    row("key tolerance", {"--key-tolerance", "256"},
        "--key-tolerance takes a number from 0 to 255, not \"256\"");
    row("format", {"--format=heic"},
        "unknown format \"heic\" (auto, jpg, bmp, png, tif, gif, webp, avif or jxl)");
    row("extension", {"--extension", ",."},
        "--extension takes extensions such as jpg or jpg,.png, not \",.\"");
    row("shard", {"--shard", "4/3"}, "--shard takes K/N with 1 <= K <= N, not \"4/3\"");
    row("scale", {"--scale", "1.5"},
        "--scale takes a share of the image above 0 and at most 1, not \"1.5\"");
    row("scale of", {"--scale-of", "diagonal"},
        "--scale-of takes width, height, short or long, not \"diagonal\"");
    row("margin", {"--margin", "-1"},
        "--margin takes a number of pixels, 0 or more, or a percentage of the short edge from 0% "
        "to 50%, not \"-1\"");
    row("margin beyond the middle", {"--margin", "50.5%"},
        "--margin takes a number of pixels, 0 or more, or a percentage of the short edge from 0% "
        "to 50%, not \"50.5%\"");
    row("rotate", {"--rotate", "left"},
        "--rotate takes an angle in degrees from -3600 to 3600, such as 30 or -45, not \"left\"");
    row("rotate without end", {"--rotate", "inf"},
        "--rotate takes an angle in degrees from -3600 to 3600, such as 30 or -45, not \"inf\"");
    row("tile gap", {"--tile-gap", "-5"},
        "--tile-gap takes a percentage of the watermark's size from 0 to 10000, not \"-5\"");
    row("tile without a value", {"--tile=yes"}, "--tile takes no value");
    row("opacity", {"--opacity", "101"}, "--opacity takes a percentage from 0 to 100, not \"101\"");
    row("quality", {"--quality", "best"}, "--quality takes 1 to 100 or keep, not \"best\"");
    row("JPEG way", {"--jpeg", "best"}, "--jpeg takes reencode or lossless, not \"best\"");
    row("jobs", {"--jobs", "0"}, "--jobs takes a number of workers, 1 or more, not \"0\"");
    row("megapixels", {"--max-megapixels", "1e300"},
        "--max-megapixels takes a number of megapixels above 0 and at most 1000000, not \"1e300\"");
    row("memory", {"--memory-limit", "2Q"},
        "--memory-limit takes a size such as 512M or 2G, not \"2Q\"");
    row("no memory", {"--memory-limit", "0"},
        "--memory-limit takes a size such as 512M or 2G, not \"0\"");
    row("first refusal wins", {"--jobs", "x", "--bogus"},
        "--jobs takes a number of workers, 1 or more, not \"x\"");
}

void TestCliOptions::refusalsNameTheOptionAndTheValue() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QString reason;
    QVERIFY(!ParseArguments(arguments, reason));
    QCOMPARE(reason, error);
}

void TestCliOptions::malformedOptionsExitWithTwo_data() {
    QTest::addColumn<QStringList>("extra");
    QTest::newRow("placement 9") << QStringList{"--placement", "9"};
    QTest::newRow("unknown format") << QStringList{"--format", "heic"};
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
    QTest::newRow("scale of the diagonal") << QStringList{"--scale-of", "diagonal"};
    QTest::newRow("margin in per mille") << QStringList{"--margin", "5%%"};
    QTest::newRow("rotate not a number") << QStringList{"--rotate", "NaN"};
    QTest::newRow("negative tile gap") << QStringList{"--tile-gap", "-1"};
}

void TestCliOptions::malformedOptionsExitWithTwo() {
    QFETCH(QStringList, extra);
    const ProcessResult result = RunCli(base() + QStringList{in("b.png")} + extra);
    QCOMPARE(result.code, 2);
    const QStringList lines = result.errors.trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].startsWith("tintorel-cli: "));
    QCOMPARE(lines[1], QStringLiteral("Try 'tintorel-cli --help' for more."));
    QVERIFY(QDir(out()).isEmpty());
}

void TestCliOptions::optionFormsGiveTheSameFiles() {
    QVERIFY(RunCli(base() + QStringList{"--placement", "8", "--transparent-color", "FFFFFF",
                                        "--format", "png", in("a.jpg")})
                .code == 0);
    const QByteArray first = Contents(out("a.png"));
    QVERIFY(!first.isEmpty());
    QVERIFY(QFile::remove(out("a.png")));
    QVERIFY(RunCli(base() + QStringList{"--placement=bottom-right", "--transparent-color=#ffffff",
                                        "--format=PNG", in("a.jpg")})
                .code == 0);
    QCOMPARE(Contents(out("a.png")), first);

    // Another colour key copies the watermark's white too.
    QVERIFY(RunCli(base() + QStringList{"--transparent-color", "000000", "--format", "png",
                                        "--placement", "0", in("a.jpg")})
                .code == 0);
    QCOMPARE(QImage(out("a.png")).pixel(1, 1), qRgb(255, 255, 255));

    // Every format Automatic writes can be asked for by name, and is what its extension says.
    for (const char* format : {"tif", "gif"}) {
        QVERIFY(RunCli(base() + QStringList{"--format", format, in("a.jpg")}).code == 0);
        QImageReader written(out(QStringLiteral("a.") + format));
        QCOMPARE(written.format(), format == QByteArray("tif") ? QByteArray("tiff") : "gif");
        QVERIFY(!written.read().isNull());
    }
}

void TestCliOptions::helpAndVersion() {
    const ProcessResult help = RunCli({"--help"});
    QCOMPARE(help.code, 0);
    QCOMPARE(help.output, UsageText());
    QVERIFY(help.output.contains("--transparent-color"));
    QVERIFY(help.errors.isEmpty());
    const ProcessResult version = RunCli({"--version"});
    QCOMPARE(version.code, 0);
    QVERIFY(version.output.startsWith("tintorel-cli "));
}

void TestCliOptions::manualAndCompletionFollowTheTable() {
    QSet<QString> table;
    QStringList offered;
    for (const CliOption& option : CliOptions()) {
        table.insert(option.name);
        offered << QStringLiteral("--") + option.name;
    }
    QCOMPARE(table.size(), qsizetype(CliOptions().size()));
    QCOMPARE(NamedOptions(RunCli({"--help"}).output, "(?m)^  --([a-z-]+)"), table);
    const QString manual = QString::fromUtf8(Contents(kManual));
    QCOMPARE(NamedOptions(manual, "(?m)^\\.BI? \\\\-\\\\-([a-z\\\\-]+)"), table);
    offered.sort();
    QCOMPARE(Completed({"--"}), offered);
    // Each option's paragraph: its name with its value's name, then its description word for word.
    const QStringList manualLines = manual.split('\n');
    const QString text = ManualText();
    for (const CliOption& option : CliOptions()) {
        const QString name = QStringLiteral("\\-\\-") + QString(option.name).replace("-", "\\-");
        const QString head = option.value ? QStringLiteral(".BI %1 \" %2\"").arg(name, option.value)
                                          : QStringLiteral(".B ") + name;
        QVERIFY2(manualLines.contains(head), qPrintable(head));
        const QString description = QString::fromUtf8(option.help).replace('\n', ' ');
        QVERIFY2(text.contains(description), option.name);
    }
}

void TestCliOptions::manualRendersWithoutWarnings() {
    if (QStandardPaths::findExecutable("groff").isEmpty())
        QSKIP("groff is not installed");
    const ProcessResult result = RunProcess("groff", {"-man", "-ww", "-z", kManual});
    QCOMPARE(result.code, 0);
    QCOMPARE(result.errors, QString());
}

void TestCliOptions::completionOffersValues_data() {
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

void TestCliOptions::completionOffersValues() {
    QFETCH(QStringList, words);
    QFETCH(QStringList, offered);
    words.replaceInStrings("TMP", dir_->path());
    offered.replaceInStrings("TMP", dir_->path());
    QCOMPARE(Completed(words), offered);
}

void TestCliOptions::installPutsManualAndCompletion() {
    const ProcessResult result =
        RunProcess("cmake", {"--install", TINTOREL_BUILD_DIR, "--prefix", dir_->filePath("prefix")},
                   {}, 120000);
    QCOMPARE(result.code, 0);
    QCOMPARE(Contents(dir_->filePath("prefix/share/man/man1/tintorel-cli.1")), Contents(kManual));
    QCOMPARE(Contents(dir_->filePath("prefix/share/bash-completion/completions/tintorel-cli")),
             Contents(kCompletion));
}

QTEST_GUILESS_MAIN(TestCliOptions)
#include "tst_clioptions.moc"
