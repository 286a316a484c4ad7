// The batch run of every front end: its checks, the job taken at Start, reports in list order.
#include "engine/run/batch.h"

#include "support/errorreport.h"
#include "support/paths.h"

#include <algorithm>

namespace {
// Step numbers of the run, as the error report shows them after "at line ". Those of one image
// are in stampfile.h.
enum Step {
    ReadOptions = 60,
    Redraw = 90,
    FinalYield = 100,
    ClearBusy = 110,
    ResetProgress = 120,
    SayDone = 130,
};

// The window's button starts a run and, while one is under way, is no starter; a second start
// from inside the run's waiting is ignored all the same.
bool g_runUnderWay = false;

class RunGuard {
public:
    RunGuard() { g_runUnderWay = true; }
    ~RunGuard() { g_runUnderWay = false; }
    RunGuard(const RunGuard&) = delete;
    RunGuard& operator=(const RunGuard&) = delete;
};

// The list and the options as they stand at Start: what the user changes in the window while the
// run goes on does not change the run.
WatermarkJob TakeJob(RunHost& window, Guard& guard) {
    WatermarkJob job;
    guard.step(ReadOptions, [&] { job = window.readOptions(); });
    job.InputPaths.clear();
    const int count = window.listCount();
    for (int position = 1; position <= count; ++position)
        guard.step(RunStep::ReadEntry, [&] { job.InputPaths << window.listText(position); });
    return job;
}

void Deliver(RunHost& window, BatchRunner& runner, const ImageReport& report) {
    for (const StepFailure& failure : report.failures)
        window.reportError(failure.step, failure.text);
    window.imageFinished(report);
    if (const QImage picture = runner.takePicture(); !picture.isNull())
        window.showComposed(picture);
}

// Takes the reports in list order while the workers go on. Each image shows in the progress bar
// while it is the next one due, so the bar moves as images complete, the same for any number of
// workers. Returns the number of images reported.
int TakeReports(RunHost& window, BatchRunner& runner) {
    const int count = runner.count();
    int reported = 0;
    for (int position = 1; position <= count; ++position) {
        ImageReport report;
        bool shown = false;
        for (;;) {
            const quint64 seen = runner.changes();
            const BatchRunner::Next next = runner.takeNext(report);
            if (next == BatchRunner::Next::Gone)
                return reported;
            if (!shown) {
                const double value = std::clamp(double(position) / count * 100.0, 0.0, 100.0);
                window.setProgress(value,
                                   kProcessingPrefix +
                                       FileNameOfPath(runner.job().InputPaths.at(position - 1)));
                shown = true;
            }
            if (next == BatchRunner::Next::Ready)
                break;
            window.waitForWorkers(runner, seen);
        }
        Deliver(window, runner, report);
        ++reported;
    }
    return reported;
}

void FinishRun(RunHost& window, Guard& guard, const QString& closing) {
    guard.step(Redraw, [&] { window.redraw(); });
    guard.step(FinalYield, [&] { window.yield(); });
    guard.step(ClearBusy, [&] { window.setBusy(false); });
    guard.step(ResetProgress, [&] { window.setProgress(0.0, kIdleProgressText); });
    guard.step(SayDone, [&] { window.showMessage(closing); });
}
} // namespace

RunCheck CheckWatermarkBatch(const RunHost& window) {
    if (window.listCount() < 1)
        return {RunRefusal::NoFiles, kNoFilesMessage};
    const WatermarkJob job = window.readOptions();
    // A folder is no watermark picture; letting it through would fail every image of the run.
    // A text mark needs no picture.
    if (job.Text.text.isEmpty() && (!PathExists(job.WatermarkPath) || IsFolder(job.WatermarkPath)))
        return {RunRefusal::WatermarkNotFound, kWatermarkNotFoundMessage};
    if (!IsFolder(job.OutputFolder))
        return {RunRefusal::FolderMissing, kFolderMissingMessage};
    if (window.imagingStartFailed())
        return {RunRefusal::ImagingNotStarted, kImagingNotStartedMessage};
    return {};
}

RunOutcome RunWatermarkBatch(RunHost& window) {
    if (g_runUnderWay)
        return {RunEnd::Ignored, {}, {}};
    RunGuard underWay;
    const RunCheck check = CheckWatermarkBatch(window);
    if (!check.passed()) {
        window.showMessage(check.text);
        return {RunEnd::Refused, check, check.text};
    }

    Guard guard([&window](int step, const QString& text) { window.reportError(step, text); });
    BatchRunner runner(TakeJob(window, guard), window.runSettings(), window.wakeUp());
    window.setBusy(true);
    window.runStarted(runner);
    runner.start();
    const int reported = TakeReports(window, runner);
    // A watermark that cannot be decoded is told once, not once for every image.
    if (const QString failure = runner.setupFailure(); !failure.isEmpty())
        window.reportError(RunStep::LoadWatermark, failure);
    const bool stopped = runner.stopRequested() && reported < runner.count();
    window.runEnded();
    const RunOutcome outcome{
        stopped ? RunEnd::Stopped : RunEnd::Done, {}, stopped ? kStoppedMessage : kDoneMessage};
    FinishRun(window, guard, outcome.message);
    return outcome;
}
