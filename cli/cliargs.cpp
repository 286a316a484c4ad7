#include "cli/cliargs.h"

#include "cli/clioptions.h"
#include "engine/io/picturewriter.h"
#include "engine/io/resize.h"
#include "engine/stamping/marktext.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

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

// Each option's setter takes its value (empty for an option without one) and returns why the
// value is refused, or the empty text. Keep and TurnOn fill the member that Path names, a chain of
// members from the request down: Keep with the value as given, TurnOn with true.
template <auto... Path> QString Keep(CliRequest& request, const QString& value) {
    (request.*....*Path) = value;
    return {};
}

template <auto... Path> QString TurnOn(CliRequest& request, const QString&) {
    (request.*....*Path) = true;
    return {};
}

// Keeps what the parser made of the value; without it, the refusal names the value.
template <typename Parsed, typename Field>
QString Take(const std::optional<Parsed>& parsed, Field& field, const char* refusal,
             const QString& value) {
    if (!parsed)
        return QString::fromUtf8(refusal).arg(value);
    field = *parsed;
    return {};
}

QString SetPlacement(CliRequest& request, const QString& value) {
    return Take(ParsePlacement(value), request.job.Placement,
                "unknown placement \"%1\" (0-8 or a name such as bottom-right)", value);
}

QString SetColor(CliRequest& request, const QString& value) {
    return Take(ParseColor(value), request.job.TransparentColor,
                "unknown colour \"%1\" (RRGGBB or #RRGGBB)", value);
}

// The name of a format this build was made without; empty for one it writes.
QString LeftOutName(OutputFormat format) {
    const auto name = [](PictureFormat written, const char* text) {
        return WritesFormat(written) ? QString() : QString::fromLatin1(text);
    };
    switch (format) {
    case OutputFormat::Webp:
        return name(PictureFormat::Webp, "WebP");
    case OutputFormat::Avif:
        return name(PictureFormat::Avif, "AVIF");
    case OutputFormat::Jxl:
        return name(PictureFormat::Jxl, "JPEG XL");
    default:
        return {};
    }
}

QString SetFormat(CliRequest& request, const QString& value) {
    const std::optional<OutputFormat> format = ParseFormat(value);
    if (const QString missing = format ? LeftOutName(*format) : QString(); !missing.isEmpty())
        return QStringLiteral("--format %1: this build of tintorel-cli leaves out %2")
            .arg(value.toLower(), missing);
    return Take(format, request.job.Format,
                "unknown format \"%1\" (auto, jpg, bmp, png, tif, gif, webp, avif or jxl)", value);
}

QString AddExtensions(CliRequest& request, const QString& value) {
    const auto extensions = ParseExtensions(value);
    request.extensions << extensions.value_or(QStringList());
    return extensions ? QString()
                      : QStringLiteral("--extension takes extensions such as jpg or jpg,.png, not "
                                       "\"%1\"")
                            .arg(value);
}

QString SetShard(CliRequest& request, const QString& value) {
    return Take(ParseShard(value), request.job.Shard,
                "--shard takes K/N with 1 <= K <= N, not \"%1\"", value);
}

QString SetScale(CliRequest& request, const QString& value) {
    bool isNumber = false;
    const double scale = value.toDouble(&isNumber);
    return Take(isNumber && scale > 0 && scale <= 1 ? std::optional(scale) : std::nullopt,
                request.job.Style.scale,
                "--scale takes a share of the image above 0 and at most 1, not \"%1\"", value);
}

QString SetScaleOf(CliRequest& request, const QString& value) {
    return Take(ParseScaleOf(value), request.job.Style.scaleOf,
                "--scale-of takes width, height, short or long, not \"%1\"", value);
}

// The most a margin in percent may be: half the short edge, from both sides, meets in the middle.
constexpr double kMostMarginPercent = 50;

