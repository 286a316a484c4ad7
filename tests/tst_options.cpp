// The option controls of the main window (what they store and restore) and the preview window
// (its size, its picture, its position and its life beside the batch run).
#include "app/appearance.h"
#include "app/form1.h"
#include "engine/batch.h"
#include "filelist/imagelist.h"
#include "options/colorswatch.h"
#include "options/optionspanel.h"
#include "options/preview.h"
#include "support/errorreport.h"
#include "support/imaging.h"
#include "support/paths.h"
#include "support/settings.h"
#include "tests/testkit.h"

#include <QComboBox>
#include <QDir>
#include <QHelpEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
const QRgb kImageColor = qRgb(20, 40, 200);
const QRgb kMarkColor = qRgb(250, 10, 10);
const QSize kMarkSize(40, 30);

// The watermark: a red block with a white hole, which the default transparent colour leaves out.
QImage MarkImage() {
    QImage mark = SolidImage(kMarkSize.width(), kMarkSize.height(), kMarkColor);
    for (int y = 10; y < 20; ++y)
        for (int x = 10; x < 30; ++x)
            mark.setPixel(x, y, qRgb(255, 255, 255));
    return mark;
}

// What a preview must show: the image with the watermark's non-white pixels at `at`.
QImage Stamped(QImage image, QPoint at) {
    const QImage mark = MarkImage();
    for (int y = 0; y < mark.height(); ++y)
        for (int x = 0; x < mark.width(); ++x)
            if (image.rect().contains(at + QPoint(x, y)) && mark.pixel(x, y) != qRgb(255, 255, 255))
                image.setPixel(at + QPoint(x, y), mark.pixel(x, y));
    return image;
}
} // namespace

class TestOptions : public QObject {
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
    void watermarkChoices();
    void adviceText();
    void transparentColour();
    void jpegWayFollowsTheSettingsFile_data();
    void jpegWayFollowsTheSettingsFile();

    void previewWindowDesign();
    void previewFitsImageAndKeepsCorner();
    void noPlacementLeavesWatermarkAtOrigin();
    void sameImageAfterClose_data();
    void sameImageAfterClose();
    void invalidWatermarkPathChangesNothing();
    void noSelectedEntryIsReportedAndShown();
    void runUpdatesOpenPreview();

private:
    Form1& start();
    void restart();
    QString makeImage(const QString& name, QSize size);
    Form2* previewOf(const QString& image, int placement);

    QTemporaryDir temp_;
    QString watermark_;
    std::unique_ptr<ScriptedPrompter> prompter_;
    std::unique_ptr<Form1> form_;
};

void TestOptions::initTestCase() {
    QVERIFY(temp_.isValid());
    for (const char* folder : {"config", "home/Desktop", "program", "images", "out"})
        QVERIFY(QDir(temp_.path()).mkpath(QLatin1String(folder)));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(temp_.filePath(QStringLiteral("config"))));
    qputenv("HOME", QFile::encodeName(temp_.filePath(QStringLiteral("home"))));
    SetProgramFolderForTesting(temp_.filePath(QStringLiteral("program")));
    watermark_ = temp_.filePath(QStringLiteral("images/mark.png"));
    WriteImage(MarkImage(), watermark_, "png");
}

void TestOptions::init() {
    QFile::remove(temp_.filePath(QStringLiteral("config/Varnholt.conf")));
}

