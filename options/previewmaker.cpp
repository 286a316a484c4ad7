// The preview made on a worker: checks on the window's thread, decode and compose on the worker,
// the result shown back on the window's thread.
#include "options/previewmaker.h"

#include "engine/run/job.h"
#include "options/preview.h"
#include "support/errorreport.h"
#include "support/imaging.h"
#include "support/prompter.h"

#include <QApplication>
#include <QFileInfo>
#include <QtConcurrent/QtConcurrentRun>

namespace {
// The numbered steps of one preview, as its error report names them.
enum PreviewStep {
    LookUpWatermark = 10,
    FindWindow = 20,
    Compose = 30, // the five compose steps take 30 to 34
    FitWindow = 40,
    ShowWindow = 50,
};

// The lookup that decides whether a preview starts: the path names a file (a folder, a device or
// nothing at all does not). The empty path names nothing.
bool WatermarkFileFound(const QString& path) {
    return !path.isEmpty() && QFileInfo(path).isFile();
}

// A reader's text names the file unless it says which one already.
QString NamingFile(const QString& text, const QString& path) {
    return text.contains(path) ? text : path + QStringLiteral(": ") + text;
}
} // namespace

PreviewMaker::PreviewMaker(Prompter& prompter, std::function<Form2*()> form2, QObject* parent)
    : QObject(parent), prompter_(prompter), form2_(std::move(form2)) {
    pool_.setMaxThreadCount(1);
    connect(&watcher_, &QFutureWatcherBase::finished, this, &PreviewMaker::show);
}

PreviewMaker::~PreviewMaker() {
    cancel();
    pool_.waitForDone();
}

void PreviewMaker::preview(const QString& imagePath, const WatermarkJob& options) {
    // A new request answers for the one under way, whatever becomes of it.
    cancel();
    Guard guard(prompter_, ErrorLocation::Preview);
    bool found = false;
    // A lookup that fails is reported and counts as finding nothing.
    guard.step(LookUpWatermark, [&] {
        found = !options.Text.text.isEmpty() || WatermarkFileFound(options.WatermarkPath);
    });
    if (!found) {
        prompter_.showMessage(kInvalidWatermarkPathMessage, ShortTitle(), Prompter::Icon::None);
        return;
    }
    if (imagePath.isEmpty()) {
        prompter_.showMessage(kSelectPictureMessage, ShortTitle(), Prompter::Icon::None);
        return;
    }
    Form2* window = nullptr;
    guard.step(FindWindow, [&] { window = form2_(); });
    if (!window)
        return;
    PreviewRequest request;
    request.imagePath = imagePath;
    request.watermarkPath = options.WatermarkPath;
    request.text = options.Text;
    request.placement = options.Placement;
    request.transparent = options.TransparentColor;
    request.style = options.Style;
    for (const MarkLayer& layer : options.MoreMarks)
        request.more << PreviewLayer{layer.WatermarkPath, layer.Text, layer.Placement, layer.Style};
    request.room = window->pictureRoom();
    request.maxPixels = DefaultMaxPixels();
    start(request);
}

void PreviewMaker::start(const PreviewRequest& request) {
    stop_ = std::make_shared<std::atomic<bool>>(false);
    setWorking(true);
    watcher_.setFuture(QtConcurrent::run(&pool_, &PreviewMaker::compose, request, stop_));
}

PreviewMaker::Outcome PreviewMaker::compose(PreviewRequest request,
                                            std::shared_ptr<std::atomic<bool>> stop) {
    Outcome outcome;
    // Superseded while it waited for the worker: nothing to do.
    if (stop->load())
        return outcome;
    request.stop = stop.get();
    // A failed step names the file it failed on; a preview that could not be composed opens no
    // window, since it would show something other than the picture.
    Guard guard([&](int step, const QString& text) {
        const QString& file = step == Compose ? request.watermarkPath : request.imagePath;
        outcome.failures.append({step, NamingFile(text, file)});
    });
    outcome.shown = ComposePreview(request, guard, Compose);
    return outcome;
}

void PreviewMaker::cancel() {
    if (stop_)
        stop_->store(true);
    setWorking(false);
}

void PreviewMaker::show() {
    // The watcher follows the future started last: only a cancel leaves its result unwanted.
    if (!stop_ || stop_->load() || !watcher_.isFinished())
        return;
    const Outcome outcome = watcher_.result();
    setWorking(false);
    for (const auto& [step, text] : outcome.failures)
        ReportError(prompter_, ErrorLocation::Preview, step, text);
    if (outcome.failures.isEmpty() && !outcome.shown.picture.isNull()) {
        Guard guard(prompter_, ErrorLocation::Preview);
        Form2* window = nullptr;
        // The window may have been closed while the picture decoded: a new one opens.
        guard.step(FindWindow, [&] { window = form2_(); });
        if (window) {
            window->surface().setPicture(outcome.shown.picture);
            guard.step(FitWindow, [&] { window->fitToImage(); });
            guard.step(ShowWindow, [&] { window->showPreview(); });
        }
    }
    emit finished();
}

void PreviewMaker::setWorking(bool working) {
    if (working == working_)
        return;
    working_ = working;
    // The busy arrow: the window takes clicks while the picture decodes.
    if (working)
        QApplication::setOverrideCursor(Qt::BusyCursor);
    else
        QApplication::restoreOverrideCursor();
}
