// The option controls of the main window: what they store and restore, the dialogs they open and
// the transparent colour by mouse and keyboard.
#include "app/form1.h"
#include "options/colorswatch.h"
#include "options/optionspanel.h"
#include "support/imaging.h"
#include "support/paths.h"
#include "support/settings.h"
#include "tests/windowkit.h"

#include <QComboBox>
#include <QDir>
#include <QHelpEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class TestOptions : public WindowTest {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startUpRestoresWithoutWritingBack();
    void cancelledFolderPickerChangesNothing();
    void chosenFolderGainsOneSeparator_data();
    void chosenFolderGainsOneSeparator();
    void everyTypedOutputFolderTextIsStored();
    void formatAndPlacementSurviveRestart();
    void watermarkAndColourSurviveRestart();
    void watermarkChoices();
    void adviceText();
    void transparentColour();
    void transparentColourByKeyboard();
    void jpegWayFollowsTheSettingsFile_data();
    void jpegWayFollowsTheSettingsFile();
    void keyToleranceFollowsTheSettingsFile_data();
    void keyToleranceFollowsTheSettingsFile();

private:
    QTemporaryDir temp_;
};

void TestOptions::initTestCase() {
    QVERIFY(temp_.isValid());
    for (const char* folder : {"config", "home/Desktop", "program"})
        QVERIFY(QDir(temp_.path()).mkpath(QLatin1String(folder)));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(temp_.filePath(QStringLiteral("config"))));
    qputenv("HOME", QFile::encodeName(temp_.filePath(QStringLiteral("home"))));
    SetProgramFolderForTesting(temp_.filePath(QStringLiteral("program")));
}

void TestOptions::init() {
    QFile::remove(temp_.filePath(QStringLiteral("config/Varnholt.conf")));
}

void TestOptions::cleanup() {
    stop();
}

void TestOptions::startUpRestoresWithoutWritingBack() {
    // Text that only a write-back would normalise shows whether start-up stored anything.
    SaveSetting(SettingKey::Placement, QStringLiteral(" 6"));
    SaveSetting(SettingKey::SaveOption, QStringLiteral(" 0"));
    OptionsPanel& options = *start().options;
    QCOMPARE(options.Combo1->currentIndex(), 6);
    QCOMPARE(GetSetting(SettingKey::Placement), QStringLiteral(" 6"));
    QVERIFY(options.Option1[0]->isChecked());
    QCOMPARE(GetSetting(SettingKey::SaveOption), QStringLiteral(" 0"));

    // A first start selects the defaults and stores only the output folder it put into Text2.
    init();
    start();
    QCOMPARE(form_->options->Combo1->currentIndex(), 0);
    QVERIFY(!HasSetting(SettingKey::Placement));
    QVERIFY(!HasSetting(SettingKey::SaveOption));
    QCOMPARE(GetSetting(SettingKey::OutputFolder), DesktopFolderPath());
    QCOMPARE(form_->options->Text2->text(), DesktopFolderPath());
}

void TestOptions::cancelledFolderPickerChangesNothing() {
    SaveSetting(SettingKey::LastOutputPickerFolder, QStringLiteral("/srv/last"));
    SaveSetting(SettingKey::OutputFolder, QStringLiteral("/srv/out/"));
    OptionsPanel& options = *start().options;
    QTest::mouseClick(options.PushButton9, Qt::LeftButton);
    QCOMPARE(prompter_->folderInitials, QStringList{QStringLiteral("/srv/last")});
    QCOMPARE(prompter_->shown.value(0).text, QStringLiteral("Please select folder:"));
    QCOMPARE(options.Text2->text(), QStringLiteral("/srv/out/"));
    QCOMPARE(GetSetting(SettingKey::OutputFolder), QStringLiteral("/srv/out/"));
    QCOMPARE(GetSetting(SettingKey::LastOutputPickerFolder), QStringLiteral("/srv/last"));
}

