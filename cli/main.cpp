#include "cli/cliargs.h"
#include "cli/clioptions.h"
#include "cli/clirun.h"

#include "engine/stamping/marksource.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTextStream>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {
// The command line as Qt reads it, before there is an application to ask.
QStringList Arguments(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

// Whether a mark draws letters: a text, or an SVG, which may hold text. Qt's fonts come only with
// a QGuiApplication, whose start a run of raster marks does without.
bool DrawsLetters(const CliRequest& request) {
    const WatermarkJob& job = request.job;
    if (!job.Text.text.isEmpty() || IsSvgFile(job.WatermarkPath))
        return true;
    return std::any_of(job.MoreMarks.begin(), job.MoreMarks.end(), [](const MarkLayer& layer) {
        return !layer.Text.text.isEmpty() || IsSvgFile(layer.WatermarkPath);
    });
}

// The application for the run: with fonts, on the offscreen platform unless the environment names
// another, since it shows nothing on a screen; Qt's warning of a missing runtime folder, which that
// platform never uses, stays out of the run's messages.
std::unique_ptr<QCoreApplication> Application(int& argc, char* argv[], bool fonts) {
    if (!fonts)
        return std::make_unique<QCoreApplication>(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    auto app = std::make_unique<QGuiApplication>(argc, argv);
    qInstallMessageHandler(previous);
    return app;
}
} // namespace

int main(int argc, char* argv[]) {
    // A file-size limit (ulimit -f) makes a write fail with "File too large", reported against the
    // image like any other failed write, instead of killing the run half way.
    std::signal(SIGXFSZ, SIG_IGN);
    // A report reader that goes away (a closed pipe) fails the report, told at the end, instead of
    // killing the run while it stamps.
    std::signal(SIGPIPE, SIG_IGN);
    QString error;
    const std::optional<CliRequest> request = ParseArguments(Arguments(argc, argv), error);
    const std::unique_ptr<QCoreApplication> app =
        Application(argc, argv, request && DrawsLetters(*request));
    QCoreApplication::setApplicationName(QStringLiteral("tintorel-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TINTOREL_VERSION));
    QTextStream out(stdout);
    QTextStream errors(stderr);

    if (!request) {
        errors << "tintorel-cli: " << error << "\nTry 'tintorel-cli --help' for more.\n";
        return 2;
    }
    if (request->help) {
        out << UsageText();
        return 0;
    }
    if (request->version) {
        out << "tintorel-cli " << TINTOREL_VERSION << '\n';
        return 0;
    }
    if (!request->savePresetPath.isEmpty()) {
        if (const QString why = WritePreset(request->presetToSave, request->savePresetPath);
            !why.isEmpty()) {
            errors << "tintorel-cli: " << why << '\n';
            return 2;
        }
        if (!request->quiet)
            errors << "tintorel-cli: preset written to " << request->savePresetPath << '\n';
        return 0;
    }
    return RunCli(*request, errors, ::isatty(STDERR_FILENO) == 1);
}
