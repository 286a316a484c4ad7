#include "options/optionspanel.h"

#include "options/colorswatch.h"
#include "options/moreoptions.h"
#include "support/errorreport.h"
#include "support/failure.h"
#include "support/geometry.h"
#include "support/imaging.h"
#include "support/paths.h"
#include "support/prompter.h"
#include "support/settings.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <functional>

const std::array<QString, kPlacementCount> kPlacementTexts = {
    QStringLiteral(" Put watermark in the upper-left portion of the image"),
    QStringLiteral(" Put watermark in the upper-middle portion of the image"),
    QStringLiteral(" Put watermark in the upper-right portion of the image"),
    QStringLiteral(" Put watermark in the middle-left portion of the image"),
    QStringLiteral(" Put watermark in the middle-middle portion of the image"),
    QStringLiteral(" Put watermark in the middle-right portion of the image"),
    QStringLiteral(" Put watermark in the bottom-left portion of the image"),
    QStringLiteral(" Put watermark in the bottom-middle portion of the image"),
    QStringLiteral(" Put watermark in the bottom-right portion of the image"),
};

const QString kJpgLosslessTip = QStringLiteral(
    "JPEG pictures are stamped losslessly: only the 8x8 blocks under the watermark are encoded "
    "again, with the picture's own quality; every other block stays exactly as it was. CMYK JPEGs, "
    "and greyscale ones under a coloured mark, are re-encoded. (JpegLossless=true in "
    "Varnholt.conf)");
const QString kJpgReencodeTip = QStringLiteral(
    "JPG copies are encoded anew at quality 75. To stamp JPEG pictures losslessly, changing only "
    "the blocks under the watermark, set JpegLossless=true in the [Tintorel] group of "
    "Varnholt.conf.");

namespace {
const QString kWatermarkDialogTitle = QStringLiteral("Select Watermark Image");
const QString kWatermarkFilter = QStringLiteral(
    "All Pictures (*.emf *.wmf *.jpg *.jpeg *.jfif *.jpe *.png *.bmp *.dib *.rle *.bmz *.gif "
    "*.gfa *.emz *.wmz *.pcz *.tif *.tiff *.cgm *.eps *.pct *.pict *.wpg)");
const QString kSampleWatermark = QStringLiteral("/Watermark/watermark.bmp");
const QString kAdvice =
    QStringLiteral(
        "If you want watermark backgrounds to appear transparent, compressed JPGs should "
        "not be used because the compression used for JPGs does not allow pure (white) "
        "backgrounds.") +
    QStringLiteral("\r\r") +
    QStringLiteral("A compressed JPGs that looks like it has a white background will actually have "
                   "some pure white and some dirty white.") +
    QStringLiteral("\r\r") +
    QStringLiteral("It is recommended that a BMP or PNG be used for a watermark image because the "
                   "background color will be pure (constant).");
const std::array<const char*, kOutputFormatCount> kFormatCaptions = {"Automatic", "JPG", "BMP",
                                                                     "PNG"};
const std::array<QRect, kOutputFormatCount> kFormatGeometry = {
    TwipsRect(240, 345, 1335, 255), TwipsRect(1800, 360, 975, 255), TwipsRect(2880, 360, 975, 255),
    TwipsRect(3960, 360, 975, 255)};

QGroupBox* MakeFrame(QWidget* form, const char* name, const QString& caption, int top, int height) {
    auto* frame = new QGroupBox(caption, form);
    frame->setObjectName(QLatin1String(name));
    frame->setGeometry(TwipsRect(120, top, 7800, height));
    return frame;
}

QString JpgTip() {
    return SettingIsTrue(SettingKey::JpegLossless) ? kJpgLosslessTip : kJpgReencodeTip;
}

// A control of the panel, named as the window's design names it and placed at its twips.
template <typename Control>
Control* MakeControl(QWidget* parent, const char* name, QRect geometry) {
    auto* control = new Control(parent);
    control->setObjectName(QLatin1String(name));
    control->setGeometry(geometry);
    return control;
}
} // namespace

namespace {
// Return and Enter press the focused push button, as Space does: outside a dialog Qt's buttons
// take only Space.
class ReturnPresses : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
            return false;
        if (!key->isAutoRepeat() && key->modifiers() == Qt::NoModifier)
            static_cast<QPushButton*>(watched)->animateClick();
        return true;
    }
};
} // namespace

