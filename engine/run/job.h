#pragma once

#include "engine/io/picture.h"
#include "engine/io/resize.h"
#include "engine/stamping/stamp.h"
#include "engine/stamping/textstyle.h"
#include "support/color.h"

#include <QString>
#include <QStringList>
#include <optional>

// The nine placements, in the order of the placement list; -1 when nothing is selected.
enum class WatermarkPlacement : int {
    None = -1,
    UpperLeft = 0,
    UpperMiddle,
    UpperRight,
    MiddleLeft,
    MiddleMiddle,
    MiddleRight,
    BottomLeft,
    BottomMiddle,
    BottomRight,
};

inline constexpr int kPlacementCount = 9;

// The indices of the output-format buttons, as the setting "Save Option" stores them, then the
// formats that Automatic writes beyond the buttons.
enum class OutputFormat : int {
    Automatic = 0,
    Jpg = 1,
    Bmp = 2,
    Png = 3,
    Tif = 4,
    Gif = 5,
    Webp = 6,
    Avif = 7,
    Jxl = 8,
};

inline constexpr int kOutputFormatCount = 4; // the buttons

// How the stamped copies are encoded.
struct OutputChoices {
    int jpegQuality = kDefaultJpegQuality;
    // JPEG inputs written as JPEG keep their own quantisation tables and sampling, so that a photo
    // is not quantised more coarsely than it was (a greyscale or CMYK picture's colour copy takes
    // its luminance and chroma tables from its first and second components); other inputs get
    // jpegQuality, with a note.
    bool keepJpegQuality = false;
    // JPEG inputs written as JPEG keep every block the watermark leaves alone exactly as it was;
    // only the blocks under it are encoded again, with the picture's own tables and sampling.
    // JPEGs that way cannot take are re-encoded with their own tables, as keepJpegQuality does,
    // with a note.
    bool losslessJpeg = false;
    // No EXIF, XMP or IPTC in the copies; the colour profile stays.
    bool stripMetadata = false;
    // The copies' size; the marks are sized and placed on the resized picture.
    ResizeRule resize;
};

// One part of a run shared out among several machines: each takes the images of its own part,
// 1 to count, and the parts together make the whole run (see ShardOf in output.h).
struct RunShard {
    int index = 1;
    int count = 1;
};

// What the run does with a file at an output name that this program did not write (one that
// it did write, it refreshes). Keeping both gives the copy the next free numbered name, as a
// second image of the same name gets; the window will offer the choice before a run, and until
// then keeps both.
enum class ExistingFiles { Number, Replace, Skip };

// A mark stamped besides the run's first one (a logo and a text line together): a picture or a
// text, with its own placement and style. The transparent colour is the run's.
struct MarkLayer {
    QString WatermarkPath; // a picture (raster or SVG), when Text.text is empty
    TextStyle Text;
    int Placement = int(WatermarkPlacement::BottomRight);
    StampStyle Style;
};

// The options of one run. The window's controls fill it, the command line parses into it, and the
// batch run and the preview consume it; the engine never reads a widget.
struct WatermarkJob {
    QStringList InputPaths;
    QString WatermarkPath;
    int Placement = 0; // a WatermarkPlacement value; any other value leaves the position alone
    BgrColor TransparentColor = kWhite;
    std::optional<OutputFormat> Format = OutputFormat::Automatic; // none when no button is selected
    QString OutputFolder;
    StampStyle Style;
    // When its text is not empty, the first mark is this text, drawn for each picture, and
    // WatermarkPath is not used.
    TextStyle Text;
    // Further marks, stamped over the first in their order.
    QList<MarkLayer> MoreMarks;
    OutputChoices Output;
    // For each input, the folder below OutputFolder its copy goes to, as a relative path such as
    // "a/b", in the order of InputPaths. An empty list or entry: the output folder itself.
    QStringList OutputSubfolders;
    // Pass over an image whose output was made by this program from the same input file (same
    // path, size and time), the same watermark content and the same options.
    bool UpdateOnly = false;
    ExistingFiles Existing = ExistingFiles::Number;
    // The name of each copy, without its extension, from the variables of a text mark
    // ("{name}-web", "{n:04}-{name}"); empty for the input's own name.
    QString NamePattern;
    RunShard Shard;
};
