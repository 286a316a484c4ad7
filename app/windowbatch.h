#pragma once

#include "app/runtally.h"
#include "engine/run/batch.h"

#include <QObject>

// Asked before a run whose copies would land on files that this program did not write.
inline const QString kForeignFilesQuestion = QStringLiteral(
    "%1 file(s) in the output folder were not written by Tintorel and have the names that copies "
    "of this run would take.\r\rReplace them, skip those pictures, or keep both (the copies then "
    "take numbered names)?");

class Form1;
class Prompter;
class QEventLoop;

// The batch run's view of the main window: the list, the option controls, the progress bar, the
// busy mark and the message boxes. The workers stamp; the window's own thread only waits for
// their reports with its events flowing, so the window keeps answering and can stop the run.
class WindowBatch : public RunHost {
public:
    WindowBatch(Form1& form, Prompter& prompter) : form_(form), prompter_(prompter) {}

    int listCount() const override;
    QString listText(int position) const override;
    WatermarkJob readOptions() const override;
    void setProgress(double value, const QString& text) override;
    void setBusy(bool busy) override;
    void redraw() override;
    void yield() override;
    void showMessage(const QString& text) override;
    void reportError(int step, const QString& description) override;
    bool imagingStartFailed() const override;
    RunSettings runSettings() const override;
    BatchRunner::Wake wakeUp() override;
    void waitForWorkers(BatchRunner& runner, quint64 seen) override;
    void runStarted(BatchRunner& runner) override;
    void runEnded() override;
    void imageFinished(const ImageReport& report) override;
    void showComposed(const QImage& picture) override;

    // The whole run, from its checks to its closing box. It counts as running from the first
    // check on, so that a stop asked for before the workers exist still stops it.
    void run();
    bool isRunning() const { return underWay_; }
    // Stops the run after the images in hand. With quietly, the boxes still due are not shown:
    // the window is closing.
    void stop(bool quietly);

private:
    // The one box at the end of a run: its counts, and the failures in the details.
    void showRunEnd(const QString& closing);
    // Asks, once for all, what becomes of files of others at the copies' names.
    void askAboutForeignFiles();

    Form1& form_;
    Prompter& prompter_;
    // Failures and counts of the run under way, told in one box at its end.
    RunTally tally_;
    QString outputFolder_;
    // The user's answer for files of others at the copies' names; by default both are kept.
    ExistingFiles existing_ = ExistingFiles::Number;
    BatchRunner* runner_ = nullptr;
    bool underWay_ = false;
    bool stopAsked_ = false;
    bool quiet_ = false;
    // Lives in the window's thread: the workers' news reaches the waiting loop through it.
    QObject waker_;
    QEventLoop* waiting_ = nullptr;
};