QPushButton* MakePushButton(QWidget* parent, const char* name, const QString& caption,
                            QRect geometry) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(geometry);
    button->installEventFilter(new ReturnPresses(button));
    return button;
}

OptionsPanel::OptionsPanel(QWidget* form, Prompter& prompter) : QObject(form), prompter_(prompter) {
    buildWatermarkFrame(form);
    buildColorFrame(form);
    buildPlacementFrame(form);
    buildFormatFrame(form);
    buildFolderFrame(form);
    connectHandlers();
}

void OptionsPanel::buildWatermarkFrame(QWidget* form) {
    Frame4 =
        MakeFrame(form, "Frame4",
                  QStringLiteral("Watermark Image To Stamp On Top Of Image(s) Above"), 3030, 800);
    Text1 = MakeControl<QLineEdit>(Frame4, "Text1", TwipsRect(240, 300, 6615, 345));
    PushButton4 = MakePushButton(Frame4, "PushButton4", QStringLiteral("..."),
                                 TwipsRect(6960, 300, 600, 345));
    // A screen reader reads a control by its name: "..." and a bare field say nothing.
    Text1->setAccessibleName(QStringLiteral("Watermark picture"));
    PushButton4->setAccessibleName(QStringLiteral("Choose the watermark picture"));
}

void OptionsPanel::buildColorFrame(QWidget* form) {
    Frame3 = MakeFrame(form, "Frame3", QStringLiteral("Transparent Color"), 3870, 915);
    pColor = MakeControl<ColorSwatch>(Frame3, "pColor", TwipsRect(240, 300, 5400, 405));
    pColor->setAccessibleName(QStringLiteral("Transparent colour, press Space to choose"));
    PushButton6 = MakePushButton(Frame3, "PushButton6", QStringLiteral("&What's This?"),
                                 TwipsRect(5760, 300, 1800, 405));
}

void OptionsPanel::buildPlacementFrame(QWidget* form) {
    Frame2 = MakeFrame(form, "Frame2", QStringLiteral("Watermark Placement"), 4830, 800);
    Combo1 = new QComboBox(Frame2);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    Combo1->setAccessibleName(QStringLiteral("Watermark placement"));
    Combo1->setEditable(false);
    const QRect area = TwipsRect(240, 300, 7320, 345);
    Combo1->setGeometry(area.x(), area.y(), area.width(), Combo1->sizeHint().height());
}

void OptionsPanel::buildFormatFrame(QWidget* form) {
    Frame6 = MakeFrame(form, "Frame6", QStringLiteral("Output Format"), 5670, 800);
    Option1Group = new QButtonGroup(this);
    for (int i = 0; i < kOutputFormatCount; ++i) {
        Option1[i] = new QRadioButton(QLatin1String(kFormatCaptions[i]), Frame6);
        Option1[i]->setObjectName(QStringLiteral("Option1_%1").arg(i));
        Option1[i]->setGeometry(kFormatGeometry[i]);
        Option1Group->addButton(Option1[i], i);
    }
    Option1[0]->setChecked(true);
    // The frame's free right part, beside the four buttons.
    MoreOptions = MakePushButton(Frame6, "MoreOptions", QStringLiteral("&More Options..."),
                                 TwipsRect(5280, 285, 2280, 375));
    MoreOptions->setAccessibleName(QStringLiteral("More Options"));
    Option1[int(OutputFormat::Jpg)]->setToolTip(JpgTip());
    Option1[int(OutputFormat::Jpg)]->installEventFilter(this);
}

bool OptionsPanel::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ToolTip && watched == Option1[int(OutputFormat::Jpg)])
        Option1[int(OutputFormat::Jpg)]->setToolTip(JpgTip());
    return QObject::eventFilter(watched, event);
}

void OptionsPanel::buildFolderFrame(QWidget* form) {
    Frame5 = MakeFrame(form, "Frame5", QStringLiteral("Save Results To This Folder"), 6510, 810);
    Text2 = MakeControl<QLineEdit>(Frame5, "Text2", TwipsRect(240, 300, 6630, 345));
    PushButton9 = MakePushButton(Frame5, "PushButton9", QStringLiteral("..."),
                                 TwipsRect(6960, 300, 600, 345));
    Text2->setAccessibleName(QStringLiteral("Output folder"));
    PushButton9->setAccessibleName(QStringLiteral("Choose the output folder"));
}

