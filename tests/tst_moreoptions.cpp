// The "More Options" dialog: its choices in the job, the settings and the presets, the presets
// read and written by the command line's own code, the window's run against tintorel-cli with the
// same preset, the live preview's speed, and the dialog for the keyboard and a screen reader.
#include "cli/cliargs.h"
#include "engine/io/resize.h"
#include "filelist/imagelist.h"
#include "options/livepreview.h"
#include "options/moreoptions.h"
#include "options/optionspanel.h"
#include "options/preview.h"
#include "options/previewmaker.h"
#include "support/paths.h"
#include "support/settings.h"
#include "tests/clikit.h"
#include "tests/windowkit.h"

#include <QAccessible>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

namespace {
// A sanitized build runs several times slower; the preview's bound is for the program as shipped.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kSlowdown = 5;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr int kSlowdown = 5;
#else
constexpr int kSlowdown = 1;
#endif
#else
constexpr int kSlowdown = 1;
#endif

QString Describe(const StampStyle& s) {
    return QStringLiteral("scale %1 of %2 margin %3/%4% opacity %5 key %6 turn %7 tile %8 gap %9 "
                          "stagger %10")
        .arg(s.scale)
        .arg(int(s.scaleOf))
        .arg(s.margin)
        .arg(s.marginPercent)
        .arg(s.opacity)
        .arg(s.keyTolerance)
        .arg(s.rotation)
        .arg(s.tile)
        .arg(s.tileGap)
        .arg(s.tileStagger);
}

QString Describe(const TextStyle& t) {
    return QStringLiteral("text \"%1\" font \"%2\" colour %3 size %4 outline %5 shadow %6")
        .arg(t.text, t.font)
        .arg(t.color, 8, 16)
        .arg(t.sizePercent)
        .arg(t.outline)
        .arg(t.shadow);
}

// Every option a preset holds, one a line, so that a difference reads as the option it is.
QString Describe(const WatermarkJob& job) {
    QStringList lines = {
        QStringLiteral("watermark ") + job.WatermarkPath,
        QStringLiteral("placement %1").arg(job.Placement),
        QStringLiteral("transparent %1").arg(job.TransparentColor, 6, 16),
        QStringLiteral("format %1").arg(job.Format ? int(*job.Format) : -1),
        Describe(job.Style),
        Describe(job.Text),
        QStringLiteral("quality %1 keep %2 lossless %3 strip %4")
            .arg(job.Output.jpegQuality)
            .arg(job.Output.keepJpegQuality)
            .arg(job.Output.losslessJpeg)
            .arg(job.Output.stripMetadata),
        QStringLiteral("name ") + job.NamePattern,
    };
    for (const MarkLayer& layer : job.MoreMarks)
        lines << QStringLiteral("mark %1 at %2: ").arg(layer.WatermarkPath).arg(layer.Placement) +
                     Describe(layer.Text) + QLatin1Char(' ') + Describe(layer.Style);
    return lines.join(QLatin1Char('\n'));
}

bool InsideABox(const QWidget* widget) {
    return qobject_cast<const QLineEdit*>(widget) &&
           (qobject_cast<QComboBox*>(widget->parent()) ||
            qobject_cast<QAbstractSpinBox*>(widget->parent()));
}

// The job the command line makes of the arguments, which it takes.
WatermarkJob JobOf(const QStringList& arguments) {
    QString error;
    const std::optional<CliRequest> request = ParseArguments(arguments, error);
    if (!request)
        qWarning("%s", qPrintable(error));
    return request ? request->job : WatermarkJob();
}
} // namespace

class TestMoreOptions : public WindowTest {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void aPresetReadsBackAsTheJob_data();
    void aPresetReadsBackAsTheJob();
    void theChoicesAreRememberedUnderNewKeys();
    void theDialogFillsTheWindowsJob();
    void presetsAreSavedUsedAndDeleted();
    void theWindowWritesWhatTheCommandLineWrites();
    void theLivePreviewRedrawsSoonAfterAChange();
    void bothPreviewsShowTheTextMark();
    void everyControlIsNamedAndReachedByTab();

private:
    // Opens the dialog as its button does.
    MoreOptionsDialog* open();
    // n pictures in in/, listed in the window; JPEGs and a PNG, so that both encoders write.
    QStringList addPictures(int n);

