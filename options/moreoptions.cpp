#include "options/moreoptions.h"

#include "engine/io/resize.h"

#include "options/livepreview.h"
#include "options/optionspanel.h"
#include "support/errorreport.h"
#include "support/prompter.h"
#include "support/settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFontComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

const QStringList kMarkVariables = {
    QStringLiteral("{name}"),     QStringLiteral("{ext}"),       QStringLiteral("{n}"),
    QStringLiteral("{n:04}"),     QStringLiteral("{date}"),      QStringLiteral("{year}"),
    QStringLiteral("{artist}"),   QStringLiteral("{copyright}"), QStringLiteral("{camera}"),
    QStringLiteral("{lens}"),     QStringLiteral("{iso}"),       QStringLiteral("{aperture}"),
    QStringLiteral("{exposure}"), QStringLiteral("{focal}"),     QStringLiteral("{width}"),
    QStringLiteral("{height}"),
};

namespace {
const QString kTitle = QStringLiteral("More Options");
const QString kPresetMarks =
    QStringLiteral("The preset in use brings further marks of its own; they are kept as they are.");
const QString kNotYet =
    QStringLiteral("The command line does not take this yet, so the window "
                   "does not offer it either: a preset means the same in both.");
constexpr int kPixelsMargin = 0;
constexpr int kPercentMargin = 1;

QDoubleSpinBox* Spin(double low, double high, int decimals, const QString& suffix) {
    auto* spin = new QDoubleSpinBox;
    spin->setRange(low, high);
    spin->setDecimals(decimals);
    spin->setSuffix(suffix);
    return spin;
}

// A menu button that inserts a variable at the cursor of the field.
QToolButton* VariablesButton(QLineEdit* field, const QString& name) {
    auto* button = Named(new QToolButton, name);
    button->setText(QStringLiteral("{ }"));
    button->setToolTip(name);
    button->setPopupMode(QToolButton::InstantPopup);
    auto* menu = new QMenu(button);
    for (const QString& variable : kMarkVariables)
        menu->addAction(variable, field, [field, variable] { field->insert(variable); });
    button->setMenu(menu);
    return button;
}

QWidget* Row(std::initializer_list<QWidget*> widgets) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    for (QWidget* widget : widgets)
        layout->addWidget(widget);
    layout->addStretch();
    return row;
}

// A labelled row of the form whose label's letter reaches the row's first control: a label's
// buddy must take the focus itself, which a row of several controls does not.
void AddRow(QFormLayout* form, const QString& caption, QWidget* field, QWidget* buddy = nullptr) {
    auto* label = new QLabel(caption);
    label->setBuddy(buddy ? buddy : field);
    form->addRow(label, field);
}

void ShowColor(QPushButton* button, QRgb color) {
    button->setText(QColor(color).name().toUpper());
    QPixmap swatch(16, 16);
    swatch.fill(QColor::fromRgba(color));
    button->setIcon(swatch);
}
} // namespace

MoreOptionsDialog::MoreOptionsDialog(OptionsPanel& panel, Prompter& prompter, QWidget* parent)
    : QDialog(parent), panel_(panel), prompter_(prompter) {
    setObjectName(QStringLiteral("MoreOptions"));
    setWindowTitle(kTitle);
    tabs = new QTabWidget;
    tabs->setAccessibleName(QStringLiteral("Option pages"));
    tabs->addTab(buildMarkTab(), QStringLiteral("&Mark"));
    tabs->addTab(buildOutputTab(), QStringLiteral("&Output"));
    tabs->addTab(buildPresetsTab(), QStringLiteral("Pre&sets"));
    preview = new LivePreview([this] { return panel_.readOptions(); },
                              [this] { return panel_.previewPicture(); }, this);
    auto* close = Named(new QPushButton(QStringLiteral("Close")), QStringLiteral("Close"));
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    auto* side = new QVBoxLayout;
    side->addWidget(preview);
    side->addStretch();
    side->addWidget(close, 0, Qt::AlignRight);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(tabs, 1);
    layout->addLayout(side);
    // Return in a field is no click on a button of the dialog.
    for (QPushButton* button : findChildren<QPushButton*>())
        button->setAutoDefault(false);
    offerWhatTheCommandLineTakes();
    showChoices();
    connectControls();
    (pictureMark->isChecked() ? pictureMark : textMark)->setFocus();
    setTabOrder(presets, usePreset);
    setTabOrder(remove, close);
}