void TestOptions::cleanup() {
    form_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

Form1& TestOptions::start() {
    prompter_ = std::make_unique<ScriptedPrompter>();
    form_ = std::make_unique<Form1>(*prompter_);
    form_->drawHomePageNumber = [] {
        return 1;
    };
    form_->openUrl = [](const QUrl&) {
    };
    form_->Form_Load();
    return *form_;
}

void TestOptions::restart() {
    form_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    start();
}

QString TestOptions::makeImage(const QString& name, QSize size) {
    const QString path = temp_.filePath(QStringLiteral("images/") + name);
    WriteImage(SolidImage(size.width(), size.height(), kImageColor), path, "png");
    return path;
}

Form2* TestOptions::previewOf(const QString& image, int placement) {
    form_->ListView1->clearEntries();
    form_->ListView1->append(image);
    form_->ListView1->select(1);
    form_->options->Text1->setText(watermark_);
    form_->options->Combo1->setCurrentIndex(placement);
    form_->PushButton5_Click();
    return form_->existingForm2();
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
    restart();
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
    restart();
    text2 = form_->options->Text2;
    QCOMPARE(text2->text(), QStringLiteral("/out"));
    text2->setCursorPosition(4);
    for (const QString expected : {"/ou", "/o", "/", ""}) {
        QTest::keyClick(text2, Qt::Key_Backspace);
        QCOMPARE(GetSetting(SettingKey::OutputFolder, QStringLiteral("none")), expected);
    }
    // An empty text is a stored value like any other: the Desktop default does not come back.
    restart();
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
    restart();
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
    WriteImage(MarkImage(), sample, "bmp");
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

void TestOptions::previewWindowDesign() {
    Form2* preview = start().existingForm2();
    QVERIFY(preview && !preview->isVisible());
    QCOMPARE(preview->windowTitle(), QStringLiteral("Preview"));
    QCOMPARE(preview->size(), QSize(227, 181));
    QCOMPARE(preview->minimumSize(), preview->maximumSize());
    const Qt::WindowFlags flags = preview->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint) &&
            flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(preview->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(preview->palette().color(preview->backgroundRole()), FaceColor());
    QCOMPARE(preview->pPreview()->geometry(), QRect(0, 0, 119, 104));
    QCOMPARE(preview->pPreview()->palette().color(QPalette::Window), QColor(Qt::white));

    // Moves over the picture reach the window: the arrow, unless the window shows the busy mark.
    auto moveOverPicture = [&] {
        QMouseEvent move(QEvent::MouseMove, QPointF(5, 5), QPointF(5, 5), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(preview->pPreview(), &move);
    };
    preview->setCursor(Qt::CrossCursor);
    moveOverPicture();
    QCOMPARE(preview->cursor().shape(), Qt::ArrowCursor);
    preview->setCursor(Qt::WaitCursor);
    moveOverPicture();
    QCOMPARE(preview->cursor().shape(), Qt::WaitCursor);
}

void TestOptions::previewFitsImageAndKeepsCorner() {
    start();
    Form2* preview = previewOf(makeImage(QStringLiteral("big.png"), QSize(400, 300)), 4);
    QVERIFY(preview && preview->isVisible());
    QVERIFY(!preview->isModal() && !preview->parentWidget());
    // The window system's own frame, if any, lies outside these 404 x 326 pixels.
    QCOMPARE(preview->size(), QSize(404, 326));
    QCOMPARE(preview->pPreview()->geometry(), QRect(0, 0, 400, 300));
    QCOMPARE(preview->surface().image(),
             Stamped(SolidImage(400, 300, kImageColor), QPoint(180, 135)));
    // First shown after its creation: centred on the screen.
    const QPoint offCentre = preview->geometry().center() -
                             QGuiApplication::primaryScreen()->availableGeometry().center();
    QVERIFY2(offCentre.manhattanLength() <= 2, qPrintable(QString::number(offCentre.x())));
    QCOMPARE(prompter_->shown.size(), 0);

    // The user moves the window; a smaller image shrinks it around the same top-left corner.
    preview->move(30, 40);
    QCOMPARE(previewOf(makeImage(QStringLiteral("small.png"), QSize(200, 100)), 0), preview);
    QCOMPARE(preview->size(), QSize(204, 126));
    QCOMPARE(preview->pos(), QPoint(30, 40));
    QCOMPARE(preview->surface().image(), Stamped(SolidImage(200, 100, kImageColor), QPoint(1, 1)));
}

void TestOptions::noPlacementLeavesWatermarkAtOrigin() {
    start();
    Form2* preview = previewOf(makeImage(QStringLiteral("big.png"), QSize(400, 300)), -1);
    QCOMPARE(form_->options->readOptions().Placement, -1);
    QCOMPARE(preview->surface().image(), Stamped(SolidImage(400, 300, kImageColor), QPoint(0, 0)));
}

void TestOptions::sameImageAfterClose_data() {
    QTest::addColumn<int>("placement");
    QTest::addColumn<QPoint>("at");
    const int xs[] = {1, 180, 360}, ys[] = {1, 135, 270};
    for (int i = 0; i < 9; ++i)
        QTest::addRow("%d", i) << i << QPoint(xs[i % 3], ys[i / 3]);
}

void TestOptions::sameImageAfterClose() {
    QFETCH(int, placement);
    QFETCH(QPoint, at);
    start();
    const QString image = makeImage(QStringLiteral("big.png"), QSize(400, 300));
    const QImage expected = Stamped(SolidImage(400, 300, kImageColor), at);
    QCOMPARE(previewOf(image, placement)->surface().image(), expected);
    form_->existingForm2()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!form_->existingForm2());
    Form2* again = previewOf(image, placement);
    QVERIFY(again && again->isVisible());
    QCOMPARE(again->size(), QSize(404, 326));
    QCOMPARE(again->surface().image(), expected);
    QCOMPARE(prompter_->shown.size(), 0);
}

void TestOptions::invalidWatermarkPathChangesNothing() {
    start();
    const QString image = makeImage(QStringLiteral("big.png"), QSize(400, 300));
    Form2* preview = form_->existingForm2();
    const QStringList invalid = {temp_.filePath(QStringLiteral("images/none.png")), QString(),
                                 temp_.filePath(QStringLiteral("images"))};
    for (const QString& path : invalid) {
        form_->options->Text1->setText(path);
        form_->PushButton5_Click();
        QCOMPARE(form_->existingForm2(), preview);
        QVERIFY(!preview->isVisible());
        QCOMPARE(preview->size(), QSize(227, 181));
    }
    QCOMPARE(prompter_->messages(), QStringList(3, kInvalidWatermarkPathMessage));
    for (const ScriptedPrompter::Shown& shown : std::as_const(prompter_->shown)) {
        QCOMPARE(shown.title, ShortTitle());
        QCOMPARE(shown.icon, Prompter::Icon::None);
    }

    // An open preview keeps its picture and size.
    previewOf(image, 4);
    const QImage before = preview->surface().image();
    form_->ListView1->append(makeImage(QStringLiteral("small.png"), QSize(200, 100)));
    form_->ListView1->select(2);
    form_->options->Text1->setText(invalid.first());
    form_->PushButton5_Click();
    QCOMPARE(preview->surface().image(), before);
    QCOMPARE(preview->size(), QSize(404, 326));
}

void TestOptions::noSelectedEntryIsReportedAndShown() {
    start();
    form_->options->Text1->setText(watermark_);
    form_->PushButton5_Click();
    QCOMPARE(prompter_->shown.size(), 1);
    QCOMPARE(prompter_->shown.first().title, kErrorReportTitle);
    QVERIFY(prompter_->shown.first().text.contains(ErrorLocation::Preview));
    Form2* preview = form_->existingForm2();
    QVERIFY(preview->isVisible());
    // A freshly made window composes onto its white design area.
    QCOMPARE(preview->size(), QSize(123, 130));
    QCOMPARE(preview->surface().image(),
             Stamped(SolidImage(119, 104, qRgb(255, 255, 255)), {1, 1}));

    // After a preview, the area keeps that image and the watermark is stamped on it afresh.
    previewOf(makeImage(QStringLiteral("big.png"), QSize(400, 300)), 8);
    form_->ListView1->clearEntries();
    form_->options->Combo1->setCurrentIndex(0);
    form_->PushButton5_Click();
    QCOMPARE(prompter_->count(QStringLiteral("message")), 2);
    QCOMPARE(preview->surface().image(), Stamped(SolidImage(400, 300, kImageColor), {1, 1}));
}

void TestOptions::runUpdatesOpenPreview() {
    start();
    Form2* preview = previewOf(makeImage(QStringLiteral("big.png"), QSize(400, 300)), 0);
    form_->ListView1->append(makeImage(QStringLiteral("last.png"), QSize(160, 120)));
    form_->options->Text2->setText(temp_.filePath(QStringLiteral("out")) + kSeparator);
    form_->options->Combo1->setCurrentIndex(8);
    form_->PushButton2_Click();
    QCOMPARE(prompter_->messages(), QStringList{kDoneMessage});
    QCOMPARE(form_->existingForm2(), preview);
    QVERIFY(preview->isVisible());
    QCOMPARE(preview->size(), QSize(164, 146));
    QCOMPARE(preview->pPreview()->geometry(), QRect(0, 0, 160, 120));
    QCOMPARE(preview->surface().image(), Stamped(SolidImage(160, 120, kImageColor), {120, 90}));
}

QTEST_MAIN(TestOptions)
#include "tst_options.moc"