    std::unique_ptr<QTemporaryDir> home_;
};

void TestMoreOptions::init() {
    home_ = std::make_unique<QTemporaryDir>();
    qputenv("HOME", home_->path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home_->path() + "/config").toLocal8Bit());
    SetProgramFolderForTesting(home_->path() + "/program");
    QDir(home_->path()).mkpath("program");
    QDir(home_->path()).mkpath("in");
    QDir(home_->path()).mkpath("out");
    WriteImage(CliMark(), home_->path() + "/in/mark.png", "png");
}

void TestMoreOptions::cleanup() {
    stop();
    SetProgramFolderForTesting(QString());
}

MoreOptionsDialog* TestMoreOptions::open() {
    QTest::mouseClick(form_->options->MoreOptions, Qt::LeftButton);
    MoreOptionsDialog* dialog = form_->options->moreOptionsDialog();
    if (dialog && !QTest::qWaitForWindowExposed(dialog))
        return nullptr;
    return dialog;
}

QStringList TestMoreOptions::addPictures(int n) {
    QStringList paths;
    for (int i = 0; i < n; ++i) {
        const bool png = i == n - 1;
        const QString path =
            home_->path() + QStringLiteral("/in/photo%1.%2").arg(i).arg(png ? "png" : "jpg");
        WriteImage(Gradient(320 + 16 * i, 240, i), path, png ? "png" : "jpg");
        form_->ListView1->append(path);
        paths << path;
    }
    return paths;
}

void TestMoreOptions::aPresetReadsBackAsTheJob_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("nothing beyond the defaults") << QStringList{};
    QTest::newRow("picture placed")
        << QStringList{"--watermark", "/srv/mark.png", "--placement", "bottom-right"};
    QTest::newRow("text with variables")
        << QStringList{"--text",         "(c) {year} {artist|Ada}\\n{name}",
                       "--font",         "DejaVu Serif",
                       "--text-color",   "FF000080",
                       "--text-size",    "6.5",
                       "--text-outline", "--text-shadow"};
    QTest::newRow("text with leading spaces and quotes") << QStringList{"--text", "  \"x\" \\ "};
    QTest::newRow("size, margin, opacity")
        << QStringList{"--scale", "0.25", "--margin", "12", "--opacity", "40"};
    QTest::newRow("margin 0") << QStringList{"--margin", "0"};
    QTest::newRow("margin in percent") << QStringList{"--margin", "2.5%"};
    QTest::newRow("size of the short edge") << QStringList{"--scale", "0.3", "--scale-of", "short"};
    QTest::newRow("turned and tiled")
        << QStringList{"--rotate", "-30", "--tile", "--tile-gap", "50", "--tile-stagger"};
    QTest::newRow("colour key") << QStringList{"--transparent-color", "00FF80", "--key-tolerance",
                                               "20"};
    QTest::newRow("output") << QStringList{"--format", "png",        "--quality",       "90",
                                           "--name",   "{name}-web", "--strip-metadata"};
    QTest::newRow("own tables, lossless, TIFF")
        << QStringList{"--quality", "keep", "--jpeg", "lossless", "--format", "tif"};
    QTest::newRow("GIF") << QStringList{"--format", "gif"};
    QTest::newRow("the long edge, WebP") << QStringList{"--resize", "2048", "--format", "webp"};
    QTest::newRow("a box, enlarged") << QStringList{"--resize", "800x600", "--enlarge"};
    QTest::newRow("percent") << QStringList{"--resize", "50%"};
}

void TestMoreOptions::aPresetReadsBackAsTheJob() {
    QFETCH(QStringList, arguments);
    QString error;
    const std::optional<CliRequest> request = ParseArguments(arguments, error);
    // The marks' turns, tiles and shares come with the command line's options for them.
    if (!request && (error.startsWith("unknown option") || error.startsWith("--margin")))
        QSKIP(qPrintable("the command line does not take it yet: " + error));
    QVERIFY2(request, qPrintable(error));
    const WatermarkJob job = request->job;
    const QString path = home_->path() + "/row.ini";
    QCOMPARE(WritePreset(PresetOf(job), path), QString());
    const std::optional<WatermarkJob> read = JobOfPreset(path, error);
    QVERIFY2(read, qPrintable(error));
    QCOMPARE(Describe(*read), Describe(job));
}

