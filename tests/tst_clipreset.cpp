// Presets: the mark and output options kept in a file, read under the command line's own, written
// back by --save-preset, and stamping exactly as the options they were saved from.
#include "cli/cliargs.h"
#include "cli/clipreset.h"
#include "tests/clikit.h"

#include <QDir>
#include <QFile>
#include <QTest>

class TestCliPreset : public QObject, public CliFolders {
    Q_OBJECT

private slots:
    void init();
    void presetFilesAreReadOrRefusedByTheirLine_data();
    void presetFilesAreReadOrRefusedByTheirLine();
    void furtherMarksAndTheCommandLineOverThePreset();
    void aSavedPresetStampsAsItsOptionsDo();

private:
    QString writePreset(const QString& name, const QByteArray& text) const;
};

void TestCliPreset::init() {
    makeFolders();
    // A bare preset name is looked for in the configuration folder, here the test's own.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir_->filePath("config")));
}

QString TestCliPreset::writePreset(const QString& name, const QByteArray& text) const {
    const QString path = in(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        qFatal("cannot write the preset %s", qPrintable(path));
    return path;
}

void TestCliPreset::presetFilesAreReadOrRefusedByTheirLine_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("refusal"); // a part of the message; empty when the preset is taken
    QTest::addColumn<int>("placement");
    QTest::addColumn<int>("opacity");
    QTest::addColumn<bool>("strip");
    QTest::newRow("comments, quotes, a flag") << QByteArray("# mine\n; too\n\n[Mark 1]\n"
                                                            "placement = bottom-right\n"
                                                            "opacity = \"70\"\n[output]\n"
                                                            "strip-metadata = true\n")
                                              << QString() << 8 << 70 << true;
    QTest::newRow("a flag left off")
        << QByteArray("[Output]\nstrip-metadata = no\n") << QString() << 0 << 100 << false;
    QTest::newRow("unknown section")
        << QByteArray("[Marks]\n") << "line 1: unknown section [Marks]" << 0 << 0 << false;
    QTest::newRow("an option of one run")
        << QByteArray("[Output]\n\noutput = /tmp\n") << "line 3: a preset holds no option output"
        << 0 << 0 << false;
    QTest::newRow("the wrong section") << QByteArray("[Output]\nopacity = 5\n")
                                       << "opacity belongs in [Mark 1]" << 0 << 0 << false;
    QTest::newRow("before any section")
        << QByteArray("opacity = 5\n") << "opacity stands before any [section]" << 0 << 0 << false;
    QTest::newRow("no equals sign") << QByteArray("[Mark 1]\nopacity 5\n")
                                    << "is neither a [section] nor name = value" << 0 << 0 << false;
    QTest::newRow("a value refused") << QByteArray("[Mark 1]\nopacity = 300\n")
                                     << "[Mark 1]: --opacity takes a percentage" << 0 << 0 << false;
    QTest::newRow("a flag's odd value") << QByteArray("[Output]\nstrip-metadata = maybe\n")
                                        << "strip-metadata takes true or false" << 0 << 0 << false;
    QTest::newRow("a device") << QByteArray("/dev/zero") << "is not a text file" << 0 << 0 << false;
    QTest::newRow("the colour of a further mark")
        << QByteArray("[Mark 1]\nopacity = 5\n[Mark 2]\ntransparent-color = 000000\n")
        << "transparent-color belongs to Mark 1 alone" << 0 << 0 << false;
}

void TestCliPreset::presetFilesAreReadOrRefusedByTheirLine() {
    QFETCH(QByteArray, text);
    QFETCH(QString, refusal);
    const QString path = text == "/dev/zero" ? QString(text) : writePreset("look.ini", text);
    QString error;
    const std::optional<CliRequest> request = ParseArguments({"--preset", path}, error);
    if (!refusal.isEmpty()) {
        QVERIFY2(!request && error.contains(refusal), qPrintable(error));
        QVERIFY(error.contains(path));
        return;
    }
    QVERIFY2(request, qPrintable(error));
    QTEST(request->job.Placement, "placement");
    QTEST(request->job.Style.opacity, "opacity");
    QTEST(request->job.Output.stripMetadata, "strip");
}