void OptionsPanel::connectHandlers() {
    // Handlers of the option controls. The placement is stored only when the user picks an entry
    // (activated), the output format on every selection, the output folder on every change.
    auto guarded = [this](const std::function<void()>& work) {
        Guard guard(prompter_, ErrorLocation::Options);
        guard.step(1, work);
    };
    connect(Combo1, &QComboBox::activated, this, [guarded](int index) {
        guarded([index] { SaveSetting(SettingKey::Placement, QString::number(index)); });
    });
    connect(Option1Group, &QButtonGroup::idToggled, this, [this, guarded](int id, bool checked) {
        if (!checked)
            return;
        guarded([id] { SaveSetting(SettingKey::SaveOption, QString::number(id)); });
        // A button chosen after a format of the dialog's list is the format now.
        if (more_.moreFormat) {
            MoreChoices choices = more_;
            choices.moreFormat.reset();
            setMoreChoices(choices);
            if (moreOptions_)
                moreOptions_->showChoices();
        }
    });
    connect(Text2, &QLineEdit::textChanged, this, [guarded](const QString& text) {
        guarded([&text] { SaveSetting(SettingKey::OutputFolder, text); });
    });
    connect(Text1, &QLineEdit::textChanged, this, [guarded](const QString& text) {
        guarded([&text] { SaveSetting(PanelSettingKey::WatermarkPath, text); });
    });
    connect(pColor, &ColorSwatch::clicked, this, &OptionsPanel::pColor_Click);
    connect(PushButton4, &QPushButton::clicked, this, &OptionsPanel::PushButton4_Click);
    connect(PushButton6, &QPushButton::clicked, this, &OptionsPanel::PushButton6_Click);
    connect(PushButton9, &QPushButton::clicked, this, &OptionsPanel::PushButton9_Click);
    connect(MoreOptions, &QPushButton::clicked, this, &OptionsPanel::MoreOptions_Click);
}

void OptionsPanel::fillPlacements() {
    Combo1->clear();
    for (const QString& text : kPlacementTexts)
        Combo1->addItem(text);
    // The design state has no placement selected until the stored one is restored.
    Combo1->setCurrentIndex(-1);
}

void OptionsPanel::restorePlacement() {
    const int index = SettingAsIndex(SettingKey::Placement, 0);
    if (index < 0 || index >= Combo1->count())
        throw Failure(QStringLiteral("Invalid property value"));
    Combo1->setCurrentIndex(index);
}

void OptionsPanel::restoreOutputFolder() {
    // A stored folder is restored as it was, existing or not; only a first start looks for one.
    Text2->setText(GetSetting(SettingKey::OutputFolder, DefaultOutputFolder()));
}

void OptionsPanel::restoreOutputFormat() {
    const int index = SettingAsIndex(SettingKey::SaveOption, 0);
    if (index < 0 || index >= kOutputFormatCount)
        throw Failure(QStringLiteral("Control array element '%1' doesn't exist").arg(index));
    Option1[index]->setChecked(true);
}

void OptionsPanel::restoreWatermark() {
    Text1->setText(GetSetting(PanelSettingKey::WatermarkPath));
}

void OptionsPanel::restoreTransparentColor() {
    if (!HasSetting(PanelSettingKey::TransparentColor))
        return;
    bool ok = false;
    const uint value = GetSetting(PanelSettingKey::TransparentColor).trimmed().toUInt(&ok);
    if (!ok || value > 0xFFFFFFu)
        throw Failure(QStringLiteral("Invalid property value"));
    // The colour dialog starts from the remembered colour, as it does from one just chosen.
    dialogColor_ = BgrColor(value);
    pColor->setColor(dialogColor_);
}

WatermarkJob OptionsPanel::readOptions() const {
    WatermarkJob job;
    job.WatermarkPath = Text1->text();
    job.Placement = Combo1->currentIndex();
    job.TransparentColor = pColor->color();
    const int format = Option1Group->checkedId();
    job.Format = format < 0 ? std::nullopt : std::optional(OutputFormat(format));
    job.OutputFolder = Text2->text();
    job.Output.losslessJpeg = SettingIsTrue(SettingKey::JpegLossless);
    job.Style.keyTolerance = KeyToleranceSetting();
    ApplyChoices(more_, job);
    return job;
}

void OptionsPanel::PushButton4_Click() {
    Guard guard(prompter_, ErrorLocation::ChooseWatermark);
    QStringList chosen;
    guard.step(1, [&] {
        chosen = prompter_.chooseOpenFiles(kWatermarkDialogTitle, kWatermarkFilter, Text1->text(),
                                           false);
    });
    if (guard.test(2, [&] { return !chosen.isEmpty(); }))
        guard.step(3, [&] { Text1->setText(chosen.value(0)); });
}

