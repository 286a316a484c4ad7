// The run's workers: one image each at a time, the reports handed back in list order.
#include "engine/run/runner.h"

#include "support/failure.h"
#include "support/imaging.h"
#include "support/paths.h"

#include <QElapsedTimer>

#include <algorithm>
#include <limits>

namespace {
// The report of an image that is not stamped.
ImageReport Unstamped(const ImagePlan& plan) {
    ImageReport report;
    switch (plan.kind) {
    case ImagePlan::Kind::WouldReplace:
    case ImagePlan::Kind::KeptExisting:
        report.outcome = ImageOutcome::Skipped;
        report.outputPath = plan.output.path;
        report.failures << StepFailure{RunStep::Write, plan.refusal};
        break;
    case ImagePlan::Kind::UpToDate:
        report.outcome = ImageOutcome::UpToDate;
        report.outputPath = plan.output.path;
        break;
    case ImagePlan::Kind::Repeat:
        report.outcome = ImageOutcome::Repeat;
        break;
    case ImagePlan::Kind::OtherShard:
        report.outcome = ImageOutcome::OtherShard;
        break;
    case ImagePlan::Kind::NoOutput:
    case ImagePlan::Kind::Stamp:
        report.outcome = ImageOutcome::Skipped;
        break;
    }
    return report;
}

// The watermark is held whole with a keyed and a scaled copy beside it; it may take a sixteenth of
// the budget.
constexpr qint64 kWatermarkShare = 16;
} // namespace

qint64 WatermarkPixelCeiling(const RunSettings& settings) {
    const qint64 memory = settings.memoryBytes > 0 ? settings.memoryBytes : DefaultMemoryBudget();
    const qint64 ceiling =
        settings.maxPixels > 0 ? settings.maxPixels : std::numeric_limits<qint64>::max();
    return std::min(ceiling, memory / kWatermarkShare);
}

BatchRunner::BatchRunner(WatermarkJob job, RunSettings settings, Wake wake)
    : job_(std::move(job)), settings_(std::move(settings)), wake_(std::move(wake)), planner_(job_) {
    if (settings_.memoryBytes <= 0)
        settings_.memoryBytes = DefaultMemoryBudget();
    if (settings_.maxPixels <= 0)
        settings_.maxPixels = std::numeric_limits<qint64>::max();
    if (settings_.workers <= 0)
        settings_.workers = int(std::max(1u, std::thread::hardware_concurrency()));
    budget_ = std::make_unique<MemoryBudget>(settings_.memoryBytes);
    KeepPictureMemoryWithin(settings_.memoryBytes / settings_.workers);
}

BatchRunner::~BatchRunner() {
    requestStop();
    for (std::thread& thread : threads_)
        thread.join();
    ReleasePictureMemory();
}

void BatchRunner::start() {
    const int workers = std::clamp(settings_.workers, 1, std::max(1, count()));
    {
        std::lock_guard lock(mutex_);
        activeWorkers_ = workers;
    }
    for (int i = 0; i < workers; ++i)
        threads_.emplace_back([this] { work(); });
}

void BatchRunner::requestStop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    touch();
}

bool BatchRunner::stopRequested() const {
    std::lock_guard lock(mutex_);
    return stop_;
}

void BatchRunner::touch() {
    {
        std::lock_guard lock(mutex_);
        ++changes_;
    }
    changed_.notify_all();
    if (wake_)
        wake_();
}

quint64 BatchRunner::changes() const {
    std::lock_guard lock(mutex_);
    return changes_;
}

void BatchRunner::waitForChange(quint64 seen) const {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return changes_ != seen; });
}

int BatchRunner::nextPosition() const {
    std::lock_guard lock(mutex_);
    return nextToTake_;
}

QString BatchRunner::setupFailure() const {
    std::lock_guard lock(mutex_);
    return setupFailure_;
}

QImage BatchRunner::takePicture() {
    std::lock_guard lock(mutex_);
    return std::exchange(picture_, QImage());
}

