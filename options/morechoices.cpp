#include "options/morechoices.h"

#include "engine/io/resize.h"

#include "cli/cliargs.h"
#include "cli/clioptions.h"
#include "engine/stamping/marktext.h"
#include "support/settings.h"

#include <QDir>
#include <QFileInfo>

namespace {
// Enough digits that a value written and read again is the value the dialog holds.
QString Number(double value) {
    return QString::number(value, 'g', 12);
}

QString Hex(uint value, int digits) {
    return QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0')).toUpper();
}

// RRGGBB, with AA after it for a colour that is not at full strength.
QString TextColorText(QRgb color) {
    const QString rgb = Hex(color & 0xFFFFFFu, 6);
    return qAlpha(color) == 0xFF ? rgb : rgb + Hex(uint(qAlpha(color)), 2);
}

// The window holds 0x00BBGGRR; a person writes RRGGBB.
QString ColorText(BgrColor color) {
    return Hex(color & 0xFF, 2) + Hex((color >> 8) & 0xFF, 2) + Hex((color >> 16) & 0xFF, 2);
}

const std::array<const char*, 4> kScaleOfNames = {"width", "height", "short", "long"};
const std::array<const char*, kOutputFormatCount> kButtonFormatNames = {"auto", "jpg", "bmp",
                                                                        "png"};

QString FormatName(OutputFormat format) {
    if (int(format) >= 0 && int(format) < kOutputFormatCount)
        return QLatin1String(kButtonFormatNames[size_t(format)]);
    for (const MoreFormat& more : kMoreFormats)
        if (more.format == format)
            return QLatin1String(more.option);
    return {};
}

using Options = QList<PresetOption>;

void Add(Options& options, const char* name, const QString& value = QString()) {
    options.append({QLatin1String(name), value});
}

// A picture named by its full path finds itself from wherever the preset is used.
QString FullPath(const QString& path) {
    return QFileInfo::exists(path) ? QFileInfo(path).absoluteFilePath() : path;
}

void AddText(Options& options, const TextStyle& text) {
    const TextStyle usual;
    Add(options, "text", text.text);
    if (!text.font.isEmpty())
        Add(options, "font", FullPath(text.font));
    if (text.color != usual.color)
        Add(options, "text-color", TextColorText(text.color));
    if (text.sizePercent != usual.sizePercent)
        Add(options, "text-size", Number(text.sizePercent));
    if (text.outline)
        Add(options, "text-outline");
    if (text.shadow)
        Add(options, "text-shadow");
}

void AddStyle(Options& options, const StampStyle& style) {
    const StampStyle usual;
    if (style.scale > 0)
        Add(options, "scale", Number(style.scale));
    if (style.scaleOf != usual.scaleOf)
        Add(options, "scale-of", QLatin1String(kScaleOfNames[size_t(style.scaleOf)]));
    if (style.marginPercent >= 0)
        Add(options, "margin", Number(style.marginPercent) + QLatin1Char('%'));
    else if (style.margin >= 0)
        Add(options, "margin", QString::number(style.margin));
    if (style.opacity != usual.opacity)
        Add(options, "opacity", QString::number(style.opacity));
    if (style.rotation != usual.rotation)
        Add(options, "rotate", Number(style.rotation));
    if (style.tile)
        Add(options, "tile");
    if (style.tileGap != usual.tileGap)
        Add(options, "tile-gap", Number(style.tileGap));
    if (style.tileStagger)
        Add(options, "tile-stagger");
}

Options MarkOptions(const QString& watermark, const TextStyle& text, int placement,
                    const StampStyle& style) {
    Options options;
    if (!text.text.isEmpty())
        AddText(options, text);
    else if (!watermark.isEmpty())
        Add(options, "watermark", FullPath(watermark));
    if (placement != WatermarkJob().Placement && placement >= 0 && placement < kPlacementCount)
        Add(options, "placement", QString::number(placement));
    AddStyle(options, style);
    return options;
}

Options OutputOptions(const WatermarkJob& job) {
    Options options;
    if (job.Format && *job.Format != OutputFormat::Automatic)
        Add(options, "format", FormatName(*job.Format));
    if (job.Output.keepJpegQuality)
        Add(options, "quality", QStringLiteral("keep"));
    else if (job.Output.jpegQuality != kDefaultJpegQuality)
        Add(options, "quality", QString::number(job.Output.jpegQuality));
    if (job.Output.losslessJpeg)
        Add(options, "jpeg", QStringLiteral("lossless"));
    if (job.Output.stripMetadata)
        Add(options, "strip-metadata");
    if (job.Output.resize.resizes()) {
        ResizeRule size = job.Output.resize;
        size.enlarge = false;
        Add(options, "resize", ResizeRuleText(size));
        if (job.Output.resize.enlarge)
            Add(options, "enlarge");
    }
    if (!job.NamePattern.isEmpty())
        Add(options, "name", job.NamePattern);
    return options;
}

// Each remembered choice under its own key, holding the command line's value ("true" for an
// option without one).
struct StoredOption {
    const char* option;
    const char* key;
};
const StoredOption kStoredOptions[] = {
    {"text", "MarkText"},
    {"font", "MarkFont"},
    {"text-color", "MarkTextColor"},
    {"text-size", "MarkTextSize"},
    {"text-outline", "MarkTextOutline"},
    {"text-shadow", "MarkTextShadow"},
    {"scale", "MarkScale"},
    {"scale-of", "MarkScaleOf"},
    {"margin", "MarkMargin"},
    {"opacity", "MarkOpacity"},
    {"rotate", "MarkRotate"},
    {"tile", "MarkTile"},
    {"tile-gap", "MarkTileGap"},
    {"tile-stagger", "MarkTileStagger"},
    {"quality", "JpegQuality"},
    {"strip-metadata", "StripMetadata"},
    {"name", "NamePattern"},
    {"resize", "Resize"},
    {"enlarge", "ResizeEnlarge"},
};
} // namespace

