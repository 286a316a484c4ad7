#pragma once

#include "engine/run/job.h"
#include "engine/run/runner.h"

#include <QImage>
#include <QString>

inline const QString kNoFilesMessage = QStringLiteral("No files added.");
inline const QString kWatermarkNotFoundMessage =
    QStringLiteral("Watermark image file not found. Please select a watermark image file.");
inline const QString kFolderMissingMessage =
    QStringLiteral("Folder does not exist. Please select another folder.");
inline const QString kImagingNotStartedMessage = QStringLiteral("GDI+ Initialization Failed.");
inline const QString kDoneMessage = QStringLiteral("Done.");
inline const QString kStoppedMessage = QStringLiteral("Stopped.");
inline const QString kProcessingPrefix = QStringLiteral("Processing: ");
inline const QString kIdleProgressText = QStringLiteral("Progress Bar");

// Why a run does not start: the first of its four checks that fails, in their order.
enum class RunRefusal { None, NoFiles, WatermarkNotFound, FolderMissing, ImagingNotStarted };

// The outcome of the run's checks: the refusal and its message, or None and no text.
struct RunCheck {
    RunRefusal refusal = RunRefusal::None;
    QString text;
    bool passed() const { return refusal == RunRefusal::None; }
};

// How a run ended. A front end decides on this value, never on the words of a message.
enum class RunEnd {
    Done,    // every listed image reported
    Refused, // a check failed; nothing was stamped
    Stopped, // stopped before every image was reported
    Ignored, // a run was already under way
};

struct RunOutcome {
    RunEnd end = RunEnd::Done;
    RunCheck check;  // why it was refused, for RunEnd::Refused
    QString message; // what the host was shown at the end ("Done.", "Stopped." or the refusal)
};

// What the batch run needs of the front end that started it: the window, the command line and the
// tests each supply one, so that all of them run the very same batch. A front end with nothing to
// show or do for a call keeps the empty default.
class RunHost {
public:
    virtual ~RunHost() = default;

    // The list of inputs, read position by position (from 1) once, when the run starts.
    virtual int listCount() const = 0;
    // Raises a Failure when the position no longer holds an entry.
    virtual QString listText(int position) const = 0;
    // Every option but the inputs, as the controls hold them when the run starts.
    virtual WatermarkJob readOptions() const = 0;

    virtual void setProgress(double value, const QString& text) = 0;
    virtual void setBusy(bool /*busy*/) {}
    virtual void redraw() {}
    // Lets the window handle what is pending (repaint, input) and returns.
    virtual void yield() {}
    // A refusal, or the end of the run ("Done.", "Stopped."); RunWatermarkBatch returns it too.
    virtual void showMessage(const QString& /*text*/) {}
    // The common error report for a failed step of the run.
    virtual void reportError(int step, const QString& description) = 0;
    virtual bool imagingStartFailed() const = 0;

    // How many workers, which limits; and whether stamped pictures are wanted for a preview.
    virtual RunSettings runSettings() const { return {}; }
    // Called from the workers when there is news; a window wakes its event loop with it.
    virtual BatchRunner::Wake wakeUp() { return {}; }
    // Waits until the runner's changes() differs from seen. The default blocks; a window keeps
    // its events flowing meanwhile, so that it answers and can stop the run.
    virtual void waitForWorkers(BatchRunner& runner, quint64 seen) { runner.waitForChange(seen); }
    // The run's workers are busy from runStarted() on, until runEnded(); the window may stop
    // them with requestStop() in between.
    virtual void runStarted(BatchRunner& /*runner*/) {}
    virtual void runEnded() {}
    // Called once per listed image, in list order, when the run is done with it.
    virtual void imageFinished(const ImageReport& /*report*/) {}
    // The latest stamped picture, when runSettings() asked for pictures.
    virtual void showComposed(const QImage& /*picture*/) {}
};

// The first of the run's four checks that fails, with its message; None when a run may start.
RunCheck CheckWatermarkBatch(const RunHost& host);

// The whole batch: the checks, then the list and the options taken once, every listed image
// stamped by the workers and reported in list order, and the end of the run ("Done.", or
// "Stopped." when it was stopped) shown and returned. A second call while a run is under way
// does nothing and returns RunEnd::Ignored.
RunOutcome RunWatermarkBatch(RunHost& host);
