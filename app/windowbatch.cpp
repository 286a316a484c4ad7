#include "app/windowbatch.h"

#include "app/form1.h"
#include "engine/run/planner.h"
#include "filelist/imagelist.h"
#include "options/optionspanel.h"
#include "options/preview.h"
#include "support/errorreport.h"
#include "support/failure.h"
#include "support/imaging.h"
#include "support/prompter.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProgressBar>

#include <cstring>

int WindowBatch::listCount() const {
    return form_.ListView1->count();
}

QString WindowBatch::listText(int position) const {
    return form_.ListView1->textAt(position);
}

WatermarkJob WindowBatch::readOptions() const {
    WatermarkJob job = form_.options->readOptions();
    job.Existing = existing_;
    return job;
}

namespace {
// How many copies of the run would land on a file that this program did not write: planned as
// the run plans them, with both kept.
int ForeignOutputs(WatermarkJob job, const RunHost& host) {
    job.Existing = ExistingFiles::Number;
    for (int position = 1; position <= host.listCount(); ++position) {
        try {
            job.InputPaths << host.listText(position);
        } catch (const Failure&) {
            // An entry gone is the run's to report.
        }
    }
    RunPlanner planner(job);
    planner.learnFiles();
    int foreign = 0;
    for (int position = 1; position <= int(job.InputPaths.size()); ++position)
        if (planner.plan(position).renamed == ImagePlan::Renamed::Existing)
            ++foreign;
    return foreign;
}
} // namespace

void WindowBatch::askAboutForeignFiles() {
    existing_ = ExistingFiles::Number;
    if (!CheckWatermarkBatch(*this).passed())
        return;
    const int foreign = ForeignOutputs(readOptions(), *this);
    if (foreign == 0)
        return;
    switch (prompter_.askExisting(kForeignFilesQuestion.arg(foreign), ShortTitle())) {
    case Prompter::ExistingAnswer::Replace:
        existing_ = ExistingFiles::Replace;
        break;
    case Prompter::ExistingAnswer::Skip:
        existing_ = ExistingFiles::Skip;
        break;
    case Prompter::ExistingAnswer::KeepBoth:
        break;
    }
}

void WindowBatch::setProgress(double value, const QString& text) {
    form_.ProgressBar1->setValue(qRound(value));
    form_.ProgressBar1->setFormat(text);
}

void WindowBatch::setBusy(bool busy) {
    form_.setBusy(busy);
}

void WindowBatch::redraw() {
    form_.repaint();
}

void WindowBatch::yield() {
    QCoreApplication::processEvents();
}

void WindowBatch::showMessage(const QString& text) {
    if (quiet_)
        return;
    if (tally_.started())
        showRunEnd(text);
    else
        prompter_.showMessage(text, ShortTitle(), Prompter::Icon::None);
}

void WindowBatch::showRunEnd(const QString& closing) {
    const QString text = tally_.message(closing);
    if (tally_.anyFailure())
        prompter_.showDetails(text, ShortTitle(), Prompter::Icon::Warning, tally_.details());
    else
        prompter_.showMessage(text, ShortTitle(), Prompter::Icon::None);
}

void WindowBatch::reportError(int step, const QString& description) {
    // During a run a failure is gathered for the box at its end: a box per failure would hold
    // the user for as many clicks as there are failing pictures.
    if (underWay_)
        tally_.addFailure(step, description);
    else if (!quiet_)
        ReportError(prompter_, ErrorLocation::StartRun, step, description);
}

void WindowBatch::imageFinished(const ImageReport& report) {
    tally_.addReport(report);
    // A folder that takes no file fails every picture after this one too: the run stops here.
    for (const StepFailure& failure : report.failures)
        if (report.outcome == ImageOutcome::Failed && FailsEveryPicture(failure) && !stopAsked_) {
            tally_.setFolderUnwritable(outputFolder_);
            stop(false);
        }
}

bool WindowBatch::imagingStartFailed() const {
    return GdiplusStartFailed();
}

RunSettings WindowBatch::runSettings() const {
    RunSettings settings;
    // An open preview shows each image as the run stamps it, so the pictures come back whole.
    const Form2* preview = form_.existingForm2();
    settings.wantPictures = preview && preview->isVisible();
    return settings;
}

BatchRunner::Wake WindowBatch::wakeUp() {
    return [this] {
        QMetaObject::invokeMethod(
            &waker_,
            [this] {
                if (waiting_)
                    waiting_->quit();
            },
            Qt::QueuedConnection);
    };
}

void WindowBatch::waitForWorkers(BatchRunner& runner, quint64 seen) {
    if (runner.changes() != seen)
        return;
    // News posted before the loop runs is delivered inside it, so none is missed.
    QEventLoop loop;
    waiting_ = &loop;
    loop.exec();
    waiting_ = nullptr;
}

void WindowBatch::run() {
    underWay_ = true;
    stopAsked_ = false;
    quiet_ = false;
    tally_ = RunTally();
    askAboutForeignFiles();
    RunWatermarkBatch(*this);
    underWay_ = false;
    tally_ = RunTally();
}

void WindowBatch::runStarted(BatchRunner& runner) {
    runner_ = &runner;
    tally_.begin(runner.count());
    outputFolder_ = runner.job().OutputFolder;
    form_.showRunning(true);
    // A folder that takes no file would fail every picture: the run stops before the first.
    if (const int error = FolderRefusesFiles(outputFolder_); error != 0) {
        tally_.setFolderUnwritable(outputFolder_, QString::fromLocal8Bit(std::strerror(error)));
        stopAsked_ = true;
    }
    // A stop that came while the run checked and took its list (a close while a box showed)
    // holds for the workers too.
    if (stopAsked_) {
        form_.showStopping();
        runner.requestStop();
    }
}

void WindowBatch::runEnded() {
    runner_ = nullptr;
    form_.showRunning(false);
}

void WindowBatch::stop(bool quietly) {
    stopAsked_ = true;
    quiet_ = quiet_ || quietly;
    if (runner_) {
        form_.showStopping();
        runner_->requestStop();
    }
    if (waiting_)
        waiting_->quit();
}

void WindowBatch::showComposed(const QImage& picture) {
    // An open preview shows each image as the run composes it; a hidden one stays hidden.
    if (Form2* preview = form_.existingForm2(); preview && preview->isVisible()) {
        preview->surface().setPicture(picture);
        preview->fitToImage();
    }
}