QString SetMargin(CliRequest& request, const QString& value) {
    StampStyle& style = request.job.Style;
    const char* refusal = "--margin takes a number of pixels, 0 or more, or a percentage of the "
                          "short edge from 0% to 50%, not \"%1\"";
    if (value.endsWith(QLatin1Char('%'))) {
        bool isNumber = false;
        const double percent = value.chopped(1).toDouble(&isNumber);
        const bool fits = isNumber && percent >= 0 && percent <= kMostMarginPercent;
        return Take(fits ? std::optional(percent) : std::nullopt, style.marginPercent, refusal,
                    value);
    }
    style.marginPercent = -1;
    return Take(ParseCount(value, 0, 1 << 20), style.margin, refusal, value);
}

// A turn beyond a few whole turns is a typing slip, not an angle.
constexpr double kMostTurn = 3600;

QString SetRotation(CliRequest& request, const QString& value) {
    bool isNumber = false;
    const double degrees = value.toDouble(&isNumber);
    const bool fits = isNumber && std::abs(degrees) <= kMostTurn;
    return Take(fits ? std::optional(degrees) : std::nullopt, request.job.Style.rotation,
                "--rotate takes an angle in degrees from -3600 to 3600, such as 30 or -45, not "
                "\"%1\"",
                value);
}

// A gap of a hundred marks leaves at most one copy on the picture.
constexpr double kMostTileGap = 10000;

QString SetTileGap(CliRequest& request, const QString& value) {
    bool isNumber = false;
    const double gap = value.toDouble(&isNumber);
    const bool fits = isNumber && gap >= 0 && gap <= kMostTileGap;
    return Take(fits ? std::optional(gap) : std::nullopt, request.job.Style.tileGap,
                "--tile-gap takes a percentage of the watermark's size from 0 to 10000, not "
                "\"%1\"",
                value);
}

QString SetOpacity(CliRequest& request, const QString& value) {
    return Take(ParseCount(value, 0, 100), request.job.Style.opacity,
                "--opacity takes a percentage from 0 to 100, not \"%1\"", value);
}

QString SetKeyTolerance(CliRequest& request, const QString& value) {
    return Take(ParseCount(value, 0, 255), request.job.Style.keyTolerance,
                "--key-tolerance takes a number from 0 to 255, not \"%1\"", value);
}

QString SetQuality(CliRequest& request, const QString& value) {
    WatermarkJob& job = request.job;
    QString error;
    const auto quality = ParseCount(value, 1, 100);
    job.Output.keepJpegQuality = value == QLatin1String("keep");
    if (!quality && !job.Output.keepJpegQuality)
        error = QStringLiteral("--quality takes 1 to 100 or keep, not \"%1\"").arg(value);
    job.Output.jpegQuality = quality.value_or(kDefaultJpegQuality);
    return error;
}

QString SetJpegWay(CliRequest& request, const QString& value) {
    return Take(ParseJpegWay(value), request.job.Output.losslessJpeg,
                "--jpeg takes reencode or lossless, not \"%1\"", value);
}

QString SetResize(CliRequest& request, const QString& value) {
    ResizeRule& kept = request.job.Output.resize;
    const bool enlarge = kept.enlarge;
    const QString refusal = Take(ParseResizeRule(value), kept,
                                 "--resize takes N, Nx, xN, WxH or P%, not \"%1\"", value);
    kept.enlarge = enlarge;
    return refusal;
}

QString SetExisting(CliRequest& request, const QString& value) {
    return Take(ParseExisting(value), request.job.Existing,
                "--existing takes replace, skip or number, not \"%1\"", value);
}

QString SetMemoryLimit(CliRequest& request, const QString& value) {
    return Take(ParseMemorySize(value), request.memoryBytes,
                "--memory-limit takes a size such as 512M or 2G, not \"%1\"", value);
}

QString SetJobs(CliRequest& request, const QString& value) {
    return Take(ParseCount(value, 1, 1024), request.jobs,
                "--jobs takes a number of workers, 1 or more, not \"%1\"", value);
}

