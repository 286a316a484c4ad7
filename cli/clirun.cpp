#include "cli/clirun.h"

#include "cli/clireport.h"
#include "engine/run/batch.h"
#include "engine/run/planner.h"
#include "engine/stamping/textmark.h"
#include "support/failure.h"
#include "support/imaging.h"
#include "support/paths.h"

#include <atomic>
#include <csignal>
#include <limits>
#include <pthread.h>
#include <thread>

namespace {
constexpr int kBarWidth = 30;

const QString kSkippedReason =
    QStringLiteral("skipped: its extension names no format that --format auto writes");
const QString kRenamedNote =
    QStringLiteral("%1: written as %2, since an earlier image of this run has its output name");
const QString kBesideExistingNote = QStringLiteral(
    "%1: written as %2, since a file that Tintorel did not write has its output name");

// The batch run's window when there is no window: the list is the expanded inputs, the options
// are fixed for the run, and what the window would show goes to the error stream.
class CliWindow : public RunHost {
public:
    CliWindow(const CliInputs& inputs, WatermarkJob job, RunSettings settings, QTextStream& errors,
              bool showProgress)
        : inputs_(inputs.paths), leftOut_(inputs.leftOut), job_(std::move(job)),
          settings_(std::move(settings)), errors_(errors), showProgress_(showProgress) {
        job_.OutputSubfolders = inputs.subfolders;
    }

    int listCount() const override { return int(inputs_.size()); }
    QString listText(int position) const override { return inputs_.at(position - 1); }
    WatermarkJob readOptions() const override { return job_; }
    void setProgress(double value, const QString& text) override;
    void reportError(int, const QString& description) override;
    bool imagingStartFailed() const override { return !ImagingRuntime::IsStarted(); }
    RunSettings runSettings() const override { return settings_; }
    void runStarted(BatchRunner& runner) override {
        runner_.store(&runner);
        if (stopWanted_.load())
            runner.requestStop();
    }
    void runEnded() override { runner_.store(nullptr); }
    void imageFinished(const ImageReport& report) override;

    void useWatermark(std::shared_ptr<RunWatermark> watermark) {
        settings_.watermark = std::move(watermark);
    }
    void useReport(RunReport* report) { report_ = report; }

    // Stops the run after the images in hand; safe from any thread, also before the run starts.
    void stop() {
        stopWanted_.store(true);
        if (BatchRunner* runner = runner_.load())
            runner->requestStop();
    }

    // Counts and reports as skipped the pictures the folder scans left out before the input at
    // that position (1 on); those of another part of a run in parts are that part's to tell.
    void tellLeftOut(qsizetype position);

    int written = 0, failed = 0, skipped = 0, upToDate = 0;

    // Ends the progress line so that the summary starts on a line of its own.
    void finish() { clearProgressLine(); }
    QString summary() const;

private:
    void count(ImageOutcome outcome);
    void clearProgressLine();
    void printLine(const QString& line);