MarkLayer TextLine(const MoreChoices& choices, const QString& text, int placement) {
    MarkLayer line;
    line.Text = choices.text;
    line.Text.text = text;
    line.Placement = placement;
    line.Style.opacity = choices.style.opacity;
    line.Style.margin = choices.style.margin;
    line.Style.marginPercent = choices.style.marginPercent;
    return line;
}

std::optional<MarkLayer> OwnTextLine(const MoreChoices& choices) {
    if (choices.moreMarks.size() != 1 || choices.moreMarks[0].Text.text.isEmpty())
        return std::nullopt;
    return choices.moreMarks[0];
}

void ApplyChoices(const MoreChoices& choices, WatermarkJob& job) {
    if (choices.useText && !choices.text.text.isEmpty()) {
        job.Text = choices.text;
        job.WatermarkPath.clear();
    }
    const int keyTolerance = job.Style.keyTolerance;
    job.Style = choices.style;
    job.Style.keyTolerance = keyTolerance;
    job.MoreMarks = choices.moreMarks;
    const bool lossless = job.Output.losslessJpeg;
    job.Output = choices.output;
    job.Output.losslessJpeg = lossless;
    if (choices.moreFormat)
        job.Format = choices.moreFormat;
    job.NamePattern = choices.namePattern;
}

MoreChoices ChoicesOf(const WatermarkJob& job) {
    MoreChoices choices;
    choices.useText = !job.Text.text.isEmpty();
    choices.text = job.Text;
    choices.style = job.Style;
    choices.moreMarks = job.MoreMarks;
    choices.output = job.Output;
    if (job.Format && int(*job.Format) >= kOutputFormatCount)
        choices.moreFormat = job.Format;
    choices.namePattern = job.NamePattern;
    return choices;
}

Preset PresetOf(const WatermarkJob& job) {
    Preset preset;
    preset.output = OutputOptions(job);
    Options first = MarkOptions(job.WatermarkPath, job.Text, job.Placement, job.Style);
    if (job.TransparentColor != kWhite)
        Add(first, "transparent-color", ColorText(job.TransparentColor));
    if (job.Style.keyTolerance != 0)
        Add(first, "key-tolerance", QString::number(job.Style.keyTolerance));
    preset.marks << first;
    for (const MarkLayer& layer : job.MoreMarks)
        preset.marks << MarkOptions(layer.WatermarkPath, layer.Text, layer.Placement, layer.Style);
    return preset;
}

std::optional<WatermarkJob> JobOfPreset(const QString& path, QString& error) {
    const std::optional<CliRequest> request =
        ParseArguments({QStringLiteral("--preset"), path}, error);
    return request ? std::optional(request->job) : std::nullopt;
}