QString SetText(CliRequest& request, const QString& value) {
    request.job.Text.text = value;
    return MarkTextRefusal(value);
}

QString SetName(CliRequest& request, const QString& value) {
    request.job.NamePattern = value;
    if (value.contains(QLatin1Char('/')))
        return QStringLiteral("--name makes a file name, without folders (they come from --output "
                              "and --keep-tree), not \"%1\"")
            .arg(value);
    const QString refusal = MarkTextRefusal(value);
    return refusal.isEmpty() ? refusal : QStringLiteral("--name: ") + refusal;
}

QString SetTextColor(CliRequest& request, const QString& value) {
    return Take(ParseTextColor(value), request.job.Text.color,
                "unknown text colour \"%1\" (RRGGBB or RRGGBBAA, with or without #)", value);
}

QString SetTextSize(CliRequest& request, const QString& value) {
    bool isNumber = false;
    const double size = value.toDouble(&isNumber);
    return Take(isNumber && size > 0 && size <= 100 ? std::optional(size) : std::nullopt,
                request.job.Text.sizePercent,
                "--text-size takes a percentage of the short edge above 0 and at most 100, not "
                "\"%1\"",
                value);
}

QString SetMaxMegapixels(CliRequest& request, const QString& value) {
    bool isNumber = false;
    const double megapixels = value.toDouble(&isNumber);
    if (!isNumber || !(megapixels > 0 && megapixels <= kMostMegapixels))
        return QStringLiteral("--max-megapixels takes a number of megapixels above 0 and at "
                              "most %1, not \"%2\"")
            .arg(kMostMegapixels, 0, 'f', 0)
            .arg(value);
    request.maxPixels = std::max<qint64>(1, qint64(megapixels * kPixelsPerMegapixel));
    return {};
}

// The preset options are read before any other, so that the command line's win over the preset's.
QString SetNothing(CliRequest&, const QString&) {
    return {};
}

