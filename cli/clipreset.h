#pragma once

#include <QList>
#include <QString>

#include <optional>

// One option of a preset as the command line gives it: its name without "--" and its value (the
// empty text for an option without one).
struct PresetOption {
    QString name;
    QString value;
    friend bool operator==(const PresetOption&, const PresetOption&) = default;
};

// The mark and output options of a run kept in a file, so that a look is made once and used again
// by name, here and in the window. [Output] holds how copies are written; [Mark 1], [Mark 2] ...
// each mark, stamped in that order over the picture.
struct Preset {
    QList<PresetOption> output;
    QList<QList<PresetOption>> marks;
};

// Which section of a preset an option belongs to; None for the options of one run only (the
// inputs, the output folder, the workers ...), which no preset holds.
enum class PresetPart { None, Output, Mark };
PresetPart PresetPartOf(const QString& option);

// The folder of the presets that a bare name stands for: Varnholt/presets in the user's
// configuration folder ($XDG_CONFIG_HOME, else ~/.config).
QString PresetFolder();

// The file a preset argument names: a bare name, without "/" and not ending in ".ini", is
// NAME.ini in the presets folder; anything else is a path as given.
QString PresetPath(const QString& nameOrPath);

// Reads a preset. Sets error to a one-line reason naming the file and line, and returns nothing,
// when the file cannot be read or holds a section or option that a preset cannot hold. The
// options' values are checked where they are applied, as on the command line.
std::optional<Preset> ReadPreset(const QString& path, QString& error);

// The preset as its file holds it, with a comment saying what it is.
QByteArray PresetText(const Preset& preset);

// Writes the preset, replacing the file whole or not at all, and makes its folder when needed.
// Returns why it could not, or the empty text.
QString WritePreset(const Preset& preset, const QString& path);