void TestMoreOptions::theChoicesAreRememberedUnderNewKeys() {
    SaveSetting(SettingKey::Placement, "3");
    SaveSetting(SettingKey::SaveOption, "2");
    SaveSetting(SettingKey::JpegLossless, "true");
    MoreChoices choices =
        ChoicesOf(JobOf({"--text", "{n:04} {camera}", "--text-size", "3", "--text-shadow",
                         "--scale", "0.5", "--margin", "7", "--opacity", "55", "--quality", "88",
                         "--strip-metadata", "--name", "{name}-x"}));
    choices.moreFormat = OutputFormat::Gif;
    choices.preset = "web";
    SaveChoices(choices);
    const MoreChoices restored = RestoreChoices();
    QCOMPARE(restored.useText, true);
    QCOMPARE(restored.moreFormat, std::optional(OutputFormat::Gif));
    QCOMPARE(restored.preset, QString("web"));
    WatermarkJob saved, read;
    ApplyChoices(choices, saved);
    ApplyChoices(restored, read);
    QCOMPARE(Describe(read), Describe(saved));
    // The keys the window had keep their values and meaning.
    QCOMPARE(GetSetting(SettingKey::Placement), QString("3"));
    QCOMPARE(GetSetting(SettingKey::SaveOption), QString("2"));
    QCOMPARE(GetSetting(SettingKey::JpegLossless), QString("true"));
    const QByteArray stored = Contents(home_->path() + "/config/Varnholt.conf");
    QVERIFY2(stored.contains("[Tintorel]") && stored.contains("MarkOpacity=55") &&
                 stored.contains("MoreFormat=gif"),
             stored.constData());

    // A stored value the command line refuses leaves that choice as it is by default.
    SaveSetting("MarkOpacity", "500");
    SaveSetting("MarkText", "{nosuchvariable");
    SaveSetting("MarkKind", "picture");
    const MoreChoices refused = RestoreChoices();
    QCOMPARE(refused.style.opacity, 100);
    QCOMPARE(refused.useText, false);
    QCOMPARE(refused.style.margin, 7);
}