void TestOptions::chosenFolderGainsOneSeparator_data() {
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("text");
    QTest::newRow("root") << QStringLiteral("/") << QStringLiteral("/");
    QTest::newRow("folder") << QStringLiteral("/srv/photos") << QStringLiteral("/srv/photos/");
}

void TestOptions::chosenFolderGainsOneSeparator() {
    QFETCH(QString, chosen);
    QFETCH(QString, text);
    OptionsPanel& options = *start().options;
    prompter_->folderAnswers << chosen;
    options.PushButton9_Click();
    QCOMPARE(options.Text2->text(), text);
    QCOMPARE(GetSetting(SettingKey::OutputFolder), text);
    QCOMPARE(GetSetting(SettingKey::LastOutputPickerFolder), chosen);
    // The next pick starts where this one ended, also after a restart.
    start();
    form_->options->PushButton9_Click();
    QCOMPARE(prompter_->folderInitials, QStringList{chosen});
}

void TestOptions::everyTypedOutputFolderTextIsStored() {
    QLineEdit* text2 = start().options->Text2;
    text2->clear();
    QStringList stored;
    for (const QChar c : QStringLiteral("/out")) {
        QTest::keyClick(text2, c.toLatin1());
        stored << GetSetting(SettingKey::OutputFolder);
    }
    QCOMPARE(stored, (QStringList{"/", "/o", "/ou", "/out"}));
    start();
    text2 = form_->options->Text2;
    QCOMPARE(text2->text(), QStringLiteral("/out"));
    text2->setCursorPosition(4);
    for (const QString expected : {"/ou", "/o", "/", ""}) {
        QTest::keyClick(text2, Qt::Key_Backspace);
        QCOMPARE(GetSetting(SettingKey::OutputFolder, QStringLiteral("none")), expected);
    }
    // An empty text is a stored value like any other: the Desktop default does not come back.
    start();
    QCOMPARE(form_->options->Text2->text(), QString());
}

void TestOptions::formatAndPlacementSurviveRestart() {
    OptionsPanel* options = start().options;
    form_->show();
    QTest::mouseClick(options->Option1[2], Qt::LeftButton);
    QCOMPARE(GetSetting(SettingKey::SaveOption), QStringLiteral("2"));
    // The user steps down the placement list with the keyboard; each pick is stored.
    for (int i = 1; i <= 6; ++i) {
        QTest::keyClick(options->Combo1, Qt::Key_Down);
        QCOMPARE(GetSetting(SettingKey::Placement), QString::number(i));
    }
    start();
    options = form_->options;
    QVERIFY(options->Option1[2]->isChecked());
    QCOMPARE(options->readOptions().Format, std::optional(OutputFormat::Bmp));
    QCOMPARE(options->Combo1->currentIndex(), 6);
    QCOMPARE(options->readOptions().Placement, 6);
    // Neither the watermark nor the colour is remembered.
    QCOMPARE(options->Text1->text(), QString());
    QCOMPARE(options->readOptions().TransparentColor, kWhite);
}