// Every option, in the order --help lists them. A new option is one row here and its paragraph in
// the manual page, which a test holds to this table.
const CliOption kOptions[] = {
    {"watermark", "FILE",
     "the watermark picture; an SVG is drawn at the size it is\n"
     "stamped at, sharp at any size",
     Keep<&CliRequest::job, &WatermarkJob::WatermarkPath>},
    {"text", "TEXT",
     "stamp TEXT as the mark, in place of a watermark picture;\n"
     "\\n starts a new line; variables in braces are filled for\n"
     "each picture: {name} and {ext} (the file's name without its\n"
     "extension, and the extension), {n} (its place in the list,\n"
     "{n:04} zero-padded), {date} or {date:FORMAT} (when the photo\n"
     "was taken, else the file's time; FORMAT as strftime), {year},\n"
     "{artist}, {copyright}, {camera}, {lens}, {iso}, {aperture},\n"
     "{exposure}, {focal}, {width}, {height}; {artist|TEXT} gives\n"
     "TEXT when the value is empty; {{ and }} are braces",
     SetText},
    {"font", "FONT",
     "the text's font: an installed family, or a font file (.ttf,\n"
     ".otf or .ttc), which draws the same on every machine\n"
     "(default DejaVu Sans); a font that cannot be had stops the\n"
     "run",
     Keep<&CliRequest::job, &WatermarkJob::Text, &TextStyle::font>},
    {"text-color", "C", "the text's colour, RRGGBB or RRGGBBAA (default FFFFFF)", SetTextColor},
    {"text-size", "P",
     "the height of the text's capital letters as P percent of\n"
     "each picture's short edge (default 4)",
     SetTextSize},
    {"text-outline", nullptr, "a thin dark outline round the letters (light for dark text)",
     TurnOn<&CliRequest::job, &WatermarkJob::Text, &TextStyle::outline>},
    {"text-shadow", nullptr, "a soft dark shadow under the letters (light for dark text)",
     TurnOn<&CliRequest::job, &WatermarkJob::Text, &TextStyle::shadow>},
    {"output", "DIR", "the output folder, made with its parents when it does not exist",
     Keep<&CliRequest::job, &WatermarkJob::OutputFolder>},
    {"files-from", "FILE", "read more inputs, one path a line (\"-\" for standard input)",
     Keep<&CliRequest::filesFrom>},
    {"placement", "P",
     "0-8 or upper-left, upper-middle, upper-right, middle-left,\n"
     "middle-middle, middle-right, bottom-left, bottom-middle,\n"
     "bottom-right (default 0, upper-left)",
     SetPlacement},
    {"transparent-color", "C",
     "the watermark colour left out, RRGGBB or #RRGGBB\n"
     "(default FFFFFF), for a watermark without transparency\n"
     "of its own; one with it is blended by its alpha alone",
     SetColor},
    {"key-tolerance", "N",
     "also leave out the colours within N (0-255, the largest\n"
     "difference of one channel) of the transparent colour,\n"
     "partly, so that a keyed logo loses its light rim\n"
     "(default 0: only the colour itself)",
     SetKeyTolerance},
    {"format", "F",
     "auto, jpg, bmp, png, tif, gif, webp, avif or jxl (default\n"
     "auto: each image in its own format, for bmp, jpg, jpeg, jpe,\n"
     "jfif, gif, png, tif, tiff, webp, avif, jxl; heic and heif\n"
     "as jpg, with a note)",
     SetFormat},
    {"name", "PATTERN",
     "name each copy by PATTERN with the variables of --text, such\n"
     "as {name}-web or {n:04}-{name}; the extension follows the\n"
     "format, and copies that would share a name are numbered\n"
     "(default: the input's own name)",
     SetName},
    {"extension", "EXT",
     "with folder inputs: only files matching \"*.\" + EXT, in any\n"
     "letter case; EXT may be a comma list, with or without\n"
     "leading dots (jpg,.PNG), and the option may be repeated",
     AddExtensions},
    {"keep-tree", nullptr,
     "write each picture found in an input folder to the same\n"
     "relative folder under the output folder, made as needed;\n"
     "inputs named one by one go to the output folder itself",
     TurnOn<&CliRequest::keepTree>},
    {"update", nullptr,
     "pass over an image whose output Tintorel made from this\n"
     "image (same path, size and time), the same watermark\n"
     "content and the same options (counted as up to date)",
     TurnOn<&CliRequest::job, &WatermarkJob::UpdateOnly>},
    {"existing", "WAY",
     "what to do with a file at an output name that Tintorel did\n"
     "not write: number (default) keeps it and writes the copy\n"
     "under the next free numbered name, such as \"1 (2).jpg\";\n"
     "replace replaces it; skip keeps it and writes no copy\n"
     "(counted as skipped); Tintorel's own copies are refreshed",
     SetExisting},
    {"report", "FILE",
     "write one JSON object a line for each input, in list order\n"
     "(\"-\" for standard output): input, output, status (written,\n"
     "failed, skipped, up to date or repeat), message, milliseconds;\n"
     "refused when FILE is an input, the watermark, the list or an\n"
     "output of the run; a device or named pipe is written as is",
     Keep<&CliRequest::report>},
    {"shard", "K/N",
     "stamp only part K of N of the inputs (1 <= K <= N), so that\n"
     "N machines share one run; output names are those of the\n"
     "whole run",
     SetShard},
    {"scale", "F",
     "the watermark's size as a share F (0 < F <= 1) of each\n"
     "image's measure that --scale-of names, its aspect kept\n"
     "(default: its own size; an SVG is drawn at that size)",
     SetScale},
    {"scale-of", "EDGE",
     "what F is a share of: width (default: the watermark's\n"
     "width of the image's width), height (its height of the\n"
     "height), short or long (its longer side of the image's\n"
     "short or long edge, alike for portrait and landscape)",
     SetScaleOf},
    {"margin", "N",
     "N pixels between the watermark and the edges it is placed\n"
     "against (default: 1 at the left and top, 0 at the right\n"
     "and bottom), or P% of the image's short edge on every side",
     SetMargin},
    {"rotate", "DEG",
     "turn the watermark DEG degrees counter-clockwise; the\n"
     "placement and margin apply to the turned box; 90, 180 and\n"
     "270 turn it pixel for pixel",
     SetRotation},
    {"tile", nullptr,
     "repeat the watermark over the whole image on a grid\n"
     "centred on the image's centre, turned with --rotate;\n"
     "--placement and --margin mean nothing then",
     TurnOn<&CliRequest::job, &WatermarkJob::Style, &StampStyle::tile>},
    {"tile-gap", "P",
     "with --tile: the gap between copies as P percent of the\n"
     "watermark's size (default 100)",
     SetTileGap},
    {"tile-stagger", nullptr, "with --tile: every second row shifted by half a step",
     TurnOn<&CliRequest::job, &WatermarkJob::Style, &StampStyle::tileStagger>},
    {"opacity", "P", "the watermark at P percent of its strength (default 100)", SetOpacity},
    {"quality", "Q",
     "JPEG quality 1-100 (default 75), or keep: a JPEG input's\n"
     "own quantisation tables; unused for JPEGs that --jpeg\n"
     "lossless stamps, which keep their own tables; WebP, AVIF\n"
     "and JPEG XL copies are written at Q (75 with keep)",
     SetQuality},
    {"jpeg", "WAY",
     "how a JPEG input written as JPEG is stamped: reencode\n"
     "(default), or lossless: only the 8x8 blocks under the\n"
     "watermark are encoded again, every other block is kept\n"
     "bit for bit; a CMYK JPEG, or a greyscale one under a\n"
     "coloured mark, is re-encoded, with a note",
     SetJpegWay},
    {"resize", "SIZE",
     "resize each picture in the same pass: N (the long edge N\n"
     "pixels), Nx (width N), xN (height N), WxH (inside W x H) or\n"
     "P%; never enlarged without --enlarge; the marks are sized\n"
     "and placed on the resized picture",
     SetResize},
    {"enlarge", nullptr, "let --resize make a smaller picture larger",
     TurnOn<&CliRequest::job, &WatermarkJob::Output, &OutputChoices::resize, &ResizeRule::enlarge>},
    {"strip-metadata", nullptr,
     "no EXIF, XMP or IPTC in the outputs (the colour profile\n"
     "stays)",
     TurnOn<&CliRequest::job, &WatermarkJob::Output, &OutputChoices::stripMetadata>},
    {"preset", "FILE",
     "take the mark and output options from a preset file; a bare\n"
     "NAME is NAME.ini in ~/.config/Varnholt/presets, the window's\n"
     "presets; options given here win over the preset's",
     SetNothing},
    {"save-preset", "FILE",
     "write the mark and output options given (over those of\n"
     "--preset) as a preset, FILE or a bare NAME as --preset reads\n"
     "it, and stamp nothing",
     SetNothing},
    {"jobs", "N", "N images at once (default: one per core)", SetJobs},
    {"memory-limit", "SIZE",
     "the memory all images in hand may take together, such as\n"
     "512M or 2G (default: half of the memory, or of the control\n"
     "group's limit where that is lower); an image waits until it\n"
     "fits, and fails with its size when it cannot fit alone",
     SetMemoryLimit},
    {"max-megapixels", "N",
     "the largest picture held whole, in megapixels; a larger one\n"
     "is refused before decoding (default: none beyond what\n"
     "--memory-limit admits); pictures that stream, upright JPEG\n"
     "and PNG written as JPEG or PNG, need no such limit",
     SetMaxMegapixels},
    {"quiet", nullptr, "no progress", TurnOn<&CliRequest::quiet>},
    {"help", nullptr, "this text", TurnOn<&CliRequest::help>},
    {"version", nullptr, "the program's name and version", TurnOn<&CliRequest::version>},
};