void TestMoreOptions::theDialogFillsTheWindowsJob() {
    start();
    form_->options->Text1->setText(home_->path() + "/in/mark.png");
    form_->show();
    MoreOptionsDialog* dialog = open();
    QVERIFY(dialog);
    QCOMPARE(dialog->windowTitle(), QString("More Options"));
    QTest::mouseClick(dialog->textMark, Qt::LeftButton);
    dialog->text->setFocus();
    QTest::keyClicks(dialog->text, "(c) ");
    // The menu inserts a variable where the cursor is.
    const QList<QAction*> variables = dialog->textVariables->menu()->actions();
    const auto year = std::find_if(variables.begin(), variables.end(),
                                   [](QAction* action) { return action->text() == "{year}"; });
    QVERIFY(year != variables.end());
    (*year)->trigger();
    dialog->opacity->setValue(60);
    dialog->scale->setValue(20);
    dialog->marginUnit->setCurrentIndex(0);
    dialog->margin->setValue(9);
    dialog->outline->setChecked(true);
    dialog->tabs->setCurrentIndex(1);
    dialog->quality->setValue(90);
    dialog->stripMetadata->setChecked(true);
    dialog->namePattern->setText("{name}-web");
    dialog->moreFormat->setCurrentIndex(dialog->moreFormat->findText("GIF"));
    dialog->resize->setCurrentIndex(int(ResizeKind::Box));
    dialog->resizeWidth->setValue(1200);
    dialog->resizeHeight->setValue(900);

    WatermarkJob job = form_->options->readOptions();
    QCOMPARE(job.Output.resize, (ResizeRule{ResizeKind::Box, 1200, 900, 0, false}));
    QCOMPARE(job.Text.text, QString("(c) {year}"));
    QVERIFY(job.Text.outline);
    QCOMPARE(job.WatermarkPath, QString()); // the text is the mark
    QCOMPARE(job.Style.opacity, 60);
    QCOMPARE(job.Style.scale, 0.2);
    QCOMPARE(job.Style.margin, 9);
    QCOMPARE(job.Output.jpegQuality, 90);
    QVERIFY(job.Output.stripMetadata);
    QCOMPARE(job.NamePattern, QString("{name}-web"));
    QCOMPARE(job.Format, std::optional(OutputFormat::Gif));
    // The list's format stands alone: no button shows chosen, and a button chosen wins again.
    QCOMPARE(form_->options->Option1Group->checkedId(), -1);
    QTest::mouseClick(form_->options->Option1[int(OutputFormat::Png)], Qt::LeftButton);
    QCOMPARE(form_->options->readOptions().Format, std::optional(OutputFormat::Png));
    QCOMPARE(dialog->moreFormat->currentIndex(), 0);

    // The picture again: the watermark field's picture is the mark, the text is kept for later.
    QTest::mouseClick(dialog->pictureMark, Qt::LeftButton);
    job = form_->options->readOptions();
    QCOMPARE(job.WatermarkPath, home_->path() + "/in/mark.png");
    QCOMPARE(job.Text.text, QString());
    QCOMPARE(form_->options->moreChoices().text.text, QString("(c) {year}"));
    // A logo and a text line together: the line takes the page's text style.
    dialog->tabs->setCurrentIndex(0);
    dialog->secondMark->setChecked(true);
    dialog->secondText->setText("{name}");
    dialog->secondPlacement->setCurrentIndex(int(WatermarkPlacement::BottomLeft));
    job = form_->options->readOptions();
    QCOMPARE(job.MoreMarks.size(), 1);
    QCOMPARE(job.MoreMarks[0].Text.text, QString("{name}"));
    QVERIFY(job.MoreMarks[0].Text.outline);
    QCOMPARE(job.MoreMarks[0].Placement, int(WatermarkPlacement::BottomLeft));
    QCOMPARE(job.MoreMarks[0].Style.opacity, 60);

    // Everything is there after a restart.
    stop();
    start();
    job = form_->options->readOptions();
    QCOMPARE(job.Style.opacity, 60);
    QCOMPARE(job.Format, std::optional(OutputFormat::Png));
    QCOMPARE(form_->options->moreChoices().text.text, QString("(c) {year}"));
    QCOMPARE(job.MoreMarks.size(), 1);
    QCOMPARE(job.MoreMarks[0].Placement, int(WatermarkPlacement::BottomLeft));
    dialog = open();
    QVERIFY(dialog);
    QVERIFY(dialog->secondMark->isChecked());
    QCOMPARE(dialog->secondText->text(), QString("{name}"));
    dialog->secondMark->setChecked(false);
    QCOMPARE(form_->options->readOptions().MoreMarks.size(), 0);
}

