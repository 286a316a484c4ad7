#pragma once

#include "engine/io/resize.h"

#include "options/morechoices.h"

#include <QDialog>

class LivePreview;
class OptionsPanel;
class Prompter;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QFontComboBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;
class QToolButton;

// The dialog "More Options": the mark, the output and the presets, with a live preview. It edits
// the options panel's choices as it goes; nothing waits for a closing OK. Not modal, so that the
// list's selection, which the preview follows, can change while it is open.
class MoreOptionsDialog : public QDialog {
    Q_OBJECT

public:
    MoreOptionsDialog(OptionsPanel& panel, Prompter& prompter, QWidget* parent);

    // Shows the panel's choices in the controls (after a preset was used, or the format buttons
    // changed the list's choice).
    void showChoices();

    QTabWidget* tabs = nullptr;
    LivePreview* preview = nullptr;
    // Mark
    QRadioButton* pictureMark = nullptr;
    QRadioButton* textMark = nullptr;
    QLineEdit* text = nullptr;
    QToolButton* textVariables = nullptr;
    QFontComboBox* font = nullptr;
    QPushButton* textColor = nullptr;
    QDoubleSpinBox* textSize = nullptr;
    QCheckBox* outline = nullptr;
    QCheckBox* shadow = nullptr;
    QDoubleSpinBox* scale = nullptr;
    QComboBox* scaleOf = nullptr;
    QDoubleSpinBox* margin = nullptr;
    QComboBox* marginUnit = nullptr;
    QSpinBox* opacity = nullptr;
    QDoubleSpinBox* rotation = nullptr;
    QCheckBox* tile = nullptr;
    QDoubleSpinBox* tileGap = nullptr;
    QCheckBox* stagger = nullptr;
    QCheckBox* secondMark = nullptr;
    QLineEdit* secondText = nullptr;
    QComboBox* secondPlacement = nullptr;
    // Output
    QComboBox* resize = nullptr;
    QSpinBox* resizeWidth = nullptr;  // the long edge, width, height or percent, by the kind
    QSpinBox* resizeHeight = nullptr; // the box's height
    QCheckBox* enlarge = nullptr;
    QSpinBox* quality = nullptr;
    QCheckBox* keepQuality = nullptr;
    QCheckBox* lossless = nullptr;
    QCheckBox* stripMetadata = nullptr;
    QComboBox* moreFormat = nullptr;
    QLineEdit* namePattern = nullptr;
    QToolButton* nameVariables = nullptr;
    // Presets
    QListWidget* presets = nullptr;
    QPushButton* usePreset = nullptr;
    QPushButton* saveAs = nullptr;
    QPushButton* save = nullptr;
    QPushButton* remove = nullptr;

    // The Presets tab's buttons: use the selected preset, save the options under a new name (asked
    // through the prompter), save them over the preset in use, delete the selected one (confirmed).
    void usePresetClick();
    void saveAsClick();
    void saveClick();
    void removeClick();

private:
    QWidget* buildMarkTab();
    QWidget* buildOutputTab();
    QWidget* buildPresetsTab();
    void connectControls();
    void showSecondMark(const MoreChoices& choices);
    void showResize(const ResizeRule& rule);
    void showResizeFields();
    ResizeRule takeResize();
    void offerWhatTheCommandLineTakes();
    // The controls' state into the panel's choices, remembered, and the preview told.
    void takeControls();
    void chooseTextColor();
    void savePreset(const QString& name);
    void fillPresets();

    OptionsPanel& panel_;
    Prompter& prompter_;
    QRgb textColor_ = 0xffffffff;
    QString fontFamily_;
    bool showing_ = false; // the controls are being filled: their signals change nothing
};

// The control, with the name a screen reader reads out for it.
template <typename Control> Control* Named(Control* control, const QString& name) {
    control->setAccessibleName(name);
    return control;
}

// The variables a text mark and a name pattern take, as the menus insert them.
extern const QStringList kMarkVariables;
