#pragma once

#include "cli/cliargs.h"

#include <QTextStream>

// A picture, or a folder that may hold pictures, that a folder scan passed over; the run reports
// it as skipped, among the inputs where the scan came upon it.
struct LeftOutInput {
    QString path; // as text, the bytes that no text can show as U+FFFD
    QString reason;
    qsizetype before = 0; // how many inputs come before it
    // Its path below its input folder: in a run shared out in parts, the part of that name tells
    // of it, so that it is told once.
    QString relative;
};

// The inputs of a run, with folders expanded into their pictures and the --files-from list read.
struct CliInputs {
    QStringList paths;
    // With --keep-tree, for each path the folder below its input folder that it was found in, as
    // a relative path ("" for the input folder itself and for files named one by one); empty
    // without --keep-tree.
    QStringList subfolders;
    QList<LeftOutInput> leftOut;
};

// Sets error and returns nothing when the --files-from list cannot be read.
std::optional<CliInputs> CollectInputs(const CliRequest& request, QTextStream& errors,
                                       QString& error);

// True for a file name whose extension, in any letter case, names a picture format the program
// reads: those Qt's image readers know, and every spelling the program writes.
bool IsPictureName(const QString& fileName);
