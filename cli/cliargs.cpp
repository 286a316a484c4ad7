#include "cli/cliargs.h"

#include <QRegularExpression>

namespace {
const QStringList kPlacementNames = {
    QStringLiteral("upper-left"),  QStringLiteral("upper-middle"),  QStringLiteral("upper-right"),
    QStringLiteral("middle-left"), QStringLiteral("middle-middle"), QStringLiteral("middle-right"),
    QStringLiteral("bottom-left"), QStringLiteral("bottom-middle"), QStringLiteral("bottom-right"),
};

// Options that take a value, and the field each one fills.
bool TakesValue(const QString& name) {
    static const QStringList withValue = {
        QStringLiteral("watermark"),         QStringLiteral("output"),
        QStringLiteral("files-from"),        QStringLiteral("placement"),
        QStringLiteral("transparent-color"), QStringLiteral("format"),
        QStringLiteral("extension"),         QStringLiteral("jobs"),
        QStringLiteral("scale"),             QStringLiteral("margin"),
        QStringLiteral("opacity"),           QStringLiteral("quality")};
    return withValue.contains(name);
}

// A whole number within the bounds, or nothing.
std::optional<int> ParseCount(const QString& text, int low, int high) {
    bool isNumber = false;
    const int number = text.toInt(&isNumber);
    return isNumber && number >= low && number <= high ? std::optional(number) : std::nullopt;
}

// The options that shape the mark and the encoding; false with a reason for a bad value.
bool ApplyStampValue(CliRequest& request, const QString& name, const QString& value,
                     QString& error) {
    WatermarkJob& job = request.job;
    if (name == QLatin1String("scale")) {
        bool isNumber = false;
        const double scale = value.toDouble(&isNumber);
        if (!isNumber || !(scale > 0 && scale <= 1))
            error = QStringLiteral("--scale takes a share of the image width above 0 and at most "
                                   "1, not \"%1\"").arg(value);
        job.Style.scale = scale;
    } else if (name == QLatin1String("margin")) {
        const auto margin = ParseCount(value, 0, 1 << 20);
        if (!margin)
            error = QStringLiteral("--margin takes a number of pixels, 0 or more, not \"%1\"")
                        .arg(value);
        job.Style.margin = margin.value_or(-1);
    } else if (name == QLatin1String("opacity")) {
        const auto opacity = ParseCount(value, 0, 100);
        if (!opacity)
            error = QStringLiteral("--opacity takes a percentage from 0 to 100, not \"%1\"")
                        .arg(value);
        job.Style.opacity = opacity.value_or(100);
    } else if (name == QLatin1String("quality")) {
        const auto quality = ParseCount(value, 1, 100);
        job.Output.keepJpegQuality = value == QLatin1String("keep");
        if (!quality && !job.Output.keepJpegQuality)
            error = QStringLiteral("--quality takes 1 to 100 or keep, not \"%1\"").arg(value);
        job.Output.jpegQuality = quality.value_or(75);
    } else if (name == QLatin1String("jobs")) {
        const auto jobs = ParseCount(value, 1, 1024);
        if (!jobs)
            error = QStringLiteral("--jobs takes a number of workers, 1 or more, not \"%1\"")
                        .arg(value);
        request.jobs = jobs.value_or(0);
    }
    return error.isEmpty();
}

bool ApplyValue(CliRequest& request, const QString& name, const QString& value, QString& error) {
    if (name == QLatin1String("watermark"))
        request.job.WatermarkPath = value;
    else if (name == QLatin1String("output"))
        request.job.OutputFolder = value;
    else if (name == QLatin1String("files-from"))
        request.filesFrom = value;
    else if (name == QLatin1String("extension"))
        request.extension = value;
    else if (name == QLatin1String("placement")) {
        const auto placement = ParsePlacement(value);
        if (!placement)
            error = QStringLiteral("unknown placement \"%1\" (0-8 or a name such as bottom-right)")
                        .arg(value);
        request.job.Placement = placement.value_or(0);
    } else if (name == QLatin1String("transparent-color")) {
        const auto color = ParseColor(value);
        if (!color)
            error = QStringLiteral("unknown colour \"%1\" (RRGGBB or #RRGGBB)").arg(value);
        request.job.TransparentColor = color.value_or(kWhite);
    } else if (name == QLatin1String("format")) {
        const auto format = ParseFormat(value);
        if (!format)
            error = QStringLiteral("unknown format \"%1\" (auto, jpg, bmp or png)").arg(value);
        request.job.Format = format.value_or(OutputFormat::Automatic);
    } else {
        return ApplyStampValue(request, name, value, error);
    }
    return error.isEmpty();
}

bool ApplyFlag(CliRequest& request, const QString& name, QString& error) {
    if (name == QLatin1String("quiet"))
        request.quiet = true;
    else if (name == QLatin1String("help"))
        request.help = true;
    else if (name == QLatin1String("version"))
        request.version = true;
    else if (name == QLatin1String("strip-metadata"))
        request.job.Output.stripMetadata = true;
    else
        error = QStringLiteral("unknown option --%1").arg(name);
    return error.isEmpty();
}
} // namespace