// One option as the command line gives it, before it is applied.
struct GivenOption {
    const CliOption* option;
    QString value;
};

// One "--name" or "--name=value" at arguments[i], with its value in the next argument when it
// takes one; i moves past what was used. Returns why it is refused, or the empty text.
QString ReadOption(const QStringList& arguments, qsizetype& i, QList<GivenOption>& given) {
    QString name = arguments[i].mid(2);
    std::optional<QString> value;
    const qsizetype equals = name.indexOf(QLatin1Char('='));
    if (equals >= 0) {
        value = name.mid(equals + 1);
        name.truncate(equals);
    }
    const CliOption* option = FindCliOption(name);
    if (!option)
        return QStringLiteral("unknown option --%1").arg(name);
    if (!option->value && value)
        return QStringLiteral("--%1 takes no value").arg(name);
    if (option->value && !value) {
        if (i + 1 >= arguments.size())
            return QStringLiteral("--%1 needs a value").arg(name);
        value = arguments[++i];
    }
    given.append({option, value.value_or(QString())});
    return {};
}

QString ApplyOption(CliRequest& request, const PresetOption& option) {
    const CliOption* row = FindCliOption(option.name);
    return row ? row->set(request, option.value)
               : QStringLiteral("unknown option --%1").arg(option.name);
}

