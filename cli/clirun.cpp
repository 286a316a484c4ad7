#include "cli/clirun.h"

#include "engine/batch.h"
#include "engine/output.h"
#include "support/folderscan.h"
#include "support/failure.h"
#include "support/imaging.h"
#include "support/paths.h"

#include <QFile>

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <thread>

namespace {
constexpr int kBarWidth = 30;

const QString kSkippedReason =
    QStringLiteral("skipped: its extension names no format that --format auto writes");
const QString kRenamedNote =
    QStringLiteral("%1: written as %2, since an earlier image of this run has its output name");

// The batch run's window when there is no window: the list is the expanded inputs, the options
// are fixed for the run, and what the window would show goes to the error stream.
class CliWindow : public BatchWindow {
public:
    CliWindow(QStringList inputs, WatermarkJob job, RunSettings settings, QTextStream& errors,
              bool showProgress)
        : inputs_(std::move(inputs)), job_(std::move(job)), settings_(std::move(settings)),
          errors_(errors), showProgress_(showProgress) {}

    int listCount() const override { return int(inputs_.size()); }
    QString listText(int position) const override { return inputs_.at(position - 1); }
    WatermarkJob readOptions() const override { return job_; }
    void setProgress(double value, const QString& text) override;
    void setBusy(bool) override {}
    void redraw() override {}
    void yield() override {}
    void showMessage(const QString& text) override;
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

    // Stops the run after the images in hand; safe from any thread, also before the run starts.
    void stop() {
        stopWanted_.store(true);
        if (BatchRunner* runner = runner_.load())
            runner->requestStop();
    }

    int written = 0, failed = 0, skipped = 0;

    // Ends the progress line so that the summary starts on a line of its own.
    void finish() { clearProgressLine(); }

private:
    void clearProgressLine();
    void printLine(const QString& line);

    QStringList inputs_;
    WatermarkJob job_;
    RunSettings settings_;
    QTextStream& errors_;
    bool showProgress_;
    bool progressShown_ = false;
    int position_ = 0;
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

void CliWindow::showMessage(const QString& text) {
    // "Done." closes every run; the summary line says more. The checks were made before the run.
    if (text != kDoneMessage)
        printLine(text);
}

void CliWindow::reportError(int, const QString& description) {
    printLine(description);
}

void CliWindow::imageFinished(const ImageReport& report) {
    switch (report.outcome) {
    case ImageOutcome::Written:
        ++written;
        if (report.renamed)
            printLine(kRenamedNote.arg(report.inputPath, report.outputPath));
        break;
    case ImageOutcome::Failed:
        ++failed;
        break;
    case ImageOutcome::Skipped:
        ++skipped;
        // The window passes over such an image in silence; a script's user is told why.
        if (report.failures.isEmpty())
            printLine(report.inputPath + QStringLiteral(": ") + kSkippedReason);
        break;
    case ImageOutcome::Repeat:
        printLine(report.inputPath + QStringLiteral(": ") + kAlreadyStampedNote);
        break;
    }
}

QStringList ReadLines(QIODevice& device) {
    QStringList lines;
    QTextStream in(&device);
    QString line;
    while (in.readLineInto(&line)) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (!line.isEmpty())
            lines << line;
    }
    return lines;
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
} // namespace

std::optional<QStringList> CollectInputs(const CliRequest& request, QTextStream& errors,
                                         QString& error) {
    QStringList given = request.inputs;
    if (!request.filesFrom.isEmpty()) {
        QFile list;
        const bool opened =
            request.filesFrom == QLatin1String("-")
                ? list.open(stdin, QIODevice::ReadOnly)
                : (list.setFileName(request.filesFrom), list.open(QIODevice::ReadOnly));
        if (!opened) {
            error = QStringLiteral("cannot read %1: %2").arg(request.filesFrom, list.errorString());
            return std::nullopt;
        }
        given << ReadLines(list);
    }
    // A folder is collected as a dropped folder is, or as the folder scan does with an extension.
    const QString pattern = request.extension.isEmpty() ? QStringLiteral("*.*")
                                                        : QStringLiteral("*.") + request.extension;
    FolderScanHooks hooks;
    hooks.report = [&errors](int, const QString& text) { errors << text << '\n'; };
    hooks.leftOut = [&errors](const QString& path, const QString& reason) {
        errors << path << ": " << reason << '\n';
    };
    // The output folder inside an input folder holds the outputs of earlier runs, not inputs.
    const std::optional<FileIdentity> output = IdentityOf(request.job.OutputFolder);
    if (output)
        hooks.skipFolder = [&output](const QString& folder) { return IdentityOf(folder) == output; };
    QStringList inputs;
    for (const QString& path : given) {
        if (IsFolder(path))
            CollectFolderFiles(
                path, pattern, [&inputs](const QString& file) { inputs << file; }, hooks);
        else
            inputs << path;
    }
    return inputs;
}

int RunCli(const CliRequest& request, QTextStream& errors, bool errorsIsTerminal) {
    QString error;
    const std::optional<QStringList> inputs = CollectInputs(request, errors, error);
    if (!inputs) {
        errors << "tintorel-cli: " << error << '\n';
        return 2;
    }
    ImagingRuntime::Startup();
    RunSettings settings;
    settings.workers = request.jobs;
    CliWindow window(*inputs, request.job, settings, errors, errorsIsTerminal && !request.quiet);
    if (const QString refusal = CheckWatermarkBatch(window); !refusal.isEmpty()) {
        errors << refusal << '\n';
        return 2;
    }
    // The watermark is decoded once, before the run; a watermark that cannot be decoded is one
    // message, not one for every image.
    try {
        window.useWatermark(std::make_shared<RunWatermark>(
            request.job.WatermarkPath, request.job.TransparentColor, request.job.Style));
    } catch (const Failure& failure) {
        errors << "tintorel-cli: " << failure.text() << '\n';
        return 2;
    }
    int signalExit = 0;
    {
        StopSignals stopSignals(window);
        RunWatermarkBatch(window);
        signalExit = stopSignals.exitCode();
    }
    window.finish();
    ImagingRuntime::Shutdown();
    errors << window.written << " written, " << window.failed << " failed, " << window.skipped
           << " skipped\n";
    if (signalExit)
        return signalExit;
    return window.failed == 0 && window.skipped == 0 ? 0 : 1;
}