void TestMoreOptions::presetsAreSavedUsedAndDeleted() {
    start();
    form_->options->Text1->setText(home_->path() + "/in/mark.png");
    form_->show();
    MoreOptionsDialog* dialog = open();
    QVERIFY(dialog);
    dialog->opacity->setValue(70);
    dialog->tabs->setCurrentIndex(1);
    dialog->quality->setValue(95);
    form_->options->Combo1->setCurrentIndex(4);
    dialog->secondMark->setChecked(true);
    dialog->secondText->setText("(c) {year}");

    prompter_->textAnswers << QString("a/b") << QString(" web ");
    dialog->saveAsClick();
    QCOMPARE(prompter_->count("message"), 1); // the name with a folder is refused
    dialog->saveAsClick();
    QVERIFY(QFile::exists(PresetPath("web")));
    QCOMPARE(dialog->presets->count(), 1);
    QCOMPARE(dialog->presets->currentItem()->text(), QString("web"));
    QCOMPARE(form_->options->moreChoices().preset, QString("web"));
    // The file is the command line's: it reads back as the window's job.
    QString error;
    const std::optional<WatermarkJob> read = JobOfPreset(PresetPath("web"), error);
    QVERIFY2(read, qPrintable(error));
    QCOMPARE(Describe(*read), Describe(form_->options->readOptions()));

    // Changed, then the preset used again: its options are back in the dialog and the window.
    dialog->opacity->setValue(20);
    form_->options->Combo1->setCurrentIndex(0);
    dialog->usePresetClick();
    QCOMPARE(dialog->opacity->value(), 70);
    QCOMPARE(form_->options->Combo1->currentIndex(), 4);
    QCOMPARE(form_->options->readOptions().Output.jpegQuality, 95);
    // Save writes over the preset in use without asking.
    dialog->opacity->setValue(30);
    dialog->saveClick();
    QCOMPARE(JobOfPreset(PresetPath("web"), error)->Style.opacity, 30);

    // Remembered with the other settings.
    stop();
    start();
    QCOMPARE(form_->options->moreChoices().preset, QString("web"));
    dialog = open();
    QVERIFY(dialog);
    QCOMPARE(dialog->presets->currentItem()->text(), QString("web"));

    prompter_->yesNoAnswers << false << true;
    dialog->removeClick();
    QVERIFY(QFile::exists(PresetPath("web")));
    dialog->removeClick();
    QVERIFY(!QFile::exists(PresetPath("web")));
    QCOMPARE(dialog->presets->count(), 0);
    QCOMPARE(form_->options->moreChoices().preset, QString());

    // Save As over another preset than the one in use asks first: no keeps it, yes replaces it.
    dialog->opacity->setValue(30);
    prompter_->textAnswers << QString("shop") << QString("other") << QString("shop")
                           << QString("shop");
    dialog->saveAsClick();
    dialog->saveAsClick();
    dialog->opacity->setValue(40);
    prompter_->yesNoAnswers << false << true;
    dialog->saveAsClick();
    QCOMPARE(JobOfPreset(PresetPath("shop"), error)->Style.opacity, 30);
    dialog->saveAsClick();
    QCOMPARE(JobOfPreset(PresetPath("shop"), error)->Style.opacity, 40);
}

void TestMoreOptions::theWindowWritesWhatTheCommandLineWrites() {
    start();
    const QStringList pictures = addPictures(4);
    form_->options->Text2->setText(home_->path() + "/out");
    form_->show();
    MoreOptionsDialog* dialog = open();
    QVERIFY(dialog);
    QTest::mouseClick(dialog->textMark, Qt::LeftButton);
    dialog->text->setText("{n:02} {name} (c) {year}");
    dialog->textSize->setValue(8);
    dialog->shadow->setChecked(true);
    dialog->opacity->setValue(75);
    dialog->secondMark->setChecked(true);
    dialog->secondText->setText("{width} x {height}");
    form_->options->Combo1->setCurrentIndex(int(WatermarkPlacement::MiddleMiddle));
    if (dialog->tile->isEnabled()) {
        dialog->rotation->setValue(35);
        dialog->tile->setChecked(true);
        dialog->stagger->setChecked(true);
    }
    dialog->tabs->setCurrentIndex(1);
    dialog->quality->setValue(85);
    dialog->stripMetadata->setChecked(true);
    dialog->namePattern->setText("{name}-stamped");
    prompter_->textAnswers << QString("same");
    dialog->saveAsClick();
    form_->PushButton2_Click();
    const QString windowOut = home_->path() + "/out";
    const QStringList written = QDir(windowOut).entryList(QDir::Files, QDir::Name);
    QCOMPARE(written.size(), pictures.size());

    const QString cliOut = home_->path() + "/cli";
    const ProcessResult cli =
        RunCli(QStringList{"--preset", "same", "--output", cliOut, "--quiet"} + pictures);
    QVERIFY2(cli.code == 0, qPrintable(cli.errors));
    QCOMPARE(QDir(cliOut).entryList(QDir::Files, QDir::Name), written);
    for (const QString& name : written)
        QVERIFY2(Contents(windowOut + "/" + name) == Contents(cliOut + "/" + name),
                 qPrintable(name));

    // The other way round: a preset the command line saves, used in the window.
    const ProcessResult saved =
        RunCli({"--watermark", home_->path() + "/in/mark.png", "--placement", "upper-right",
                "--scale", "0.3", "--opacity", "50", "--format", "png", "--save-preset", "cli"});
    QVERIFY2(saved.code == 0, qPrintable(saved.errors));
    dialog->tabs->setCurrentIndex(2);
    const QList<QListWidgetItem*> found = dialog->presets->findItems("cli", Qt::MatchExactly);
    QVERIFY(found.isEmpty()); // the list is read when the dialog fills it
    dialog->close();
    stop();
    start();
    for (const QString& picture : pictures)
        form_->ListView1->append(picture);
    const QString windowOut2 = home_->path() + "/out2";
    QDir().mkpath(windowOut2);
    form_->options->Text2->setText(windowOut2);
    dialog = open();
    QVERIFY(dialog);
    dialog->presets->setCurrentItem(dialog->presets->findItems("cli", Qt::MatchExactly).value(0));
    dialog->usePresetClick();
    form_->PushButton2_Click();
    const QString cliOut2 = home_->path() + "/cli2";
    QCOMPARE(RunCli(QStringList{"--preset", "cli", "--output", cliOut2, "--quiet"} + pictures).code,
             0);
    const QStringList written2 = QDir(windowOut2).entryList(QDir::Files, QDir::Name);
    QCOMPARE(written2.size(), pictures.size());
    QCOMPARE(QDir(cliOut2).entryList(QDir::Files, QDir::Name), written2);
    for (const QString& name : written2)
        QVERIFY2(Contents(windowOut2 + "/" + name) == Contents(cliOut2 + "/" + name),
                 qPrintable(name));
}