// The first mark's options of a run, taken as a further mark.
MarkLayer LayerOf(const WatermarkJob& job) {
    return {job.WatermarkPath, job.Text, job.Placement, job.Style};
}

// Applies the preset's options under the command line's, which are applied after them and win.
QString ApplyPreset(CliRequest& request, const QString& path, const Preset& preset) {
    const auto where = [&path](const QString& section, const QString& why) {
        return QStringLiteral("the preset %1, [%2]: %3").arg(path, section, why);
    };
    for (const PresetOption& option : preset.output)
        if (const QString why = ApplyOption(request, option); !why.isEmpty())
            return where(QStringLiteral("Output"), why);
    for (qsizetype i = 0; i < preset.marks.size(); ++i) {
        const QString section = QStringLiteral("Mark %1").arg(i + 1);
        CliRequest further;
        CliRequest& target = i == 0 ? request : further;
        for (const PresetOption& option : preset.marks[i]) {
            // The colour left out of a picture without transparency of its own is the run's.
            if (i > 0 && option.name == QLatin1String("transparent-color"))
                return where(section, QStringLiteral("transparent-color belongs to Mark 1 "
                                                     "alone, which gives it to every mark"));
            if (const QString why = ApplyOption(target, option); !why.isEmpty())
                return where(section, why);
        }
        if (i > 0)
            request.job.MoreMarks << LayerOf(further.job);
    }
    return {};
}

// The preset that --save-preset writes: the one read with --preset, if any, with the command
// line's options in place of its own. Files are named by their full paths, so that the preset
// finds them from wherever it is used.
Preset PresetToSave(Preset preset, const QList<GivenOption>& given) {
    if (preset.marks.isEmpty())
        preset.marks.resize(1);
    for (const GivenOption& option : given) {
        const QString name = QString::fromLatin1(option.option->name);
        const PresetPart part = PresetPartOf(name);
        if (part == PresetPart::None)
            continue;
        QString value = option.value;
        if ((name == QLatin1String("watermark") || name == QLatin1String("font")) &&
            QFileInfo::exists(value))
            value = QFileInfo(value).absoluteFilePath();
        QList<PresetOption>& section = part == PresetPart::Output ? preset.output : preset.marks[0];
        section.removeIf([&name](const PresetOption& kept) { return kept.name == name; });
        section.append({name, value});
    }
    return preset;
}
} // namespace

std::span<const CliOption> CliOptions() {
    return kOptions;
}

const CliOption* FindCliOption(const QString& name) {
    const auto found =
        std::find_if(std::begin(kOptions), std::end(kOptions), [&name](const CliOption& option) {
            return name == QLatin1String(option.name);
        });
    return found == std::end(kOptions) ? nullptr : found;
}

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