QWidget* MoreOptionsDialog::buildMarkTab() {
    auto* page = new QWidget;
    auto* form = new QFormLayout(page);
    pictureMark = Named(new QRadioButton(QStringLiteral("&Picture")),
                        QStringLiteral("Mark: the watermark picture"));
    textMark = Named(new QRadioButton(QStringLiteral("&Text")), QStringLiteral("Mark: a text"));
    AddRow(form, QStringLiteral("Mark:"), Row({pictureMark, textMark}), pictureMark);
    text = Named(new QLineEdit, QStringLiteral("Text of the mark"));
    textVariables = VariablesButton(text, QStringLiteral("Insert a variable into the text"));
    auto* textRow = new QWidget;
    auto* textLayout = new QHBoxLayout(textRow);
    textLayout->setContentsMargins(0, 0, 0, 0);
    textLayout->addWidget(text, 1);
    textLayout->addWidget(textVariables);
    AddRow(form, QStringLiteral("Te&xt:"), textRow, text);
    font = Named(new QFontComboBox, QStringLiteral("Font of the text"));
    AddRow(form, QStringLiteral("&Font:"), font);
    textColor = Named(new QPushButton, QStringLiteral("Colour of the text, press Space to choose"));
    AddRow(form, QStringLiteral("&Colour:"), Row({textColor}), textColor);
    textSize = Named(Spin(0.1, 100, 1, QStringLiteral(" % of the short edge")),
                     QStringLiteral("Text size, percent of the short edge"));
    AddRow(form, QStringLiteral("Text si&ze:"), Row({textSize}), textSize);
    outline = Named(new QCheckBox(QStringLiteral("O&utline")), QStringLiteral("Outline"));
    shadow = Named(new QCheckBox(QStringLiteral("S&hadow")), QStringLiteral("Shadow"));
    form->addRow(QString(), Row({outline, shadow}));
    scale =
        Named(Spin(0, 100, 1, QStringLiteral(" %")), QStringLiteral("Size of the mark, percent"));
    scale->setSpecialValueText(QStringLiteral("its own size"));
    scaleOf = Named(new QComboBox, QStringLiteral("Size as a share of"));
    scaleOf->addItems({QStringLiteral("of the width"), QStringLiteral("of the height"),
                       QStringLiteral("of the short edge"), QStringLiteral("of the long edge")});
    AddRow(form, QStringLiteral("Mark s&ize:"), Row({scale, scaleOf}), scale);
    margin = Named(Spin(-1, 100000, 0, QString()), QStringLiteral("Margin"));
    margin->setSpecialValueText(QStringLiteral("usual"));
    marginUnit = Named(new QComboBox, QStringLiteral("Margin unit"));
    marginUnit->addItems({QStringLiteral("pixels"), QStringLiteral("% of the short edge")});
    AddRow(form, QStringLiteral("Mar&gin:"), Row({margin, marginUnit}), margin);
    opacity = Named(new QSpinBox, QStringLiteral("Opacity, percent"));
    opacity->setRange(0, 100);
    opacity->setSuffix(QStringLiteral(" %"));
    AddRow(form, QStringLiteral("Opacit&y:"), opacity);
    rotation = Named(Spin(-360, 360, 1, QStringLiteral(" °")),
                     QStringLiteral("Rotation, degrees counter-clockwise"));
    AddRow(form, QStringLiteral("&Rotation:"), rotation);
    tile = Named(new QCheckBox(QStringLiteral("Ti&le")), QStringLiteral("Tile over the picture"));
    tileGap = Named(Spin(0, 10000, 0, QStringLiteral(" % gap")),
                    QStringLiteral("Gap between tiles, percent of the mark"));
    stagger = Named(new QCheckBox(QStringLiteral("St&agger")), QStringLiteral("Stagger the rows"));
    AddRow(form, QStringLiteral("Tiling:"), Row({tile, tileGap, stagger}), tile);
    secondMark = Named(new QCheckBox(QStringLiteral("&With a text line")),
                       QStringLiteral("A second mark: a text line"));
    secondText = Named(new QLineEdit, QStringLiteral("Text of the second mark"));
    secondText->setMinimumWidth(160);
    secondPlacement = Named(new QComboBox, QStringLiteral("Placement of the second mark"));
    for (const QString& placement : kPlacementTexts)
        secondPlacement->addItem(placement.section(QLatin1Char(' '), 5, 5));
    secondPlacement->setCurrentIndex(int(WatermarkPlacement::BottomRight));
    AddRow(form, QStringLiteral("Second mark:"), Row({secondMark, secondText, secondPlacement}),
           secondMark);
    return page;
}