void TestMoreOptions::theLivePreviewRedrawsSoonAfterAChange() {
    start();
    // A 12-megapixel photograph, 4000 x 3000, or one named by TINTOREL_PREVIEW_PHOTO.
    QString photo = qEnvironmentVariable("TINTOREL_PREVIEW_PHOTO");
    if (photo.isEmpty()) {
        photo = home_->path() + "/in/big.jpg";
        WriteImage(Gradient(4000, 3000, 7), photo, "jpg");
    }
    form_->ListView1->append(photo);
    form_->options->Text1->setText(home_->path() + "/in/mark.png");
    // Large enough that each opacity shows on the reduced picture.
    MoreChoices large;
    large.style.scale = 0.5;
    form_->options->setMoreChoices(large);
    form_->show();
    QElapsedTimer opening;
    opening.start();
    MoreOptionsDialog* dialog = open();
    QVERIFY(dialog);
    QSignalSpy redrawn(dialog->preview, &LivePreview::redrawn);
    QVERIFY(redrawn.wait(10000)); // the decode, once
    qInfo("the dialog opened to its first preview: %lld ms", opening.elapsed());
    const auto slowest = [&](const QString& mark) {
        qint64 most = 0;
        QImage before = dialog->preview->pixmap().toImage();
        for (int opacity : {90, 50, 10}) {
            dialog->opacity->setValue(opacity);
            if (!redrawn.wait(5000)) {
                qWarning("no redraw after the opacity became %d", opacity);
                return qint64(-1);
            }
            most = std::max(most, dialog->preview->lastRedrawMs());
            // Each change shows.
            if (dialog->preview->pixmap().toImage() == before) {
                qWarning("the opacity %d did not show", opacity);
                return qint64(-1);
            }
            before = dialog->preview->pixmap().toImage();
        }
        qInfo("change to repaint on %s with %s: at most %lld ms (%d ms of it settling)",
              qPrintable(QFileInfo(photo).fileName()), qPrintable(mark), most,
              LivePreview::kSettleMs);
        return most;
    };
    const qint64 picture = slowest("a picture mark");
    QTest::mouseClick(dialog->textMark, Qt::LeftButton);
    dialog->text->setText("(c) {year} {name}");
    QVERIFY(redrawn.wait(2000));
    const qint64 text = slowest("a text mark");
    QVERIFY(picture >= 0 && text >= 0);
    QVERIFY2(std::max(picture, text) < 100 * kSlowdown, qPrintable(QString::number(text)));
}

