#pragma once

#include "engine/run/job.h"
#include "options/morechoices.h"
#include "support/color.h"

#include <QObject>
#include <QRect>
#include <array>
#include <functional>

class ColorSwatch;
class MoreOptionsDialog;
class Prompter;
class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QWidget;

// The framed option groups of the main window: the watermark picture, the transparent colour, the
// placement, the output format and the output folder. The controls hold the options; the run and
// the preview read them when they start, and the remembered ones are stored as they change.
class OptionsPanel : public QObject {
    Q_OBJECT

public:
    OptionsPanel(QWidget* form, Prompter& prompter);

    // Start-up: the nine placement entries, then the stored choices. Each restore raises a
    // Failure for a stored value it cannot use and leaves its control in its design state.
    void fillPlacements();
    void restorePlacement();
    void restoreOutputFolder();
    void restoreOutputFormat();
    void restoreWatermark();
    void restoreTransparentColor();
    // The "More Options" dialog's remembered choices; a value it cannot use is left out.
    void restoreMoreChoices();
    void setDialogColor(BgrColor color) { dialogColor_ = color; }

    // Enables or disables every option control at once (a run disables them while it works).
    void setEnabled(bool enabled);

    // Every option of a run but the list of inputs, as the controls hold them now and, for the
    // way JPG copies of JPEG pictures are written, as the settings file says now.
    WatermarkJob readOptions() const;

    // Keeps the JPG button's tool tip, which says that way, up to date with the settings file.
    bool eventFilter(QObject* watched, QEvent* event) override;

    void PushButton4_Click();
    void PushButton6_Click();
    void PushButton9_Click();
    void pColor_Click();
    // Opens the "More Options" dialog, or raises it when it is open.
    void MoreOptions_Click();
    MoreOptionsDialog* moreOptionsDialog() const { return moreOptions_; }

    // The choices of the "More Options" dialog, which readOptions() puts into every job.
    const MoreChoices& moreChoices() const { return more_; }
    // Takes and remembers new choices. A format chosen beyond the buttons clears the buttons.
    void setMoreChoices(const MoreChoices& choices);
    // Puts a preset's job into the window: the watermark, placement, colour and format of the
    // main window, the window's JPEG and key settings, and the dialog's choices.
    void usePreset(const QString& name, const WatermarkJob& job);
    // The picture the dialog's preview shows: the one selected in the list, else the first.
    void setPictureSource(std::function<QString()> source) { pictureSource_ = std::move(source); }
    QString previewPicture() const { return pictureSource_ ? pictureSource_() : QString(); }
    // Puts the sample watermark that ships beside the program into the watermark box.
    void useSampleWatermark();

    // The controls keep the names the error report's locations and the stored settings use.
    //
    // | control     | caption                                             | role                |
    // |-------------|-----------------------------------------------------|---------------------|
    // | Frame4      | "Watermark Image To Stamp On Top Of Image(s) Above" | the watermark       |
    // | Text1       | (the watermark's path)                              | its file            |
    // | PushButton4 | "..."                                               | pick the watermark  |
    // | Frame3      | "Transparent Color"                                 | the colour left out |
    // | pColor      | (a swatch of the colour)                            | pick the colour     |
    // | PushButton6 | "What's This?"                                      | explain the colour  |
    // | Frame2      | "Watermark Placement"                               | where it goes       |
    // | Combo1      | (the nine placements)                               | the placement       |
    // | Frame6      | "Output Format"                                     | the copies' format  |
    // | Option1     | "Automatic", "JPG", "BMP", "PNG"                    | the format buttons  |
    // | MoreOptions | "More Options..."                                   | the dialog          |
    // | Frame5      | "Save Results To This Folder"                       | the output folder   |
    // | Text2       | (the output folder's path)                          | its path            |
    // | PushButton9 | "..."                                               | pick the folder     |
    QGroupBox* Frame4 = nullptr;
    QLineEdit* Text1 = nullptr;
    QPushButton* PushButton4 = nullptr;
    QGroupBox* Frame3 = nullptr;
    ColorSwatch* pColor = nullptr;
    QPushButton* PushButton6 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QComboBox* Combo1 = nullptr;
    QGroupBox* Frame6 = nullptr;
    std::array<QRadioButton*, kOutputFormatCount> Option1{};
    QButtonGroup* Option1Group = nullptr;
    QPushButton* MoreOptions = nullptr;
    QGroupBox* Frame5 = nullptr;
    QLineEdit* Text2 = nullptr;
    QPushButton* PushButton9 = nullptr;

private:
    void buildWatermarkFrame(QWidget* form);
    void buildColorFrame(QWidget* form);
    void buildPlacementFrame(QWidget* form);
    void buildFormatFrame(QWidget* form);
    void buildFolderFrame(QWidget* form);
    void connectHandlers();
    void showMoreFormat();

    Prompter& prompter_;
    BgrColor dialogColor_ = kWhite;
    // The output picker's starting folder, held for the window's lifetime.
    QString outputPickerFolder_;
    MoreChoices more_;
    MoreOptionsDialog* moreOptions_ = nullptr;
    std::function<QString()> pictureSource_;
};

// A push button of the main window, named and placed as designed; Return and Enter press it when
// it has the focus. A "&" in the caption marks the letter that Alt presses it with.
QPushButton* MakePushButton(QWidget* parent, const char* name, const QString& caption,
                            QRect geometry);

// The watermark path and the transparent colour, remembered beside the stored choices of the
// design in the same group: the path as the box holds it, the colour as the decimal value of its
// 0x00BBGGRR.
namespace PanelSettingKey {
inline const QString WatermarkPath = QStringLiteral("Text1");
inline const QString TransparentColor = QStringLiteral("pColor");
} // namespace PanelSettingKey

// The JPG button's tool tip for each way JPG copies of JPEG pictures are written.
extern const QString kJpgLosslessTip;
extern const QString kJpgReencodeTip;

// The texts of the placement list, in the order of WatermarkPlacement.
extern const std::array<QString, kPlacementCount> kPlacementTexts;
