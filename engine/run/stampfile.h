#pragma once

#include "engine/run/budget.h"
#include "engine/run/job.h"
#include "engine/run/planner.h"
#include "engine/run/runmarks.h"
#include "engine/stamping/decode.h"
#include "engine/stamping/stamp.h"

#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

// Step numbers of one image of the run, as the error report shows them after "at line ".
namespace RunStep {
inline constexpr int ReadEntry = 10;
inline constexpr int LoadWatermark = 70;
inline constexpr int LoadImage = 71;
inline constexpr int Place = 73;
inline constexpr int Write = 80;
} // namespace RunStep

// A failed step of one image, with the failure's text naming the file at fault.
struct StepFailure {
    int step = 0;
    QString text;
    friend bool operator==(const StepFailure&, const StepFailure&) = default;
};

struct StampRequest {
    QString inputPath;
    OutputPlan output;
    // A folder to create, with its parents, before the output is written; empty for none.
    QString folderToMake;
    int placement = 0;
    const OutputChoices* choices = nullptr;
    const StampStyle* style = nullptr;
    // A text drawn as the first mark for this picture, in place of the run's first mark, when its
    // text is not empty; place is the picture's place in the list, from 1, for the variables of
    // every text mark.
    const TextStyle* text = nullptr;
    int place = 1;
    // The largest picture held whole; above it a picture fails with its size.
    qint64 maxPixels = 0;
    // The run's memory, shared with the other workers; none for a caller that stamps one picture.
    MemoryBudget* budget = nullptr;
    // Decode the whole picture even where rows could stream, and hand the stamped picture back.
    bool wantPicture = false;
    // What the copy is made from (see provenance.h), set on it before it takes its name; empty
    // for none.
    QByteArray mark;
    // What the user is told of the copy's format, such as a HEIC written as JPEG; empty for none.
    QString formatNote;
};

// The note of a JPEG copy written at a quality although the picture's own tables were asked
// for: a picture that is no JPEG (or one of more than four components) has none to give.
inline const QString kPlainQualityNote =
    QStringLiteral("written at quality %1: the picture has no JPEG tables of its own to keep");

struct StampResult {
    bool written = false;
    QList<StepFailure> failures;
    // What the user may want to know of a written copy, such as a JPEG re-encoded although the
    // lossless way was chosen, or a text's variables that came out empty.
    QStringList notes;
    QImage picture; // flattened, when asked for
};

// One image's whole way: open (decoder chosen by content), orient, stamp, encode into a
// temporary file beside the target, metadata, commit. JPEG and PNG inputs written as JPEG or PNG
// go a band of rows at a time and never hold the whole picture; other formats and pictures that
// must be turned are held whole. A picture goes on only once the budget admits what its way will
// hold; one that cannot fit even alone fails with its size. With the lossless way chosen, a JPEG
// written as JPEG goes that way when it can (see jpeglossless.h). An image that fails anywhere gets
// no output file, and an earlier file at its output path stays as it was.
StampResult StampFile(const StampRequest& request, RunWatermark& watermark);