bool CommandLineTakes(const QString& option, const QString& value) {
    const CliOption* row = FindCliOption(option);
    CliRequest scratch;
    return row && row->set(scratch, value).isEmpty();
}

namespace {
// Each key of the choices with the value it holds for them.
QList<std::pair<QString, QString>> StoredValues(const MoreChoices& choices) {
    WatermarkJob job;
    job.Text = choices.text;
    job.Style = choices.style;
    job.Style.keyTolerance = 0;
    job.Output = choices.output;
    job.Output.losslessJpeg = false;
    job.NamePattern = choices.namePattern;
    const Options options =
        MarkOptions({}, job.Text, job.Placement, job.Style) + OutputOptions(job);
    QList<std::pair<QString, QString>> values;
    for (const StoredOption& stored : kStoredOptions) {
        QString value;
        for (const PresetOption& option : options)
            if (option.name == QLatin1String(stored.option))
                value = FindCliOption(option.name) && !FindCliOption(option.name)->value
                            ? QStringLiteral("true")
                            : option.value;
        values.append({QLatin1String(stored.key), value});
    }
    values.append({MoreSettingKey::MarkKind,
                   choices.useText ? QStringLiteral("text") : QStringLiteral("picture")});
    values.append({MoreSettingKey::MoreFormat,
                   choices.moreFormat ? FormatName(*choices.moreFormat) : QString()});
    values.append({MoreSettingKey::Preset, choices.preset});
    const std::optional<MarkLayer> line = OwnTextLine(choices);
    values.append({MoreSettingKey::SecondText, line ? line->Text.text : QString()});
    values.append(
        {MoreSettingKey::SecondPlacement, line ? QString::number(line->Placement) : QString()});
    return values;
}
} // namespace

void SaveChoices(const MoreChoices& choices, const MoreChoices* before) {
    const QList<std::pair<QString, QString>> values = StoredValues(choices);
    const QList<std::pair<QString, QString>> earlier =
        before ? StoredValues(*before) : QList<std::pair<QString, QString>>();
    // Each key written is the settings file written anew: only the changed ones are.
    for (qsizetype i = 0; i < values.size(); ++i)
        if (!before || earlier[i] != values[i])
            SaveSetting(values[i].first, values[i].second);
}

MoreChoices RestoreChoices() {
    CliRequest request;
    for (const StoredOption& stored : kStoredOptions) {
        const QString key = QLatin1String(stored.key);
        const CliOption* row = FindCliOption(QLatin1String(stored.option));
        if (!row || GetSetting(key).isEmpty())
            continue;
        if (!row->value) {
            if (SettingIsTrue(key))
                row->set(request, QString());
            continue;
        }
        // A value the command line refuses leaves the choice as it was.
        CliRequest tried = request;
        if (row->set(tried, GetSetting(key)).isEmpty())
            request = tried;
    }
    MoreChoices choices = ChoicesOf(request.job);
    choices.useText = GetSetting(MoreSettingKey::MarkKind) == QLatin1String("text");
    if (const auto format = ParseFormat(GetSetting(MoreSettingKey::MoreFormat));
        format && int(*format) >= kOutputFormatCount)
        choices.moreFormat = format;
    choices.preset = GetSetting(MoreSettingKey::Preset);
    // A text line of the dialog's own, else the further marks of the preset's file.
    const QString line = GetSetting(MoreSettingKey::SecondText);
    const std::optional<int> placement =
        ParsePlacement(GetSetting(MoreSettingKey::SecondPlacement));
    QString error;
    if (!line.isEmpty() && MarkTextRefusal(line).isEmpty() && placement)
        choices.moreMarks = {TextLine(choices, line, *placement)};
    else if (!choices.preset.isEmpty())
        if (const auto job = JobOfPreset(PresetPath(choices.preset), error))
            choices.moreMarks = job->MoreMarks;
    return choices;
}

QStringList PresetNames() {
    QStringList names;
    for (const QFileInfo& file :
         QDir(PresetFolder())
             .entryInfoList({QStringLiteral("*.ini")}, QDir::Files, QDir::Name | QDir::IgnoreCase))
        names << file.completeBaseName();
    return names;
}