std::optional<int> ParsePlacement(const QString& text) {
    bool isNumber = false;
    const int number = text.toInt(&isNumber);
    if (isNumber)
        return number >= 0 && number < kPlacementCount ? std::optional(number) : std::nullopt;
    const qsizetype index = kPlacementNames.indexOf(text.toLower());
    return index < 0 ? std::nullopt : std::optional(int(index));
}

std::optional<BgrColor> ParseColor(const QString& text) {
    static const QRegularExpression hex(QStringLiteral("^#?([0-9A-Fa-f]{6})$"));
    const QRegularExpressionMatch match = hex.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const uint rgb = match.captured(1).toUInt(nullptr, 16);
    return BgrColor((rgb >> 16) & 0xFF) | BgrColor(rgb & 0xFF00) | (BgrColor(rgb & 0xFF) << 16);
}

std::optional<OutputFormat> ParseFormat(const QString& text) {
    static const QStringList names = {QStringLiteral("auto"), QStringLiteral("jpg"),
                                      QStringLiteral("bmp"), QStringLiteral("png")};
    const qsizetype index = names.indexOf(text.toLower());
    return index < 0 ? std::nullopt : std::optional(OutputFormat(index));
}

std::optional<CliRequest> ParseArguments(const QStringList& arguments, QString& error) {
    CliRequest request;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (optionsEnded || !argument.startsWith(QLatin1String("--")) || argument == "-") {
            request.inputs << argument;
            continue;
        }
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        QString name = argument.mid(2);
        QString value;
        const qsizetype equals = name.indexOf(QLatin1Char('='));
        const bool inlineValue = equals >= 0;
        if (inlineValue) {
            value = name.mid(equals + 1);
            name.truncate(equals);
        }
        if (!TakesValue(name)) {
            if (inlineValue)
                error = QStringLiteral("--%1 takes no value").arg(name);
            if (!error.isEmpty() || !ApplyFlag(request, name, error))
                return std::nullopt;
            continue;
        }
        if (!inlineValue) {
            if (++i >= arguments.size()) {
                error = QStringLiteral("--%1 needs a value").arg(name);
                return std::nullopt;
            }
            value = arguments[i];
        }
        if (!ApplyValue(request, name, value, error))
            return std::nullopt;
    }
    return request;
}

QString UsageText() {
    return QStringLiteral(
        "usage: tintorel-cli --watermark FILE --output DIR [options] INPUT...\n"
        "Stamps the watermark picture onto every input image and writes one stamped copy of each\n"
        "into the output folder. The inputs themselves are never changed.\n"
        "\n"
        "  INPUT                       image files, or folders (every file of the folder tree,\n"
        "                              or with --extension only the matching ones)\n"
        "  --watermark FILE            the watermark picture\n"
        "  --output DIR                the output folder\n"
        "  --files-from FILE           read more inputs, one path a line (\"-\" for standard "
        "input)\n"
        "  --placement P               0-8 or upper-left, upper-middle, upper-right, middle-left,\n"
        "                              middle-middle, middle-right, bottom-left, bottom-middle,\n"
        "                              bottom-right (default 0, upper-left)\n"
        "  --transparent-color C       the watermark colour left out, RRGGBB or #RRGGBB\n"
        "                              (default FFFFFF)\n"
        "  --format F                  auto, jpg, bmp or png (default auto: each image in its own\n"
        "                              format, for bmp, jpg, jpeg, jpe, jfif, gif, png, tif, "
        "tiff)\n"
        "  --extension EXT             with folder inputs: only files matching \"*.\" + EXT\n"
        "  --scale F                   the watermark's width as a share F of each image's width\n"
        "                              (0 < F <= 1), its aspect kept (default: its own size)\n"
        "  --margin N                  N pixels between the watermark and the edges it is placed\n"
        "                              against (default: 1 at the left and top, 0 at the right\n"
        "                              and bottom)\n"
        "  --opacity P                 the watermark at P percent of its strength (default 100)\n"
        "  --quality Q                 JPEG quality 1-100 (default 75), or keep: a JPEG input's\n"
        "                              own quantisation tables\n"
        "  --strip-metadata            no EXIF, XMP or IPTC in the outputs (the colour profile\n"
        "                              stays)\n"
        "  --jobs N                    N images at once (default: one per core)\n"
        "  --quiet                     no progress\n"
        "  --help, --version\n"
        "\n"
        "Exit code 0 when every input was written, 1 when any failed or was skipped, 2 when the\n"
        "run could not start, 130 or 143 when stopped by SIGINT or SIGTERM (the images in hand\n"
        "are finished first; no file is left half written).\n");
}