void TestMoreOptions::bothPreviewsShowTheTextMark() {
    start();
    const QString photo = home_->path() + "/in/grey.png";
    WriteImage(SolidImage(400, 300, qRgb(90, 90, 90)), photo, "png");
    form_->ListView1->append(photo);
    form_->show();
    MoreOptionsDialog* dialog = open();
    QVERIFY(dialog);
    QSignalSpy redrawn(dialog->preview, &LivePreview::redrawn);
    QVERIFY(redrawn.wait(5000));
    const QImage plain = dialog->preview->pixmap().toImage();
    QTest::mouseClick(dialog->textMark, Qt::LeftButton);
    dialog->textSize->setValue(20);
    dialog->text->setText("{name}"); // no watermark picture named: the text needs none
    QVERIFY(redrawn.wait(5000));
    QVERIFY(dialog->preview->pixmap().toImage() != plain);

    // The main window's preview draws it too, in place of refusing a missing watermark picture.
    PreviewMaker* maker = form_->previewMaker();
    QSignalSpy done(maker, &PreviewMaker::finished);
    form_->PushButton5_Click();
    QVERIFY(!maker->isWorking() || done.wait(20000));
    QCOMPARE(prompter_->messages(), QStringList());
    QVERIFY(form_->existingForm2());
    const QImage shown = form_->existingForm2()->surface().image();
    QCOMPARE(shown.size(), QSize(400, 300));
    QVERIFY(shown != SolidImage(400, 300, qRgb(90, 90, 90)).convertToFormat(shown.format()));

    // And the second mark over it, as the run stamps both.
    dialog->secondMark->setChecked(true);
    dialog->secondText->setText("second line");
    form_->PushButton5_Click();
    QVERIFY(!maker->isWorking() || done.wait(20000));
    const QImage both = form_->existingForm2()->surface().image();
    QCOMPARE(both.size(), QSize(400, 300));
    QVERIFY(both != shown);
}

void TestMoreOptions::everyControlIsNamedAndReachedByTab() {
    start();
    form_->show();
    MoreOptionsDialog* dialog = open();
    QVERIFY(dialog);
    QApplication::setActiveWindow(dialog);
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    for (int page = 0; page < dialog->tabs->count(); ++page) {
        dialog->tabs->setCurrentIndex(page);
        QList<QWidget*> reachable;
        QStringList silent;
        for (QWidget* widget : dialog->findChildren<QWidget*>()) {
            if (!(widget->focusPolicy() & Qt::TabFocus) || !widget->isVisibleTo(dialog) ||
                !widget->isEnabled())
                continue;
            // A box's own line edit is the box for the keyboard and a screen reader.
            if (InsideABox(widget))
                continue;
            // Radio buttons are one stop, at the chosen one; the arrow keys move within.
            const auto* radio = qobject_cast<QRadioButton*>(widget);
            if (!radio || radio->isChecked())
                reachable << widget;
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
            QString name = accessible ? accessible->text(QAccessible::Name) : QString();
            if (name.remove('&').trimmed().isEmpty())
                silent << widget->metaObject()->className() +
                              QStringLiteral(" on page %1").arg(page);
        }
        QVERIFY2(silent.isEmpty(), qPrintable(silent.join(", ")));
        // Tab goes round every control of the page and back.
        dialog->tabs->tabBar()->setFocus();
        QList<QWidget*> visited;
        for (int i = 0; i < 3 * reachable.size() && visited.size() < reachable.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* focus = QApplication::focusWidget();
            if (InsideABox(focus))
                focus = focus->parentWidget();
            if (!visited.contains(focus))
                visited << focus;
        }
        for (QWidget* widget : reachable)
            QVERIFY2(visited.contains(widget) || widget == dialog->tabs,
                     qPrintable(widget->accessibleName()));
    }
}

QTEST_MAIN(TestMoreOptions)
#include "tst_moreoptions.moc"
