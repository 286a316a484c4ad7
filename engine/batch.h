#pragma once

#include "engine/job.h"

#include <QString>

class Surface;

inline const QString kNoFilesMessage = QStringLiteral("No files added.");
inline const QString kWatermarkNotFoundMessage =
    QStringLiteral("Watermark image file not found. Please select a watermark image file.");
inline const QString kFolderMissingMessage =
    QStringLiteral("Folder does not exist. Please select another folder.");
inline const QString kImagingNotStartedMessage = QStringLiteral("GDI+ Initialization Failed.");
inline const QString kDoneMessage = QStringLiteral("Done.");
inline const QString kProcessingPrefix = QStringLiteral("Processing: ");
inline const QString kIdleProgressText = QStringLiteral("Progress Bar");

// What became of one listed image.
enum class ImageOutcome { Written, Failed, Skipped };

// What the batch run needs of the window that started it. The window, the command line and the
// tests each supply one, so that all of them run the very same batch.
class BatchWindow {
public:
    virtual ~BatchWindow() = default;

    // The list of inputs, read position by position (from 1) while the run goes on.
    virtual int listCount() const = 0;
    // Raises a Failure when the position no longer holds an entry.
    virtual QString listText(int position) const = 0;
    // Every option but the inputs, as the controls hold them at this moment.
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

    // The two drawing surfaces the run composes on.
    virtual Surface& watermarkSurface() = 0;
    virtual Surface& composingSurface() = 0;
    // Called when the run has read the entry of the image it now works on.
    virtual void imageStarted(int /*position*/, const QString& /*inputPath*/) {}
    // Called after each compose, so that an open preview shows the image just composed.
    virtual void composed(int /*position*/) {}
    // Called once per listed image when the run is done with it.
    virtual void imageFinished(int /*position*/, const QString& /*inputPath*/,
                               ImageOutcome /*outcome*/, const QString& /*outputPath*/) {}
};

// The first of the run's four checks that fails, or the empty text when a run may start.
QString CheckWatermarkBatch(const BatchWindow& window);

// The whole batch: the checks, one compose and write per listed image, and the end of the run.
// A second call while a run is under way (from inside its yield) does nothing.
void RunWatermarkBatch(BatchWindow& window);
