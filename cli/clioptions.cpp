#include "cli/clioptions.h"

#include <QStringList>

#include <algorithm>

namespace {
// Where the descriptions start in --help.
constexpr qsizetype kHelpColumn = 30;

const CliOption kOptions[] = {
    {"watermark", "FILE", "the watermark picture"},
    {"output", "DIR", "the output folder, made with its parents when it does not exist"},
    {"files-from", "FILE", "read more inputs, one path a line (\"-\" for standard input)"},
    {"placement", "P",
     "0-8 or upper-left, upper-middle, upper-right, middle-left,\n"
     "middle-middle, middle-right, bottom-left, bottom-middle,\n"
     "bottom-right (default 0, upper-left)"},
    {"transparent-color", "C",
     "the watermark colour left out, RRGGBB or #RRGGBB\n"
     "(default FFFFFF)"},
    {"format", "F",
     "auto, jpg, bmp or png (default auto: each image in its own\n"
     "format, for bmp, jpg, jpeg, jpe, jfif, gif, png, tif, tiff)"},
    {"extension", "EXT",
     "with folder inputs: only files matching \"*.\" + EXT, in any\n"
     "letter case; EXT may be a comma list, with or without\n"
     "leading dots (jpg,.PNG), and the option may be repeated"},
    {"keep-tree", nullptr,
     "write each picture found in an input folder to the same\n"
     "relative folder under the output folder, made as needed;\n"
     "inputs named one by one go to the output folder itself"},
    {"update", nullptr,
     "pass over an image whose output exists and is newer than\n"
     "both the image and the watermark (counted as up to date)"},
    {"report", "FILE",
     "write one JSON object a line for each input, in list order\n"
     "(\"-\" for standard output): input, output, status (written,\n"
     "failed, skipped, up to date or repeat), message, milliseconds"},
    {"shard", "K/N",
     "stamp only part K of N of the inputs (1 <= K <= N), so that\n"
     "N machines share one run; output names are those of the\n"
     "whole run"},
    {"scale", "F",
     "the watermark's width as a share F of each image's width\n"
     "(0 < F <= 1), its aspect kept (default: its own size)"},
    {"margin", "N",
     "N pixels between the watermark and the edges it is placed\n"
     "against (default: 1 at the left and top, 0 at the right\n"
     "and bottom)"},
    {"opacity", "P", "the watermark at P percent of its strength (default 100)"},
    {"quality", "Q",
     "JPEG quality 1-100 (default 75), or keep: a JPEG input's\n"
     "own quantisation tables; unused for JPEGs that --jpeg\n"
     "lossless stamps, which keep their own tables"},
    {"jpeg", "WAY",
     "how a JPEG input written as JPEG is stamped: reencode\n"
     "(default), or lossless: only the 8x8 blocks under the\n"
     "watermark are encoded again, every other block is kept\n"
     "bit for bit; a CMYK or greyscale JPEG is re-encoded, with\n"
     "a note"},
    {"strip-metadata", nullptr,
     "no EXIF, XMP or IPTC in the outputs (the colour profile\n"
     "stays)"},
    {"jobs", "N", "N images at once (default: one per core)"},
    {"memory-limit", "SIZE",
     "the memory all images in hand may take together, such as\n"
     "512M or 2G (default: half of the memory, or of the control\n"
     "group's limit where that is lower); an image waits until it\n"
     "fits, and fails with its size when it cannot fit alone"},
    {"max-megapixels", "N",
     "the largest picture held whole, in megapixels; a larger one\n"
     "is refused before decoding (default: none beyond what\n"
     "--memory-limit admits); pictures that stream, upright JPEG\n"
     "and PNG written as JPEG or PNG, need no such limit"},
    {"quiet", nullptr, "no progress"},
    {"help", nullptr, "this text"},
    {"version", nullptr, "the program's name and version"},
};

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

QString UsageText() {
    QString text = QStringLiteral(
        "usage: tintorel-cli --watermark FILE --output DIR [options] INPUT...\n"
        "Stamps the watermark picture onto every input image and writes one stamped copy of each\n"
        "into the output folder. The inputs themselves are never changed.\n"
        "\n"
        "  INPUT                       image files, or folders: the files of the folder tree\n"
        "                              whose extension names a picture format the program\n"
        "                              reads, or with --extension the matching ones\n");
    for (const CliOption& option : kOptions)
        text += OptionLines(option);
    text += QStringLiteral(
        "\n"
        "Exit code 0 when every input was written or up to date, 1 when any failed or was\n"
        "skipped, 2 when the run could not start, 130 or 143 when stopped by SIGINT or SIGTERM\n"
        "(the images in hand are finished first; no file is left half written).\n");
    return text;
}