BatchRunner::Next BatchRunner::takeNext(ImageReport& report) {
    std::lock_guard lock(mutex_);
    const auto found = finished_.find(nextToTake_);
    if (found != finished_.end()) {
        report = std::move(found->second);
        finished_.erase(found);
        ++nextToTake_;
        return Next::Ready;
    }
    const bool handedOut = nextToTake_ < nextToHand_;
    const bool noMoreHanded =
        stop_ || !setupFailure_.isEmpty() || (setUpDone_ && activeWorkers_ == 0);
    if (nextToTake_ > count() || (!handedOut && noMoreHanded))
        return Next::Gone;
    return Next::Pending;
}

bool BatchRunner::setUp() {
    std::unique_lock lock(mutex_);
    if (setUpStarted_) {
        changed_.wait(lock, [&] { return setUpDone_; });
        return setupFailure_.isEmpty();
    }
    setUpStarted_ = true;
    lock.unlock();
    QString failure;
    // The first worker learns which files the inputs and the watermark are and decodes the
    // watermark, once for the whole run; the others wait for it.
    planner_.learnFiles();
    if (!settings_.watermark) {
        try {
            settings_.watermark =
                std::make_shared<RunWatermark>(job_, WatermarkPixelCeiling(settings_));
        } catch (const Failure& error) {
            failure = error.text();
        } catch (const std::bad_alloc&) {
            failure = job_.WatermarkPath + QStringLiteral(": ") + SystemErrorText(ENOMEM);
        }
    }
    lock.lock();
    setupFailure_ = failure;
    setUpDone_ = true;
    lock.unlock();
    changed_.notify_all();
    return failure.isEmpty();
}

ImageReport BatchRunner::process(int position, const ImagePlan& plan) {
    QElapsedTimer timer;
    timer.start();
    ImageReport report;
    if (plan.kind != ImagePlan::Kind::Stamp)
        report = Unstamped(plan);
    else {
        StampRequest request;
        request.inputPath = job_.InputPaths.at(position - 1);
        request.output = plan.output;
        request.mark = plan.mark;
        request.formatNote = plan.note;
        // A copy below the output folder goes into a folder that may not exist yet.
        if (!job_.OutputSubfolders.value(position - 1).isEmpty())
            request.folderToMake = FolderOfPath(plan.output.path).chopped(1);
        request.placement = job_.Placement;
        request.choices = &job_.Output;
        request.style = &job_.Style;
        request.text = &job_.Text;
        request.place = position;
        request.maxPixels = settings_.maxPixels;
        request.budget = budget_.get();
        request.wantPicture = settings_.wantPictures;
        StampResult result = StampFile(request, *settings_.watermark);
        report.outcome = result.written ? ImageOutcome::Written : ImageOutcome::Failed;
        report.outputPath = plan.output.path;
        report.failures = std::move(result.failures);
        report.notes = std::move(result.notes);
        if (!result.picture.isNull()) {
            // The latest in list order: after the run the preview shows the last listed image,
            // whichever worker finished last.
            std::lock_guard lock(mutex_);
            if (position > picturePosition_) {
                picture_ = std::move(result.picture);
                picturePosition_ = position;
            }
        }
    }
    report.position = position;
    report.inputPath = job_.InputPaths.at(position - 1);
    report.renamed = plan.renamed;
    report.milliseconds = timer.elapsed();
    return report;
}

void BatchRunner::work() {
    if (setUp()) {
        for (;;) {
            int position = 0;
            ImagePlan plan;
            {
                std::lock_guard lock(mutex_);
                if (stop_ || nextToHand_ > count())
                    break;
                position = nextToHand_++;
                // Planned as handed out, so in list order whatever the number of workers.
                plan = planner_.plan(position);
            }
            touch();
            ImageReport report = process(position, plan);
            {
                std::lock_guard lock(mutex_);
                finished_.emplace(position, std::move(report));
            }
            touch();
        }
    }
    {
        std::lock_guard lock(mutex_);
        --activeWorkers_;
    }
    touch();
}
