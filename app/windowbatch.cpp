#include "app/windowbatch.h"

#include "app/form1.h"
#include "filelist/imagelist.h"
#include "options/optionspanel.h"
#include "options/preview.h"
#include "support/errorreport.h"
#include "support/imaging.h"
#include "support/prompter.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProgressBar>

int WindowBatch::listCount() const {
    return form_.ListView1->count();
}

QString WindowBatch::listText(int position) const {
    return form_.ListView1->textAt(position);
}

WatermarkJob WindowBatch::readOptions() const {
    return form_.options->readOptions();
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
    if (!quiet_)
        prompter_.showMessage(text, ShortTitle(), Prompter::Icon::None);
}

void WindowBatch::reportError(int step, const QString& description) {
    if (!quiet_)
        ReportError(prompter_, ErrorLocation::StartRun, step, description);
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
    RunWatermarkBatch(*this);
    underWay_ = false;
}

void WindowBatch::runStarted(BatchRunner& runner) {
    runner_ = &runner;
    form_.showRunning(true);
    // A stop that came while the run checked and took its list (a close while a box showed)
    // holds for the workers too.
    if (stopAsked_)
        runner.requestStop();
}

void WindowBatch::runEnded() {
    runner_ = nullptr;
    form_.showRunning(false);
}

void WindowBatch::stop(bool quietly) {
    stopAsked_ = true;
    quiet_ = quiet_ || quietly;
    if (runner_)
        runner_->requestStop();
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