QWidget* MoreOptionsDialog::buildOutputTab() {
    auto* page = new QWidget;
    auto* form = new QFormLayout(page);
    resize = Named(new QComboBox, QStringLiteral("Resize"));
    for (const char* kind : {"keep the size", "the long edge", "the width", "the height",
                             "fit inside", "percent of each edge"})
        resize->addItem(QLatin1String(kind));
    resizeWidth = Named(new QSpinBox, QStringLiteral("Resize to pixels or percent"));
    resizeWidth->setRange(1, kMostResizeEdge);
    resizeWidth->setValue(2048);
    resizeHeight = Named(new QSpinBox, QStringLiteral("Resize to height, pixels"));
    resizeHeight->setRange(1, kMostResizeEdge);
    resizeHeight->setValue(2048);
    enlarge = Named(new QCheckBox(QStringLiteral("&Enlarge smaller pictures")),
                    QStringLiteral("Enlarge smaller pictures"));
    AddRow(form, QStringLiteral("Resi&ze:"), Row({resize, resizeWidth, resizeHeight, enlarge}),
           resize);
    quality = Named(new QSpinBox, QStringLiteral("JPEG quality"));
    quality->setRange(1, 100);
    keepQuality = Named(new QCheckBox(QStringLiteral("&Keep the picture's own tables")),
                        QStringLiteral("Keep a JPEG's own quality tables"));
    AddRow(form, QStringLiteral("JPEG &quality:"), Row({quality, keepQuality}), quality);
    lossless = Named(new QCheckBox(QStringLiteral("&Lossless JPEG: only the blocks under the mark "
                                                  "change")),
                     QStringLiteral("Lossless JPEG"));
    form->addRow(QString(), lossless);
    stripMetadata = Named(new QCheckBox(QStringLiteral("Leave out meta&data (EXIF, XMP, IPTC)")),
                          QStringLiteral("Leave out metadata"));
    form->addRow(QString(), stripMetadata);
    moreFormat = Named(new QComboBox, QStringLiteral("More formats"));
    moreFormat->addItem(QStringLiteral("as the Output Format buttons say"));
    // A format this build leaves out is not offered.
    for (const MoreFormat& format : kMoreFormats)
        if (CommandLineTakes(QStringLiteral("format"), QLatin1String(format.option)))
            moreFormat->addItem(QLatin1String(format.caption), int(format.format));
    AddRow(form, QStringLiteral("&Format:"), moreFormat);
    namePattern = Named(new QLineEdit, QStringLiteral("Name pattern of the copies"));
    namePattern->setPlaceholderText(QStringLiteral("the picture's own name"));
    nameVariables = VariablesButton(namePattern, QStringLiteral("Insert a variable into the name"));
    auto* nameRow = new QWidget;
    auto* nameLayout = new QHBoxLayout(nameRow);
    nameLayout->setContentsMargins(0, 0, 0, 0);
    nameLayout->addWidget(namePattern, 1);
    nameLayout->addWidget(nameVariables);
    AddRow(form, QStringLiteral("&Names:"), nameRow, namePattern);
    return page;
}

void MoreOptionsDialog::offerWhatTheCommandLineTakes() {
    // The window stamps what a preset would: a choice the command line lacks is not offered.
    const auto offer = [](QWidget* control, bool taken) {
        control->setEnabled(taken);
        if (!taken)
            control->setToolTip(kNotYet);
    };
    offer(scaleOf, CommandLineTakes(QStringLiteral("scale-of"), QStringLiteral("short")));
    offer(marginUnit, CommandLineTakes(QStringLiteral("margin"), QStringLiteral("1%")));
    offer(rotation, CommandLineTakes(QStringLiteral("rotate"), QStringLiteral("30")));
    const bool tiles = CommandLineTakes(QStringLiteral("tile"));
    for (QWidget* control : {static_cast<QWidget*>(tile), static_cast<QWidget*>(tileGap),
                             static_cast<QWidget*>(stagger)})
        offer(control, tiles);
}

