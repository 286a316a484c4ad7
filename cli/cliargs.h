#pragma once

#include "cli/clipreset.h"
#include "engine/run/job.h"

#include <QString>
#include <QStringList>
#include <optional>

// What the command line asks for, before folders are expanded into their files.
struct CliRequest {
    WatermarkJob job;
    QStringList inputs; // files and folders, in the order given
    QString filesFrom;  // a file of further inputs, one a line; "-" for standard input
    // With folder inputs: only the names matching "*." + one of these; none: the files whose
    // extension names a picture format the program reads.
    QStringList extensions;
    bool keepTree = false; // copies of a folder's pictures keep their folders below the output
    QString report;        // the file of the JSON report; "-" for standard output; empty for none
    int jobs = 0;          // workers; 0 for one per core
    // The largest picture, in pixels, held whole; 0 for no ceiling but the memory budget.
    qint64 maxPixels = 0;
    // The memory the run gives its pictures, in bytes; 0 for the default share of the memory.
    qint64 memoryBytes = 0;
    bool quiet = false;
    // Where --save-preset writes the preset made of the options given, instead of running; empty
    // for a run.
    QString savePresetPath;
    Preset presetToSave;
    bool help = false;
    bool version = false;
};

// The placement named by a number 0-8 or by a name such as "bottom-right".
std::optional<int> ParsePlacement(const QString& text);

// A colour written as a person writes it, RRGGBB or #RRGGBB, as a 0x00BBGGRR value.
std::optional<BgrColor> ParseColor(const QString& text);

// A text colour, RRGGBB or RRGGBBAA with or without a leading #, as a 0xAARRGGBB value; without
// AA, full strength.
std::optional<QRgb> ParseTextColor(const QString& text);

// auto, jpg, bmp, png, tif or gif, in any letter case.
std::optional<OutputFormat> ParseFormat(const QString& text);

// The way JPEGs are stamped, reencode or lossless in any letter case: true for lossless.
std::optional<bool> ParseJpegWay(const QString& text);
// width, height, short or long, in any letter case.
std::optional<ScaleOf> ParseScaleOf(const QString& text);

// What to do with a file at an output name that Tintorel did not write: number, replace or skip,
// in any letter case.
std::optional<ExistingFiles> ParseExisting(const QString& text);

// A size in bytes written as 512M, 2G, 1.5G or 1048576: binary units K, M, G and T, with or
// without a following B, in either case; nothing for anything else or for 0.
std::optional<qint64> ParseMemorySize(const QString& text);

// "K/N" with 1 <= K <= N: part K of a run shared out in N parts.
std::optional<RunShard> ParseShard(const QString& text);

// A comma list of extensions, each with or without a leading dot ("jpg,.PNG"), without the dots;
// nothing when it names none.
std::optional<QStringList> ParseExtensions(const QString& text);

// Parses the arguments (without the program name). Sets error to a one-line reason and returns
// nothing when they are malformed.
std::optional<CliRequest> ParseArguments(const QStringList& arguments, QString& error);