void TestCliPreset::furtherMarksAndTheCommandLineOverThePreset() {
    QVERIFY(QDir().mkpath(PresetFolder()));
    const QString preset = PresetFolder() + "/two.ini";
    QVERIFY(QFile::copy(in("mark.png"), PresetFolder() + "/logo.png"));
    QFile file(preset);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[Mark 1]\nwatermark = logo.png\nplacement = 2\nopacity = 40\n"
               "[Mark 2]\nwatermark = logo.png\nplacement = bottom-right\nscale = 0.1\n");
    file.close();

    // A bare name is the preset of that name; the command line's options change the first mark.
    QString error;
    const std::optional<CliRequest> request =
        ParseArguments({"--placement", "4", "--preset", "two"}, error);
    QVERIFY2(request, qPrintable(error));
    QCOMPARE(request->job.Placement, 4);
    QCOMPARE(request->job.Style.opacity, 40);
    // A file named beside the preset is found there, wherever the run starts.
    QCOMPARE(request->job.WatermarkPath, PresetFolder() + "/logo.png");
    QCOMPARE(request->job.MoreMarks.size(), 1);
    const MarkLayer& second = request->job.MoreMarks[0];
    QCOMPARE(second.WatermarkPath, PresetFolder() + "/logo.png");
    QCOMPARE(second.Placement, 8);
    QCOMPARE(second.Style.scale, 0.1);
    QCOMPARE(second.Style.opacity, 100);

    // Saving over it keeps its further mark and puts the command line's in the first; a value
    // with spaces at its ends and quotes in it comes back as it went.
    const std::optional<CliRequest> saving =
        ParseArguments({"--preset", "two", "--opacity", "55", "--save-preset", "copy",
                        "--watermark", "  \"odd\" name "},
                       error);
    QVERIFY2(saving, qPrintable(error));
    QCOMPARE(saving->savePresetPath, PresetFolder() + "/copy.ini");
    QCOMPARE(WritePreset(saving->presetToSave, saving->savePresetPath), QString());
    const std::optional<Preset> back = ReadPreset(saving->savePresetPath, error);
    QVERIFY2(back, qPrintable(error));
    QCOMPARE(back->marks.size(), 2);
    QVERIFY(back->marks[0].contains(PresetOption{"opacity", "55"}));
    QVERIFY(back->marks[0].contains(PresetOption{"watermark", "  \"odd\" name "}));
    QVERIFY(!back->marks[0].contains(PresetOption{"opacity", "40"}));
    QCOMPARE(back->marks[1], saving->presetToSave.marks[1]);

    // Without [Mark 1], the first mark is the command line's and the preset's mark comes after.
    const std::optional<CliRequest> under =
        ParseArguments({"--preset", writePreset("second.ini", "[Mark 3]\ntext = {name}\n"),
                        "--watermark", "w.png"},
                       error);
    QVERIFY2(under, qPrintable(error));
    QCOMPARE(under->job.WatermarkPath, QStringLiteral("w.png"));
    QCOMPARE(under->job.MoreMarks.size(), 1);
    QCOMPARE(under->job.MoreMarks[0].Text.text, QStringLiteral("{name}"));
}

void TestCliPreset::aSavedPresetStampsAsItsOptionsDo() {
    WriteImage(Gradient(320, 240, 5), in("photo.jpg"), "jpg");
    const QStringList look{"--placement", "bottom-right", "--scale",   "0.5",
                           "--opacity",   "70",           "--quality", "85"};
    QCOMPARE(RunCli(base() + look + QStringList{in("photo.jpg")}).code, 0);

    const ProcessResult saved =
        RunCli(QStringList{"--watermark", in("mark.png"), "--save-preset", "shop"} + look);
    QCOMPARE(saved.code, 0);
    QVERIFY(QFile::exists(PresetFolder() + "/shop.ini"));
    QCOMPARE(AllFiles(out()), QStringList{"photo.jpg"}); // saving stamps nothing

    const QString again = dir_->filePath("again");
    QCOMPARE(RunCli({"--preset", "shop", "--output", again, in("photo.jpg")}).code, 0);
    QCOMPARE(Contents(again + "/photo.jpg"), Contents(out("photo.jpg")));
}

QTEST_GUILESS_MAIN(TestCliPreset)
#include "tst_clipreset.moc"
