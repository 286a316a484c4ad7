#include "engine/batch.h"

#include "engine/compose.h"
#include "engine/output.h"
#include "engine/surface.h"
#include "engine/writer.h"
#include "support/errorreport.h"
#include "support/failure.h"
#include "support/paths.h"

#include <QPoint>

#include <algorithm>

namespace {
// Step numbers of the run, as the error report shows them after "at line ".
enum Step {
    ReadEntry = 10,
    ShowProgress = 20,
    YieldToWindow = 40,
    MarkBusy = 50,
    ReadOptions = 60,
    Compose = 70, // the compose takes 70 to 74
    Write = 80,
    Redraw = 90,
    FinalYield = 100,
    ClearBusy = 110,
    ResetProgress = 120,
    SayDone = 130,
};

// The run yields to the window once per image, and the window's button may start another run
// from inside that yield; that second start is ignored.
bool g_runUnderWay = false;

class RunGuard {
public:
    RunGuard() { g_runUnderWay = true; }
    ~RunGuard() { g_runUnderWay = false; }
    RunGuard(const RunGuard&) = delete;
    RunGuard& operator=(const RunGuard&) = delete;
};

void WriteOutput(const Surface& composing, const OutputPlan& plan) {
    if (plan.writer == OutputWriter::Bmp) {
        SavePicture(composing.image(), plan.path);
        return;
    }
    QString reason;
    if (!SaveBitmapWithEncoder(composing.image(), plan.path, plan.mimeType, &reason))
        throw Failure(reason);
}

struct ImageResult {
    QString inputPath;
    ImageOutcome outcome = ImageOutcome::Skipped;
    QString outputPath;
};

// One image of the run: read its entry, show progress, yield, take the options afresh, compose and
// write.
ImageResult ProcessImage(BatchWindow& window, Guard& guard, InputIdentities& inputs, int i,
                         QPoint& position) {
    ImageResult result;
    guard.step(ReadEntry, [&] { result.inputPath = window.listText(i); });
    window.imageStarted(i, result.inputPath);
    guard.step(ShowProgress, [&] {
        const int count = std::max(window.listCount(), 1);
        const double value = std::clamp(double(i) / double(count) * 100.0, 0.0, 100.0);
        window.setProgress(value, kProcessingPrefix + FileNameOfPath(result.inputPath));
    });
    guard.step(YieldToWindow, [&] { window.yield(); });
    guard.step(MarkBusy, [&] { window.setBusy(true); });
    WatermarkJob job;
    guard.step(ReadOptions, [&] { job = window.readOptions(); });

    const ComposeOutcome composed = ComposeWatermark(
        result.inputPath, job.WatermarkPath, job.Placement, job.TransparentColor, position,
        window.watermarkSurface(), window.composingSurface(), guard, Compose);
    window.composed(i);

    const std::optional<OutputPlan> plan = PlanOutput(job, result.inputPath);
    if (!plan)
        return result;
    result.outputPath = plan->path;
    // An image that did not decode has no stamped copy: writing the surface now would store the
    // previous image under this image's name.
    if (!composed.imageLoaded || !composed.watermarkLoaded) {
        result.outcome = ImageOutcome::Failed;
        return result;
    }
    bool replacesInput = false;
    const bool written = guard.step(Write, [&] {
        replacesInput = inputs.isListedInput(plan->path);
        if (replacesInput)
            throw Failure(kWouldReplaceInputMessage + plan->path);
        WriteOutput(window.composingSurface(), *plan);
    });
    result.outcome = replacesInput ? ImageOutcome::Skipped
                     : written     ? ImageOutcome::Written
                                   : ImageOutcome::Failed;
    return result;
}

void FinishRun(BatchWindow& window, Guard& guard) {
    guard.step(Redraw, [&] { window.redraw(); });
    guard.step(FinalYield, [&] { window.yield(); });
    guard.step(ClearBusy, [&] { window.setBusy(false); });
    guard.step(ResetProgress, [&] { window.setProgress(0.0, kIdleProgressText); });
    guard.step(SayDone, [&] { window.showMessage(kDoneMessage); });
}
} // namespace

QString CheckWatermarkBatch(const BatchWindow& window) {
    if (window.listCount() < 1)
        return kNoFilesMessage;
    const WatermarkJob job = window.readOptions();
    // A folder is no watermark picture; letting it through would fail every image of the run.
    if (!PathExists(job.WatermarkPath) || IsFolder(job.WatermarkPath))
        return kWatermarkNotFoundMessage;
    if (!IsFolder(job.OutputFolder))
        return kFolderMissingMessage;
    if (window.imagingStartFailed())
        return kImagingNotStartedMessage;
    return QString();
}

void RunWatermarkBatch(BatchWindow& window) {
    if (g_runUnderWay)
        return;
    RunGuard underWay;
    const QString refusal = CheckWatermarkBatch(window);
    if (!refusal.isEmpty()) {
        window.showMessage(refusal);
        return;
    }

    Guard guard([&window](int step, const QString& text) { window.reportError(step, text); });
    InputIdentities inputs([&window](int position) { return window.listText(position); },
                           [&window] { return window.listCount(); });
    QPoint position(0, 0);
    const int n = window.listCount();
    for (int i = 1; i <= n; ++i) {
        const ImageResult result = ProcessImage(window, guard, inputs, i, position);
        window.imageFinished(i, result.inputPath, result.outcome, result.outputPath);
    }
    FinishRun(window, guard);
}