void TestOptions::watermarkChoices() {
    OptionsPanel& options = *start().options;
    prompter_->fileAnswers << QStringList{QStringLiteral("/srv/mark.png")};
    options.PushButton4_Click();
    options.PushButton4_Click(); // cancelled
    QCOMPARE(options.Text1->text(), QStringLiteral("/srv/mark.png"));
    // The desktop's filter form of the Windows list, with the same patterns in the same order.
    const QString windowsPatterns = QStringLiteral(
        "*.emf;*.wmf;*.jpg;*.jpeg;*.jfif;*.jpe;*.png;*.bmp;*.dib;*.rle;*.bmz;*.gif;*.gfa;*.emz;"
        "*.wmz;*.pcz;*.tif;*.tiff;*.cgm;*.eps;*.pct;*.pict;*.wpg");
    QCOMPARE(prompter_->filters.value(0),
             QStringLiteral("All Pictures (%1)").arg(windowsPatterns.split(u';').join(u' ')));
    QCOMPARE(prompter_->multipleFlags, (QList<bool>{false, false}));

    // The sample watermark's path is filled in whether or not the file is there.
    const QString sample = ProgramFolder() + QStringLiteral("/Watermark/watermark.bmp");
    QVERIFY(!QFile::exists(sample));
    form_->PushButton8_Click();
    QCOMPARE(options.Text1->text(), sample);
    QVERIFY(QDir().mkpath(ProgramFolder() + QStringLiteral("/Watermark")));
    WriteImage(SolidImage(40, 30, qRgb(250, 10, 10)), sample, "bmp");
    options.Text1->clear();
    form_->PushButton8_Click();
    QCOMPARE(options.Text1->text(), sample);
    QFile::remove(sample);
}

void TestOptions::adviceText() {
    start();
    QTest::mouseClick(form_->options->PushButton6, Qt::LeftButton);
    QCOMPARE(prompter_->shown.size(), 1);
    const ScriptedPrompter::Shown advice = prompter_->shown.first();
    QCOMPARE(advice.title, ShortTitle());
    QCOMPARE(advice.icon, Prompter::Icon::None);
    QCOMPARE(advice.text,
             QStringLiteral(
                 "If you want watermark backgrounds to appear transparent, compressed JPGs should "
                 "not be used because the compression used for JPGs does not allow pure (white) "
                 "backgrounds.\r\rA compressed JPGs that looks like it has a white background will "
                 "actually have some pure white and some dirty white.\r\rIt is recommended that a "
                 "BMP or PNG be used for a watermark image because the background color will be "
                 "pure (constant)."));
}

void TestOptions::jpegWayFollowsTheSettingsFile_data() {
    QTest::addColumn<QString>("stored"); // nothing stored when null
    QTest::addColumn<bool>("lossless");
    QTest::newRow("nothing stored") << QString() << false;
    QTest::newRow("true") << "true" << true;
    QTest::newRow("1") << "1" << true;
    QTest::newRow("false") << "false" << false;
    QTest::newRow("a typo") << "ture" << false;
}

void TestOptions::jpegWayFollowsTheSettingsFile() {
    QFETCH(QString, stored);
    QFETCH(bool, lossless);
    OptionsPanel& options = *start().options;
    // Changed in the file while the window is open: read when a run starts and by the tool tip.
    if (!stored.isNull())
        SaveSetting(SettingKey::JpegLossless, stored);
    QCOMPARE(options.readOptions().Output.losslessJpeg, lossless);
    QRadioButton* jpg = options.Option1[int(OutputFormat::Jpg)];
    QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), jpg->mapToGlobal(QPoint(2, 2)));
    QCoreApplication::sendEvent(jpg, &help);
    QCOMPARE(jpg->toolTip(), lossless ? kJpgLosslessTip : kJpgReencodeTip);
}

void TestOptions::keyToleranceFollowsTheSettingsFile_data() {
    QTest::addColumn<QString>("stored"); // nothing stored when null
    QTest::addColumn<int>("tolerance");
    QTest::newRow("nothing stored") << QString() << 0;
    QTest::newRow("a number") << "48" << 48;
    QTest::newRow("the most") << "255" << 255;
    QTest::newRow("beyond") << "256" << 0;
    QTest::newRow("not a number") << "soft" << 0;
}

void TestOptions::keyToleranceFollowsTheSettingsFile() {
    QFETCH(QString, stored);
    QFETCH(int, tolerance);
    OptionsPanel& options = *start().options;
    if (!stored.isNull())
        SaveSetting(SettingKey::KeyTolerance, stored);
    QCOMPARE(options.readOptions().Style.keyTolerance, tolerance);
}