void MoreOptionsDialog::showChoices() {
    const MoreChoices& choices = panel_.moreChoices();
    showing_ = true;
    (choices.useText ? textMark : pictureMark)->setChecked(true);
    text->setText(choices.text.text);
    fontFamily_ = choices.text.font;
    if (!choices.text.font.isEmpty())
        font->setCurrentFont(QFont(choices.text.font));
    textColor_ = choices.text.color;
    ShowColor(textColor, textColor_);
    textSize->setValue(choices.text.sizePercent);
    outline->setChecked(choices.text.outline);
    shadow->setChecked(choices.text.shadow);
    scale->setValue(choices.style.scale * 100);
    scaleOf->setCurrentIndex(int(choices.style.scaleOf));
    const bool percent = choices.style.marginPercent >= 0;
    marginUnit->setCurrentIndex(percent ? kPercentMargin : kPixelsMargin);
    margin->setDecimals(percent ? 1 : 0);
    margin->setValue(percent ? choices.style.marginPercent : choices.style.margin);
    opacity->setValue(choices.style.opacity);
    rotation->setValue(choices.style.rotation);
    tile->setChecked(choices.style.tile);
    tileGap->setValue(choices.style.tileGap);
    stagger->setChecked(choices.style.tileStagger);
    showSecondMark(choices);
    showResize(choices.output.resize);
    quality->setValue(choices.output.jpegQuality);
    keepQuality->setChecked(choices.output.keepJpegQuality);
    quality->setEnabled(!choices.output.keepJpegQuality);
    lossless->setChecked(SettingIsTrue(SettingKey::JpegLossless));
    stripMetadata->setChecked(choices.output.stripMetadata);
    const int format = choices.moreFormat ? moreFormat->findData(int(*choices.moreFormat)) : 0;
    moreFormat->setCurrentIndex(std::max(format, 0));
    namePattern->setText(choices.namePattern);
    for (int row = 0; row < presets->count(); ++row)
        if (presets->item(row)->text() == choices.preset)
            presets->setCurrentRow(row);
    showing_ = false;
    preview->changed();
}

void MoreOptionsDialog::showSecondMark(const MoreChoices& choices) {
    const std::optional<MarkLayer> line = OwnTextLine(choices);
    const bool own = line || choices.moreMarks.isEmpty();
    secondMark->setChecked(line.has_value());
    if (line) {
        secondText->setText(line->Text.text);
        secondPlacement->setCurrentIndex(line->Placement);
    }
    for (QWidget* control : {static_cast<QWidget*>(secondMark), static_cast<QWidget*>(secondText),
                             static_cast<QWidget*>(secondPlacement)}) {
        control->setEnabled(own);
        control->setToolTip(own ? QString() : kPresetMarks);
    }
}

void MoreOptionsDialog::connectControls() {
    // Every control edits the panel's choices at once; the preview follows.
    const auto take = [this] {
        takeControls();
    };
    for (QRadioButton* button : {pictureMark, textMark})
        connect(button, &QRadioButton::toggled, this, take);
    connect(secondMark, &QCheckBox::toggled, this, take);
    connect(secondPlacement, &QComboBox::currentIndexChanged, this, take);
    for (QLineEdit* field : {text, namePattern, secondText})
        connect(field, &QLineEdit::textChanged, this, take);
    // The usual font stays unnamed until another is chosen, as the command line's default.
    connect(font, &QFontComboBox::currentFontChanged, this, [this](const QFont& chosen) {
        if (showing_)
            return;
        fontFamily_ = chosen.family();
        takeControls();
    });
    for (QDoubleSpinBox* spin : {textSize, scale, margin, rotation, tileGap})
        connect(spin, &QDoubleSpinBox::valueChanged, this, take);
    for (QSpinBox* spin : {opacity, quality, resizeWidth, resizeHeight})
        connect(spin, &QSpinBox::valueChanged, this, take);
    for (QCheckBox* box : {outline, shadow, tile, stagger, keepQuality, stripMetadata, enlarge})
        connect(box, &QCheckBox::toggled, this, take);
    for (QComboBox* combo : {scaleOf, marginUnit, moreFormat, resize})
        connect(combo, &QComboBox::currentIndexChanged, this, take);
    connect(lossless, &QCheckBox::toggled, this, [this](bool on) {
        Guard guard(prompter_, ErrorLocation::Options);
        guard.step(1, [on] {
            SaveSetting(SettingKey::JpegLossless, on ? QStringLiteral("true") : QString("false"));
        });
    });
    connect(textColor, &QPushButton::clicked, this, &MoreOptionsDialog::chooseTextColor);
    // Presets
    connect(usePreset, &QPushButton::clicked, this, &MoreOptionsDialog::usePresetClick);
    connect(presets, &QListWidget::itemActivated, this, &MoreOptionsDialog::usePresetClick);
    connect(saveAs, &QPushButton::clicked, this, &MoreOptionsDialog::saveAsClick);
    connect(save, &QPushButton::clicked, this, &MoreOptionsDialog::saveClick);
    connect(remove, &QPushButton::clicked, this, &MoreOptionsDialog::removeClick);
}