    QStringList inputs_;
    QList<LeftOutInput> leftOut_;
    qsizetype nextLeftOut_ = 0;
    WatermarkJob job_;
    RunSettings settings_;
    QTextStream& errors_;
    bool showProgress_;
    bool progressShown_ = false;
    int position_ = 0;
    RunReport* report_ = nullptr;
    std::atomic<BatchRunner*> runner_{nullptr};
    std::atomic<bool> stopWanted_{false};
};

void CliWindow::setProgress(double value, const QString& text) {
    if (value <= 0 || !showProgress_)
        return;
    ++position_;
    const int total = listCount();
    const int filled = total > 0 ? position_ * kBarWidth / total : kBarWidth;
    errors_ << '\r' << '[' << QString(filled, QLatin1Char('#'))
            << QString(kBarWidth - filled, QLatin1Char(' ')) << "] " << position_ << '/' << total
            << ' ' << text.mid(kProcessingPrefix.size()) << "\x1b[K";
    errors_.flush();
    progressShown_ = true;
}

void CliWindow::clearProgressLine() {
    if (progressShown_)
        errors_ << "\r\x1b[K";
    progressShown_ = false;
}

void CliWindow::printLine(const QString& line) {
    clearProgressLine();
    errors_ << line << '\n';
    errors_.flush();
}

void CliWindow::reportError(int, const QString& description) {
    printLine(description);
}

void CliWindow::count(ImageOutcome outcome) {
    switch (outcome) {
    case ImageOutcome::Written:
        ++written;
        break;
    case ImageOutcome::Failed:
        ++failed;
        break;
    case ImageOutcome::Skipped:
        ++skipped;
        break;
    case ImageOutcome::UpToDate:
        ++upToDate;
        break;
    case ImageOutcome::Repeat:
    case ImageOutcome::OtherShard:
        break;
    }
}

QString CliWindow::summary() const {
    QString text =
        QStringLiteral("%1 written, %2 failed, %3 skipped").arg(written).arg(failed).arg(skipped);
    if (job_.UpdateOnly)
        text += QStringLiteral(", %1 up to date").arg(upToDate);
    return text;
}

// What the command line says of an image beyond the failures that the run reports itself.
QStringList NotesOf(const ImageReport& report) {
    const QString prefix = report.inputPath + QStringLiteral(": ");
    QStringList notes;
    switch (report.outcome) {
    case ImageOutcome::Written:
        if (report.renamed == ImagePlan::Renamed::EarlierImage)
            notes << kRenamedNote.arg(report.inputPath, report.outputPath);
        else if (report.renamed == ImagePlan::Renamed::Existing)
            notes << kBesideExistingNote.arg(report.inputPath, report.outputPath);
        for (const QString& note : report.notes)
            notes << prefix + note;
        break;
    case ImageOutcome::Skipped:
        // The window passes over such an image in silence; a script's user is told why.
        if (report.failures.isEmpty())
            notes << prefix + kSkippedReason;
        break;
    case ImageOutcome::Repeat:
        notes << prefix + kAlreadyStampedNote;
        break;
    default:
        break;
    }
    return notes;
}

void CliWindow::tellLeftOut(qsizetype position) {
    for (; nextLeftOut_ < leftOut_.size() && leftOut_[nextLeftOut_].before < position;
         ++nextLeftOut_) {
        const LeftOutInput& item = leftOut_[nextLeftOut_];
        if (job_.Shard.count > 1 && ShardOf(item.relative, job_.Shard.count) != job_.Shard.index)
            continue;
        ++skipped;
        ImageReport report;
        report.inputPath = item.path;
        report.outcome = ImageOutcome::Skipped;
        if (report_)
            report_->add(report, item.path + QStringLiteral(": ") + item.reason);
    }
}

void CliWindow::imageFinished(const ImageReport& report) {
    tellLeftOut(report.position);
    // Another machine's part of the run tells of its own images.
    if (report.outcome == ImageOutcome::OtherShard)
        return;
    count(report.outcome);
    const QStringList notes = NotesOf(report);
    for (const QString& note : notes)
        printLine(note);
    if (report_) {
        QStringList message;
        for (const StepFailure& failure : report.failures)
            message << failure.text;
        message << notes;
        report_->add(report, message.join(QLatin1Char('\n')));
    }
}

// SIGINT and SIGTERM stop the run after the images in hand. They are taken by a thread of their
// own, so that stopping is ordinary code rather than a signal handler.
class StopSignals {
public:
    explicit StopSignals(CliWindow& window) {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGUSR1); // ends the waiting thread once the run is over
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        thread_ = std::thread([this, &window] {
            int number = 0;
            while (sigwait(&set_, &number) == 0 && number != SIGUSR1) {
                received_.store(number);
                window.stop();
            }
        });
    }
    ~StopSignals() {
        pthread_kill(thread_.native_handle(), SIGUSR1);
        thread_.join();
        pthread_sigmask(SIG_UNBLOCK, &set_, nullptr);
    }
    // 128 + the signal that stopped the run, or 0.
    int exitCode() const { return received_ ? 128 + received_ : 0; }

private:
    sigset_t set_{};
    std::atomic<int> received_{0};
    std::thread thread_;
};

