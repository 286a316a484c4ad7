#pragma once

#include "cli/clipreset.h"
#include "engine/run/job.h"

#include <QList>
#include <QString>

#include <array>
#include <optional>

// The choices of the "More Options" dialog beyond the main window's controls: the mark (a picture
// or a text), how it is sized, placed, weakened, turned and tiled, the further marks a preset
// brings, how copies are encoded and named, and the preset in use.
struct MoreChoices {
    bool useText = false; // the mark is Text, not the watermark picture of the main window
    TextStyle text;       // kept while the picture is the mark, for when the text is chosen again
    StampStyle style;     // keyTolerance is the window's setting, not a choice of the dialog
    QList<MarkLayer> moreMarks;
    OutputChoices output;                   // losslessJpeg is the window's setting JpegLossless
    std::optional<OutputFormat> moreFormat; // a format beyond the four buttons, when chosen
    QString namePattern;
    QString preset; // the name of the preset in use; empty for none
};

// A format beyond the four buttons: what the dialog's list shows and the command line's name.
struct MoreFormat {
    OutputFormat format;
    const char* caption;
    const char* option;
};

// The formats of the dialog's list, in its order; a new one is a row here.
inline constexpr std::array kMoreFormats = {
    MoreFormat{OutputFormat::Tif, "TIFF", "tif"},    MoreFormat{OutputFormat::Gif, "GIF", "gif"},
    MoreFormat{OutputFormat::Webp, "WebP", "webp"},  MoreFormat{OutputFormat::Avif, "AVIF", "avif"},
    MoreFormat{OutputFormat::Jxl, "JPEG XL", "jxl"},
};

// The dialog's second mark: a text line with the page's text style, its own text and placement,
// at the first mark's opacity and margin, so that a logo and a line of text go together.
MarkLayer TextLine(const MoreChoices& choices, const QString& text, int placement);
// The further marks when they are one such text line, which the dialog edits; nothing otherwise
// (none, or marks a preset brought, which it keeps as they are).
std::optional<MarkLayer> OwnTextLine(const MoreChoices& choices);

// The run's job with the choices in it: the mark, its style, the further marks, the encoding,
// the name pattern and a format chosen beyond the buttons.
void ApplyChoices(const MoreChoices& choices, WatermarkJob& job);

// The choices a job holds (the reverse of ApplyChoices, for a preset read into the window).
MoreChoices ChoicesOf(const WatermarkJob& job);

// The job's mark and output options as a preset holds them, each as the command line writes it
// and only where it differs from the command line's default: the one mapping from the window's
// options to a preset.
Preset PresetOf(const WatermarkJob& job);

// What the command line makes of a preset file: the job that tintorel-cli --preset runs. Sets
// error and returns nothing when the preset is refused.
std::optional<WatermarkJob> JobOfPreset(const QString& path, QString& error);

// Whether the command line takes this option with this value: a choice it does not take yet is
// offered disabled rather than stamped differently by the window.
bool CommandLineTakes(const QString& option, const QString& value = QString());

// The dialog's choices remembered in the group of the window's settings, each under its own key
// holding the value the command line writes. Restoring leaves out a value that the command line
// refuses, and the values of the window's own settings (JpegLossless, KeyTolerance) are theirs.
// Given the choices before, only the keys that changed are written.
void SaveChoices(const MoreChoices& choices, const MoreChoices* before = nullptr);
MoreChoices RestoreChoices();

// The settings keys of the choices, in the group of the window's other settings.
namespace MoreSettingKey {
inline const QString MarkKind = QStringLiteral("MarkKind"); // "text" or "picture"
inline const QString Preset = QStringLiteral("Preset");
inline const QString MoreFormat = QStringLiteral("MoreFormat");
inline const QString SecondText = QStringLiteral("Mark2Text");
inline const QString SecondPlacement = QStringLiteral("Mark2Placement");
} // namespace MoreSettingKey

// The presets of the presets folder, by name, in alphabetical order.
QStringList PresetNames();
