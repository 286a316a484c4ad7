#include "cli/cliargs.h"
#include "cli/clioptions.h"
#include "cli/clirun.h"

#include <QCoreApplication>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <unistd.h>

int main(int argc, char* argv[]) {
    // A file-size limit (ulimit -f) makes a write fail with "File too large", reported against the
    // image like any other failed write, instead of killing the run half way.
    std::signal(SIGXFSZ, SIG_IGN);
    // A report reader that goes away (a closed pipe) fails the report, told at the end, instead of
    // killing the run while it stamps.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
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
