#pragma once

#include "engine/run/budget.h"
#include "engine/run/job.h"
#include "engine/run/planner.h"
#include "engine/stamping/decode.h"
#include "engine/stamping/stamp.h"

#include <QImage>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <map>
#include <tuple>

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

// One mark of a run: where its pixels come from and how it is placed. A text is drawn for each
// picture; a picture or SVG mark is made once and sized for each picture size.
struct RunMarkLayer {
    StampMark mark; // a picture or an SVG, unsized; null for a text
    TextStyle text; // the text drawn for each picture, when not empty
    int placement = 0;
    StampStyle style;
};

// The marks of a run, their files decoded once and shared by every worker: the first mark, placed
// as each request says, and the further ones over it in their order, each with its own placement
// and style. A mark is sized once for each picture size met, not once per picture.
class RunWatermark {
public:
    // The job's marks: its watermark file or its text, then its further marks. A raster picture
    // is refused like any picture above maxPixels. Raises a Failure naming the file.
    RunWatermark(const WatermarkJob& job, qint64 maxPixels);
    // One watermark file: a raster picture or an SVG.
    RunWatermark(const QString& path, BgrColor transparent, const StampStyle& style,
                 qint64 maxPixels);
    explicit RunWatermark(StampMark mark);

    const QList<RunMarkLayer>& layers() const { return layers_; }
    // The first mark's box on a picture of that upright size.
    QSize sizeFor(QSize picture) const { return layers_.front().mark.sizeFor(picture); }
    // A picture or SVG mark for a picture of the given upright size where only `visible` of it
    // lands on the picture. A mark much larger than its visible part is made only there, and is
    // not kept for others.
    StampMark forPicture(qsizetype layer, QSize picture, QRect visible);

private:
    StampMark kept(qsizetype layer, QSize picture);

    QList<RunMarkLayer> layers_;
    QMutex mutex_;
    std::map<std::tuple<qsizetype, int, int>, StampMark> bySize_;
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
};

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