void TestOptions::transparentColour() {
    OptionsPanel& options = *start().options;
    auto swatchColour = [&] {
        return options.pColor->palette().color(QPalette::Window);
    };
    prompter_->colorAnswers << std::nullopt << BgrColor(0x000000FF) << std::nullopt;
    QTest::mouseClick(options.pColor, Qt::LeftButton);
    QCOMPARE(swatchColour(), QColor(Qt::white));
    QCOMPARE(options.readOptions().TransparentColor, kWhite);
    QTest::mouseClick(options.pColor, Qt::LeftButton);
    QCOMPARE(swatchColour(), QColor(255, 0, 0));
    QCOMPARE(options.readOptions().TransparentColor, BgrColor(0x000000FF));
    QTest::mouseClick(options.pColor, Qt::LeftButton);
    QCOMPARE(options.readOptions().TransparentColor, BgrColor(0x000000FF));
    QCOMPARE(prompter_->count(QStringLiteral("color")), 3);
}

void TestOptions::transparentColourByKeyboard() {
    OptionsPanel& options = *start().options;
    form_->show();
    form_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form_.get()));
    const QImage withoutFocus = options.pColor->grab().toImage();
    // Reached with the Tab key, as a keyboard user reaches it.
    options.PushButton4->setFocus();
    QTest::keyClick(options.PushButton4, Qt::Key_Tab);
    QVERIFY(options.pColor->hasFocus());
    const QImage withFocus = options.pColor->grab().toImage();
    QVERIFY2(withFocus != withoutFocus, "no visible focus mark");
    // The mark leaves the colour itself as it is.
    QCOMPARE(withFocus.pixel(withFocus.rect().center()), QColor(Qt::white).rgb());

    // The keys that press a button open the colour dialog; other keys do not.
    prompter_->colorAnswers << BgrColor(0x000000FF) << std::nullopt << BgrColor(0x00FF0000);
    for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_A, Qt::Key_Enter})
        QTest::keyClick(options.pColor, key);
    QCOMPARE(prompter_->count(QStringLiteral("color")), 3);
    QCOMPARE(options.readOptions().TransparentColor, BgrColor(0x00FF0000));
}

void TestOptions::watermarkAndColourSurviveRestart() {
    OptionsPanel* options = start().options;
    QVERIFY(!HasSetting(PanelSettingKey::WatermarkPath));
    QVERIFY(!HasSetting(PanelSettingKey::TransparentColor));
    options->Text1->setText(QStringLiteral("/srv/marks/logo.png"));
    prompter_->colorAnswers.enqueue(BgrColor(0x00123456));
    options->pColor_Click();
    // A cancelled dialog stores nothing.
    prompter_->colorAnswers.enqueue(std::nullopt);
    options->pColor_Click();
    QCOMPARE(GetSetting(PanelSettingKey::TransparentColor), QString::number(0x00123456));

    start();
    options = form_->options;
    QCOMPARE(options->Text1->text(), QStringLiteral("/srv/marks/logo.png"));
    QCOMPARE(options->pColor->color(), BgrColor(0x00123456));
    QCOMPARE(options->readOptions().TransparentColor, BgrColor(0x00123456));
    // The colour dialog starts from the remembered colour.
    prompter_->colorAnswers.enqueue(std::nullopt);
    options->pColor_Click();
    QCOMPARE(options->pColor->color(), BgrColor(0x00123456));
    QCOMPARE(prompter_->count("message"), 0);

    // A stored colour that is no colour is reported at start-up; the swatch stays white.
    SaveSetting(PanelSettingKey::TransparentColor, QStringLiteral("blue"));
    start();
    QCOMPARE(prompter_->count("message"), 1);
    QCOMPARE(prompter_->shown.first().title, QStringLiteral("Application Error"));
    QCOMPARE(form_->options->pColor->color(), kWhite);
}

QTEST_MAIN(TestOptions)
#include "tst_options.moc"