// Makes the missing output folder with its parents, and says so.
bool MakeOutputFolder(const QString& folder, QTextStream& errors) {
    try {
        MakeFolderPath(folder);
    } catch (const Failure& failure) {
        errors << "tintorel-cli: cannot create the output folder " << folder << ": "
               << failure.text() << '\n';
        return false;
    }
    errors << "tintorel-cli: created the output folder " << folder << '\n';
    return true;
}

// The run's checks, the output folder made when it is missing, the watermark decoded and the
// report started. False, with the reason told, when the run cannot start.
bool StartRun(CliWindow& window, const CliRequest& request, const CliInputs& inputs,
              RunReport& report, QTextStream& errors) {
    // Every text mark's font, the further marks' too: never a mark left out for want of one.
    QList<TextStyle> texts{request.job.Text};
    for (const MarkLayer& layer : request.job.MoreMarks)
        texts << layer.Text;
    for (const TextStyle& text : texts) {
        if (text.text.isEmpty())
            continue;
        if (const std::optional<QString> refusal = FontRefusal(text.font)) {
            errors << "tintorel-cli: " << *refusal << '\n';
            return false;
        }
    }
    RunCheck check = CheckWatermarkBatch(window);
    // The folder is checked after the list and the watermark, so a run that cannot start for
    // them makes no folder.
    if (check.refusal == RunRefusal::FolderMissing && !request.job.OutputFolder.isEmpty()) {
        if (!MakeOutputFolder(request.job.OutputFolder, errors))
            return false;
        check = CheckWatermarkBatch(window);
    }
    if (!check.passed()) {
        errors << check.text << '\n';
        return false;
    }
    // The watermark is decoded once, before the run; a watermark that cannot be decoded is one
    // message, not one for every image.
    QString error;
    try {
        window.useWatermark(std::make_shared<RunWatermark>(
            request.job, WatermarkPixelCeiling(window.runSettings())));
    } catch (const Failure& failure) {
        error = failure.text();
    }
    if (error.isEmpty() && !request.report.isEmpty()) {
        WatermarkJob job = window.readOptions();
        job.InputPaths = inputs.paths;
        error = ReportClash(request.report, job, request.filesFrom);
        if (error.isEmpty() && report.open(request.report, error))
            window.useReport(&report);
    }
    if (!error.isEmpty())
        errors << "tintorel-cli: " << error << '\n';
    return error.isEmpty();
}
} // namespace

int RunCli(const CliRequest& request, QTextStream& errors, bool errorsIsTerminal) {
    QString error;
    const std::optional<CliInputs> inputs = CollectInputs(request, errors, error);
    if (!inputs) {
        errors << "tintorel-cli: " << error << '\n';
        return 2;
    }
    ImagingRuntime::Startup();
    RunSettings settings;
    settings.workers = request.jobs;
    settings.maxPixels = request.maxPixels;
    settings.memoryBytes = request.memoryBytes;
    CliWindow window(*inputs, request.job, settings, errors, errorsIsTerminal && !request.quiet);
    RunReport report;
    if (!StartRun(window, request, *inputs, report, errors))
        return 2;
    int signalExit = 0;
    RunOutcome outcome;
    {
        StopSignals stopSignals(window);
        outcome = RunWatermarkBatch(window);
        signalExit = stopSignals.exitCode();
    }
    window.tellLeftOut(std::numeric_limits<qsizetype>::max());
    window.finish();
    // "Done." closes every run; the summary line says more.
    if (outcome.end != RunEnd::Done)
        errors << outcome.message << '\n';
    ImagingRuntime::Shutdown();
    const bool reported = !report.isOpen() || report.finish(error);
    if (!reported)
        errors << "tintorel-cli: " << error << '\n';
    errors << window.summary() << '\n';
    if (signalExit)
        return signalExit;
    // A check that passed before the run can fail at its start (the folder removed meanwhile).
    if (outcome.end == RunEnd::Refused)
        return 2;
    return window.failed == 0 && window.skipped == 0 && reported ? 0 : 1;
}
