#include "cli/cliargs.h"
#include "cli/clioptions.h"
#include "cli/clirun.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string_view>
#include <unistd.h>

namespace {
// A text mark needs Qt's fonts, which come with a QGuiApplication; it costs some 35 ms of start-up
// that a run with a picture mark does without.
bool WantsFonts(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument == "--")
            break;
        // A preset may hold a text mark.
        for (const std::string_view option : {"--text", "--preset"})
            if (argument == option ||
                (argument.starts_with(option) && argument.substr(option.size()).starts_with('=')))
                return true;
    }
    return false;
}

// The fonts' application draws nothing on a screen: it runs on the offscreen platform, unless the
// environment names one, and Qt's warning of a missing runtime folder, which that platform never
// uses, stays out of the run's messages.
std::unique_ptr<QCoreApplication> FontApplication(int& argc, char* argv[]) {
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
    const std::unique_ptr<QCoreApplication> app =
        WantsFonts(argc, argv) ? FontApplication(argc, argv)
                               : std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tintorel-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TINTOREL_VERSION));
    QTextStream out(stdout);
    QTextStream errors(stderr);

    QString error;
    const std::optional<CliRequest> request =
        ParseArguments(QCoreApplication::arguments().mid(1), error);
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
