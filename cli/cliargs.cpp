#include "cli/cliargs.h"

#include "cli/clioptions.h"

#include <QRegularExpression>

namespace {
const QStringList kPlacementNames = {
    QStringLiteral("upper-left"),  QStringLiteral("upper-middle"),  QStringLiteral("upper-right"),
    QStringLiteral("middle-left"), QStringLiteral("middle-middle"), QStringLiteral("middle-right"),
    QStringLiteral("bottom-left"), QStringLiteral("bottom-middle"), QStringLiteral("bottom-right"),
};

// A whole number within the bounds, or nothing.
std::optional<int> ParseCount(const QString& text, int low, int high) {
    bool isNumber = false;
    const int number = text.toInt(&isNumber);
    return isNumber && number >= low && number <= high ? std::optional(number) : std::nullopt;
}

// A picture of a terapixel is far beyond any memory; the bound keeps the number of pixels exact.
constexpr double kMostMegapixels = 1e6;
constexpr double kPixelsPerMegapixel = 1e6;

// A size in bytes written as 512M, 2G, 1.5G or 1048576: binary units K, M, G and T, with or
// without a following B, in either case; nothing for anything else or for 0.
std::optional<qint64> ParseMemorySize(const QString& text) {
    static const QRegularExpression form(QStringLiteral("^([0-9]+(?:\\.[0-9]+)?)([kmgt]?)b?$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch())
        return std::nullopt;
    const QString unit = match.captured(2).toLower();
    const int shift = unit.isEmpty() ? 0 : 10 * int(QStringLiteral("kmgt").indexOf(unit) + 1);
    const double bytes = match.captured(1).toDouble() * double(qint64(1) << shift);
    // Beyond an exabyte no machine has it; the bound keeps the count exact.
    if (!(bytes >= 1) || bytes > 1e18)
        return std::nullopt;
    return qint64(bytes);
}

// The options that say how the run goes: its workers, its memory and the largest picture held
// whole.
bool ApplyRunValue(CliRequest& request, const QString& name, const QString& value, QString& error) {
    if (name == QLatin1String("memory-limit")) {
        const auto bytes = ParseMemorySize(value);
        if (!bytes)
            error = QStringLiteral("--memory-limit takes a size such as 512M or 2G, not \"%1\"")
                        .arg(value);
        request.memoryBytes = bytes.value_or(0);
    } else if (name == QLatin1String("jobs")) {
        const auto jobs = ParseCount(value, 1, 1024);
        if (!jobs)
            error = QStringLiteral("--jobs takes a number of workers, 1 or more, not \"%1\"")
                        .arg(value);
        request.jobs = jobs.value_or(0);
    } else if (name == QLatin1String("max-megapixels")) {
        bool isNumber = false;
        const double megapixels = value.toDouble(&isNumber);
        if (!isNumber || !(megapixels > 0 && megapixels <= kMostMegapixels))
            error = QStringLiteral("--max-megapixels takes a number of megapixels above 0 and at "
                                   "most %1, not \"%2\"")
                        .arg(kMostMegapixels, 0, 'f', 0)
                        .arg(value);
        else
            request.maxPixels = std::max<qint64>(1, qint64(megapixels * kPixelsPerMegapixel));
    }
    return error.isEmpty();
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
    } else if (name == QLatin1String("jpeg")) {
        const auto lossless = ParseJpegWay(value);
        if (!lossless)
            error = QStringLiteral("--jpeg takes reencode or lossless, not \"%1\"").arg(value);
        job.Output.losslessJpeg = lossless.value_or(false);
    } else {
        return ApplyRunValue(request, name, value, error);
    }
    return error.isEmpty();
}

// The options that say what is read and what is written.
bool ApplyInputValue(CliRequest& request, const QString& name, const QString& value,
                     QString& error) {
    if (name == QLatin1String("watermark")) {
        request.job.WatermarkPath = value;
    } else if (name == QLatin1String("output")) {
        request.job.OutputFolder = value;
    } else if (name == QLatin1String("files-from")) {
        request.filesFrom = value;
    } else if (name == QLatin1String("report")) {
        request.report = value;
    } else if (name == QLatin1String("extension")) {
        const auto extensions = ParseExtensions(value);
        if (!extensions)
            error = QStringLiteral("--extension takes extensions such as jpg or jpg,.png, not "
                                   "\"%1\"")
                        .arg(value);
        request.extensions << extensions.value_or(QStringList());
    } else if (name == QLatin1String("shard")) {
        const auto shard = ParseShard(value);
        if (!shard)
            error = QStringLiteral("--shard takes K/N with 1 <= K <= N, not \"%1\"").arg(value);
        request.job.Shard = shard.value_or(RunShard{});
    } else {
        return ApplyStampValue(request, name, value, error);
    }
    return error.isEmpty();
}

bool ApplyValue(CliRequest& request, const QString& name, const QString& value, QString& error) {
    if (name == QLatin1String("placement")) {
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
        return ApplyInputValue(request, name, value, error);
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
    else if (name == QLatin1String("keep-tree"))
        request.keepTree = true;
    else if (name == QLatin1String("update"))
        request.job.UpdateOnly = true;
    else
        error = QStringLiteral("unknown option --%1").arg(name);
    return error.isEmpty();
}

// One "--name" or "--name=value" at arguments[i], with its value in the next argument when it
// takes one; i moves past what was used.
bool ApplyOption(CliRequest& request, const QStringList& arguments, qsizetype& i, QString& error) {
    QString name = arguments[i].mid(2);
    QString value;
    const qsizetype equals = name.indexOf(QLatin1Char('='));
    const bool inlineValue = equals >= 0;
    if (inlineValue) {
        value = name.mid(equals + 1);
        name.truncate(equals);
    }
    const CliOption* option = FindCliOption(name);
    if (!option)
        error = QStringLiteral("unknown option --%1").arg(name);
    else if (!option->value && inlineValue)
        error = QStringLiteral("--%1 takes no value").arg(name);
    else if (!option->value)
        return ApplyFlag(request, name, error);
    else if (!inlineValue && i + 1 >= arguments.size())
        error = QStringLiteral("--%1 needs a value").arg(name);
    if (!error.isEmpty())
        return false;
    if (!inlineValue)
        value = arguments[++i];
    return ApplyValue(request, name, value, error);
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

std::optional<bool> ParseJpegWay(const QString& text) {
    const QString way = text.toLower();
    if (way == QLatin1String("lossless"))
        return true;
    if (way == QLatin1String("reencode"))
        return false;
    return std::nullopt;
}

std::optional<RunShard> ParseShard(const QString& text) {
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,9})/([0-9]{1,9})$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const RunShard shard{match.captured(1).toInt(), match.captured(2).toInt()};
    return shard.index >= 1 && shard.index <= shard.count ? std::optional(shard) : std::nullopt;
}

std::optional<QStringList> ParseExtensions(const QString& text) {
    QStringList extensions;
    for (QString extension : text.split(QLatin1Char(','))) {
        extension = extension.trimmed();
        if (extension.startsWith(QLatin1Char('.')))
            extension.remove(0, 1);
        if (!extension.isEmpty())
            extensions << extension;
    }
    return extensions.isEmpty() ? std::nullopt : std::optional(extensions);
}

std::optional<CliRequest> ParseArguments(const QStringList& arguments, QString& error) {
    CliRequest request;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (optionsEnded || !argument.startsWith(QLatin1String("--")) || argument == "-")
            request.inputs << argument;
        else if (argument == QLatin1String("--"))
            optionsEnded = true;
        else if (!ApplyOption(request, arguments, i, error))
            return std::nullopt;
    }
    return request;
}