std::optional<QRgb> ParseTextColor(const QString& text) {
    static const QRegularExpression hex(QStringLiteral("^#?([0-9A-Fa-f]{6})([0-9A-Fa-f]{2})?$"));
    const QRegularExpressionMatch match = hex.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const QRgb rgb = match.captured(1).toUInt(nullptr, 16);
    const QRgb alpha = match.hasCaptured(2) ? match.captured(2).toUInt(nullptr, 16) : 0xFF;
    return (alpha << 24) | rgb;
}

std::optional<OutputFormat> ParseFormat(const QString& text) {
    static const QStringList names = {
        QStringLiteral("auto"), QStringLiteral("jpg"),  QStringLiteral("bmp"),
        QStringLiteral("png"),  QStringLiteral("tif"),  QStringLiteral("gif"),
        QStringLiteral("webp"), QStringLiteral("avif"), QStringLiteral("jxl")};
    const qsizetype index = names.indexOf(text.toLower());
    return index < 0 ? std::nullopt : std::optional(OutputFormat(index));
}

std::optional<ScaleOf> ParseScaleOf(const QString& text) {
    static const QStringList names = {QStringLiteral("width"), QStringLiteral("height"),
                                      QStringLiteral("short"), QStringLiteral("long")};
    const qsizetype index = names.indexOf(text.toLower());
    return index < 0 ? std::nullopt : std::optional(ScaleOf(index));
}

std::optional<bool> ParseJpegWay(const QString& text) {
    const QString way = text.toLower();
    if (way == QLatin1String("lossless"))
        return true;
    if (way == QLatin1String("reencode"))
        return false;
    return std::nullopt;
}

std::optional<ExistingFiles> ParseExisting(const QString& text) {
    const QString way = text.toLower();
    if (way == QLatin1String("number"))
        return ExistingFiles::Number;
    if (way == QLatin1String("replace"))
        return ExistingFiles::Replace;
    if (way == QLatin1String("skip"))
        return ExistingFiles::Skip;
    return std::nullopt;
}

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
    QList<GivenOption> given;
    // Each option is tried as it comes, so that the first refusal on the line is the one told,
    // and applied for good once the preset's options lie under them.
    CliRequest tried;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (optionsEnded || !argument.startsWith(QLatin1String("--")) || argument == "-")
            request.inputs << argument;
        else if (argument == QLatin1String("--"))
            optionsEnded = true;
        else if (error = ReadOption(arguments, i, given); !error.isEmpty())
            return std::nullopt;
        else if (error = given.last().option->set(tried, given.last().value); !error.isEmpty())
            return std::nullopt;
    }
    QString presetName, saveName;
    for (const GivenOption& option : given) {
        if (option.option->name == QLatin1String("preset"))
            presetName = option.value;
        else if (option.option->name == QLatin1String("save-preset"))
            saveName = option.value;
    }
    Preset preset;
    if (!presetName.isEmpty()) {
        const QString path = PresetPath(presetName);
        const std::optional<Preset> read = ReadPreset(path, error);
        if (!read)
            return std::nullopt;
        preset = *read;
        if (error = ApplyPreset(request, path, preset); !error.isEmpty())
            return std::nullopt;
    }
    for (const GivenOption& option : given)
        if (error = option.option->set(request, option.value); !error.isEmpty())
            return std::nullopt;
    if (!saveName.isEmpty()) {
        request.savePresetPath = PresetPath(saveName);
        request.presetToSave = PresetToSave(preset, given);
    }
    // Both would be one mark: which of them the user meant cannot be told.
    if (!request.job.Text.text.isEmpty() && !request.job.WatermarkPath.isEmpty()) {
        error = QStringLiteral("--text draws the mark in place of the --watermark picture; give "
                               "one of them");
        return std::nullopt;
    }
    return request;
}