void OptionsPanel::PushButton6_Click() {
    Guard guard(prompter_, ErrorLocation::Advice);
    guard.step(1, [&] { prompter_.showMessage(kAdvice, ShortTitle(), Prompter::Icon::None); });
}

void OptionsPanel::PushButton9_Click() {
    Guard guard(prompter_, ErrorLocation::ChooseOutputFolder);
    QString chosen;
    guard.step(1, [&] { outputPickerFolder_ = GetSetting(SettingKey::LastOutputPickerFolder); });
    guard.step(2, [&] { chosen = prompter_.chooseFolder(kPickFolderPrompt, outputPickerFolder_); });
    if (!guard.test(3, [&] { return !chosen.isEmpty(); }))
        return;
    guard.step(4, [&] {
        outputPickerFolder_ = chosen;
        SaveSetting(SettingKey::LastOutputPickerFolder, chosen);
    });
    // The root folder already ends in the separator; any other folder gains exactly one.
    guard.step(5,
               [&] { Text2->setText(chosen.endsWith(kSeparator) ? chosen : chosen + kSeparator); });
}

void OptionsPanel::pColor_Click() {
    Guard guard(prompter_, ErrorLocation::Options);
    guard.step(1, [&] {
        // A cancelled dialog answers with the colour it was given, so the swatch keeps its own.
        const std::optional<BgrColor> chosen = prompter_.chooseColor(dialogColor_);
        dialogColor_ = chosen.value_or(dialogColor_);
        pColor->setColor(dialogColor_);
        if (chosen)
            SaveSetting(PanelSettingKey::TransparentColor, QString::number(dialogColor_));
    });
}

void OptionsPanel::useSampleWatermark() {
    Text1->setText(ProgramFolder() + kSampleWatermark);
}

void OptionsPanel::setEnabled(bool enabled) {
    for (QGroupBox* frame : {Frame2, Frame3, Frame4, Frame5, Frame6})
        frame->setEnabled(enabled);
    if (moreOptions_)
        moreOptions_->setEnabled(enabled);
}

void OptionsPanel::restoreMoreChoices() {
    more_ = RestoreChoices();
    showMoreFormat();
}

void OptionsPanel::setMoreChoices(const MoreChoices& choices) {
    const MoreChoices before = more_;
    more_ = choices;
    Guard guard(prompter_, ErrorLocation::Options);
    guard.step(1, [&] { SaveChoices(more_, &before); });
    showMoreFormat();
}

void OptionsPanel::showMoreFormat() {
    if (!more_.moreFormat || Option1Group->checkedId() < 0)
        return;
    // No button stands for the list's format: none is shown chosen.
    Option1Group->setExclusive(false);
    Option1Group->checkedButton()->setChecked(false);
    Option1Group->setExclusive(true);
}

void OptionsPanel::usePreset(const QString& name, const WatermarkJob& job) {
    Guard guard(prompter_, ErrorLocation::Options);
    if (!job.WatermarkPath.isEmpty())
        Text1->setText(job.WatermarkPath);
    if (job.Placement >= 0 && job.Placement < Combo1->count()) {
        Combo1->setCurrentIndex(job.Placement);
        guard.step(1, [&] { SaveSetting(SettingKey::Placement, QString::number(job.Placement)); });
    }
    dialogColor_ = job.TransparentColor;
    pColor->setColor(dialogColor_);
    guard.step(2, [&] {
        SaveSetting(PanelSettingKey::TransparentColor, QString::number(dialogColor_));
        SaveSetting(SettingKey::KeyTolerance, QString::number(job.Style.keyTolerance));
        SaveSetting(SettingKey::JpegLossless,
                    job.Output.losslessJpeg ? QStringLiteral("true") : QStringLiteral("false"));
    });
    if (job.Format && int(*job.Format) < kOutputFormatCount)
        Option1[int(*job.Format)]->setChecked(true);
    MoreChoices choices = ChoicesOf(job);
    choices.preset = name;
    setMoreChoices(choices);
}

void OptionsPanel::MoreOptions_Click() {
    if (!moreOptions_)
        moreOptions_ = new MoreOptionsDialog(*this, prompter_, MoreOptions->window());
    moreOptions_->show();
    moreOptions_->raise();
    moreOptions_->activateWindow();
}
