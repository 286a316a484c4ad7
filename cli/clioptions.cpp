#include "cli/clioptions.h"

#include "engine/io/picturereader.h"

#include <QStringList>

namespace {
// Where the descriptions start in --help.
constexpr qsizetype kHelpColumn = 30;

QString OptionLines(const CliOption& option) {
    QString head = QStringLiteral("  --") + QLatin1String(option.name);
    if (option.value)
        head += QLatin1Char(' ') + QLatin1String(option.value);
    const QStringList lines = QString::fromUtf8(option.help).split(QLatin1Char('\n'));
    QString text;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString start = i == 0 ? head : QString();
        // A name too long for its column puts the description on the next line.
        if (start.size() >= kHelpColumn)
            text += start + QLatin1Char('\n') + QString(kHelpColumn, QLatin1Char(' '));
        else
            text += start.leftJustified(kHelpColumn);
        text += lines[i] + QLatin1Char('\n');
    }
    return text;
}
} // namespace

QString UsageText() {
    QString text = QStringLiteral(
        "usage: tintorel-cli --watermark FILE --output DIR [options] INPUT...\n"
        "Stamps the watermark picture onto every input image and writes one stamped copy of each\n"
        "into the output folder. The inputs themselves are never changed.\n"
        "\n"
        "  INPUT                       image files, or folders: the files of the folder tree\n"
        "                              whose extension names a picture format the program\n"
        "                              reads, or with --extension the matching ones; links to\n"
        "                              folders are followed, but never round a loop, and a\n"
        "                              picture left out (a pipe, a link to nothing, a name\n"
        "                              beginning with \"~\" or not valid UTF-8, a folder too\n"
        "                              deep to enter) is reported as skipped\n");
    for (const CliOption& option : CliOptions())
        text += OptionLines(option);
    text += QStringLiteral(
        "\n"
        "Exit code 0 when every input was written or up to date, 1 when any failed or was\n"
        "skipped or the report could not be written (an earlier report is then kept), 2 when\n"
        "the run could not start, 130 or 143 when stopped by SIGINT or SIGTERM (the images in\n"
        "hand are finished first; no file is left half written).\n");
    QStringList without = NewerFormats().without;
    if (!without.isEmpty()) {
        const QString last = without.takeLast();
        const QString named =
            without.isEmpty() ? last : without.join(QStringLiteral(", ")) + " and " + last;
        text += QStringLiteral("\nThis build leaves out %1:\nit writes none of them, and reads "
                               "them only where Qt's image plug-ins do.\n")
                    .arg(named);
    }
    return text;
}
