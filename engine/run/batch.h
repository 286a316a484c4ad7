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

// What the batch run needs of the window that started it. The window, the command line and the
// tests each supply one, so that all of them run the very same batch.
class BatchWindow {
public:
    virtual ~BatchWindow() = default;

    // The list of inputs, read position by position (from 1) once, when the run starts.
    virtual int listCount() const = 0;
    // Raises a Failure when the position no longer holds an entry.
    virtual QString listText(int position) const = 0;
    // Every option but the inputs, as the controls hold them when the run starts.
    virtual WatermarkJob readOptions() const = 0;

    virtual void setProgress(double value, const QString& text) = 0;
    virtual void setBusy(bool busy) = 0;
    virtual void redraw() = 0;
    // Lets the window handle what is pending (repaint, input) and returns.
    virtual void yield() = 0;
    virtual void showMessage(const QString& text) = 0;
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

// The first of the run's four checks that fails, or the empty text when a run may start.
QString CheckWatermarkBatch(const BatchWindow& window);

// The whole batch: the checks, then the list and the options taken once, every listed image
// stamped by the workers and reported in list order, and the end of the run ("Done.", or
// "Stopped." when it was stopped). A second call while a run is under way does nothing.
void RunWatermarkBatch(BatchWindow& window);
