#include "cli/clirun.h"

#include "engine/batch.h"
#include "engine/surface.h"
#include "support/folderscan.h"
#include "support/imaging.h"
#include "support/paths.h"

#include <QFile>

namespace {
constexpr int kBarWidth = 30;

// The batch run's window when there is no window: the list is the expanded inputs, the options
// are fixed for the run, and what the window would show goes to the error stream.
class CliWindow : public BatchWindow {
public:
    CliWindow(QStringList inputs, WatermarkJob job, QTextStream& errors, bool showProgress)
        : inputs_(std::move(inputs)), job_(std::move(job)), errors_(errors),
          showProgress_(showProgress) {}

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
    Surface& watermarkSurface() override { return watermark_; }
    Surface& composingSurface() override { return composing_; }
    void imageStarted(int position, const QString& inputPath) override;
    void imageFinished(int, const QString&, ImageOutcome outcome, const QString&) override;

    int written = 0, failed = 0, skipped = 0;

    // Ends the progress line so that the summary starts on a line of its own.
    void finish() { clearProgressLine(); }

private:
    void clearProgressLine();

    QStringList inputs_;
    WatermarkJob job_;
    QTextStream& errors_;
    bool showProgress_;
    bool progressShown_ = false;
    int position_ = 0;
    QString current_;
    bool reportedCurrent_ = false;
    Surface watermark_{QSize(25, 21)};
    Surface composing_{QSize(119, 104)};
};

const QString kSkippedReason =
    QStringLiteral("skipped: its extension names no format that --format auto writes");

void CliWindow::setProgress(double, const QString&) {
    if (!showProgress_ || position_ == 0)
        return;
    const int total = listCount();
    const int filled = total > 0 ? position_ * kBarWidth / total : kBarWidth;
    errors_ << '\r' << '[' << QString(filled, QLatin1Char('#'))
            << QString(kBarWidth - filled, QLatin1Char(' ')) << "] " << position_ << '/' << total
            << ' ' << FileNameOfPath(current_) << "\x1b[K";
    errors_.flush();
    progressShown_ = true;
}

void CliWindow::clearProgressLine() {
    if (progressShown_)
        errors_ << "\r\x1b[K";
    progressShown_ = false;
}

void CliWindow::showMessage(const QString& text) {
    // "Done." closes every run; the summary line says more. The checks were made before the run.
    if (text != kDoneMessage)
        errors_ << text << '\n';
}

void CliWindow::reportError(int, const QString& description) {
    clearProgressLine();
    reportedCurrent_ = true;
    errors_ << (current_.isEmpty() ? QStringLiteral("(no file)") : current_) << ": " << description
            << '\n';
    errors_.flush();
}

void CliWindow::imageStarted(int position, const QString& inputPath) {
    position_ = position;
    current_ = inputPath;
    reportedCurrent_ = false;
}

void CliWindow::imageFinished(int, const QString&, ImageOutcome outcome, const QString&) {
    (outcome == ImageOutcome::Written  ? written
     : outcome == ImageOutcome::Failed ? failed
                                       : skipped)++;
    // The window passes over such an image in silence; a script's user is told why it has no file.
    if (outcome == ImageOutcome::Skipped && !reportedCurrent_) {
        clearProgressLine();
        errors_ << current_ << ": " << kSkippedReason << '\n';
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
    hooks.report = [&errors](int, const QString& text) {
        errors << text << '\n';
    };
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
    CliWindow window(*inputs, request.job, errors, errorsIsTerminal && !request.quiet);
    const QString refusal = CheckWatermarkBatch(window);
    if (!refusal.isEmpty()) {
        errors << refusal << '\n';
        return 2;
    }
    RunWatermarkBatch(window);
    window.finish();
    ImagingRuntime::Shutdown();
    errors << window.written << " written, " << window.failed << " failed, " << window.skipped
           << " skipped\n";
    return window.failed == 0 && window.skipped == 0 ? 0 : 1;
}