void MoreOptionsDialog::takeControls() {
    if (showing_)
        return;
    MoreChoices choices = panel_.moreChoices();
    choices.useText = textMark->isChecked();
    choices.text.text = text->text();
    choices.text.font = fontFamily_;
    choices.text.color = textColor_;
    choices.text.sizePercent = textSize->value();
    choices.text.outline = outline->isChecked();
    choices.text.shadow = shadow->isChecked();
    choices.style.scale = scale->value() / 100;
    choices.style.scaleOf = ScaleOf(scaleOf->currentIndex());
    const bool percent = marginUnit->currentIndex() == kPercentMargin;
    // Whole pixels, or a percentage to a tenth.
    margin->setDecimals(percent ? 1 : 0);
    margin->setMinimum(percent ? 0 : -1);
    margin->setMaximum(percent ? 50 : 100000);
    choices.style.marginPercent = percent ? margin->value() : -1;
    choices.style.margin = percent ? kUsualMargins : int(margin->value());
    choices.style.opacity = opacity->value();
    choices.style.rotation = rotation->value();
    choices.style.tile = tile->isChecked();
    choices.style.tileGap = tileGap->value();
    choices.style.tileStagger = stagger->isChecked();
    // Further marks a preset brought, other than one text line, are kept as they are.
    if (secondMark->isEnabled())
        choices.moreMarks =
            secondMark->isChecked() && !secondText->text().isEmpty()
                ? QList{TextLine(choices, secondText->text(), secondPlacement->currentIndex())}
                : QList<MarkLayer>();
    choices.output.resize = takeResize();
    choices.output.jpegQuality = quality->value();
    choices.output.keepJpegQuality = keepQuality->isChecked();
    quality->setEnabled(!keepQuality->isChecked());
    choices.output.stripMetadata = stripMetadata->isChecked();
    const QVariant format = moreFormat->currentData();
    choices.moreFormat =
        format.isValid() ? std::optional(OutputFormat(format.toInt())) : std::nullopt;
    choices.namePattern = namePattern->text();
    panel_.setMoreChoices(choices);
    preview->changed();
}

// The resize row's kinds, in the order of its list: the rule's own kinds.
void MoreOptionsDialog::showResize(const ResizeRule& rule) {
    resize->setCurrentIndex(int(rule.kind));
    if (rule.kind == ResizeKind::Percent)
        resizeWidth->setValue(int(std::lround(rule.percent)));
    else if (rule.kind == ResizeKind::Height)
        resizeWidth->setValue(rule.height);
    else if (rule.kind != ResizeKind::None)
        resizeWidth->setValue(rule.width);
    if (rule.kind == ResizeKind::Box)
        resizeHeight->setValue(rule.height);
    enlarge->setChecked(rule.enlarge);
    showResizeFields();
}

void MoreOptionsDialog::showResizeFields() {
    const auto kind = ResizeKind(resize->currentIndex());
    resizeWidth->setVisible(kind != ResizeKind::None);
    resizeWidth->setSuffix(kind == ResizeKind::Percent ? QStringLiteral(" %")
                                                       : QStringLiteral(" px"));
    resizeWidth->setMaximum(kind == ResizeKind::Percent ? 1000 : kMostResizeEdge);
    resizeHeight->setVisible(kind == ResizeKind::Box);
    resizeHeight->setSuffix(QStringLiteral(" px"));
    enlarge->setVisible(kind != ResizeKind::None);
}

ResizeRule MoreOptionsDialog::takeResize() {
    showResizeFields();
    ResizeRule rule;
    rule.kind = ResizeKind(resize->currentIndex());
    switch (rule.kind) {
    case ResizeKind::None:
        return {};
    case ResizeKind::Percent:
        rule.percent = resizeWidth->value();
        break;
    case ResizeKind::Height:
        rule.height = resizeWidth->value();
        break;
    case ResizeKind::Box:
        rule.width = resizeWidth->value();
        rule.height = resizeHeight->value();
        break;
    case ResizeKind::LongEdge:
    case ResizeKind::Width:
        rule.width = resizeWidth->value();
        break;
    }
    rule.enlarge = enlarge->isChecked();
    return rule;
}

void MoreOptionsDialog::chooseTextColor() {
    // The colour dialog speaks 0x00BBGGRR; the text keeps its own strength.
    const QRgb rgb = textColor_;
    const BgrColor initial = BgrColor(qBlue(rgb)) << 16 | BgrColor(qGreen(rgb)) << 8 | qRed(rgb);
    const std::optional<BgrColor> chosen = prompter_.chooseColor(initial);
    if (!chosen)
        return;
    textColor_ = qRgba(int(*chosen & 0xFF), int(*chosen >> 8 & 0xFF), int(*chosen >> 16 & 0xFF),
                       qAlpha(rgb));
    ShowColor(textColor, textColor_);
    takeControls();
}
