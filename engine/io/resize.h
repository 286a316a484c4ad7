#pragma once

// Pictures made smaller (or, when asked, larger) as they are read: the size a run asks for, and a
// reader that gives the resized rows a band at a time from the rows of the picture's own reader.

#include "engine/io/picturereader.h"

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// How a run sizes its copies, in upright pixels.
enum class ResizeKind {
    None,     // the picture's own size
    LongEdge, // the longer edge `width` pixels
    Width,    // `width` pixels across
    Height,   // `height` pixels down
    Box,      // inside `width` x `height`, the aspect kept
    Percent,  // `percent` of each edge
};

struct ResizeRule {
    ResizeKind kind = ResizeKind::None;
    int width = 0;
    int height = 0;
    double percent = 0;
    // A picture smaller than the size asked for is enlarged to it; without, it keeps its size.
    bool enlarge = false;

    bool resizes() const { return kind != ResizeKind::None; }
    friend bool operator==(const ResizeRule&, const ResizeRule&) = default;
};

// The largest edge a size may ask for, in pixels.
inline constexpr int kMostResizeEdge = 1 << 20;

// "N" (the long edge), "Nx" (the width), "xN" (the height), "WxH" (inside that box) or "P%"
// (P above 0, decimals allowed); nothing for any other text. enlarge is left false.
std::optional<ResizeRule> ParseResizeRule(const QString& text);

// The rule as ParseResizeRule reads it, with " enlarge" after it when it enlarges; empty for
// None. A run's copies are made again when this changes.
QString ResizeRuleText(const ResizeRule& rule);

// The upright size a picture of the upright size `upright` is given; at least 1 x 1, and never
// larger than `upright` on either edge unless the rule enlarges.
QSize ResizedSize(QSize upright, const ResizeRule& rule);

// The Lanczos-3 weights of one axis from `from` pixels to `to` pixels: for each output pixel, the
// first input pixel it takes and the weights of the input pixels from there, which add up to 1.
// Input pixels beyond the edges are left out and the weights of the rest made to add up to 1.
struct ResizeTaps {
    std::vector<int> first;
    std::vector<int> count;
    std::vector<float> weights; // `most` a pixel, zero beyond its count
    int most = 0;
};
ResizeTaps LanczosTaps(int from, int to);

// The separable Lanczos-3 filter, shared by pictures resized as they are read and by pictures
// held whole (a mark sized for a picture): source rows are asked for by number, in rising order,
// each filtered across as it is first needed into a ring of filtered rows, and the output rows of
// the part `part` of the resized picture are made from that ring in any rising order. With alpha,
// pixels are filtered premultiplied, so that no colour leaks out of transparent pixels and an
// edge gets no dark fringe; every channel is clamped to a byte.
class LanczosRows {
public:
    // Gives the source row of that number: 32-bit pixels, `from.width()` of them.
    using SourceRow = std::function<const uchar*(int)>;

    LanczosRows(QSize from, QSize to, QRect part, bool alpha);
    // The output row `y` (of the whole resized picture, inside the part), part.width() pixels.
    void makeRow(int y, uchar* row, const SourceRow& source);
    // What the filter holds, in bytes: one source row, its ring of filtered rows and one output
    // row, four floats a pixel.
    static qint64 bytes(QSize from, QSize to, int partWidth);

private:
    void filterSourceRow(const uchar* row);

    ResizeTaps across_;
    ResizeTaps down_;
    QRect part_;
    bool alpha_;
    std::vector<float> inputRow_; // one source row
    std::vector<float> ring_;     // down_.most filtered rows of the part's width
    // The filtered rows the output row being made takes, in order.
    std::vector<const float*> taps_;
    int filtered_ = 0; // the next source row to filter
};

// The part `part` of an ARGB32 picture (not premultiplied) resized to `size` by Lanczos-3,
// filtered premultiplied; ARGB32 out. A null image when its pixels cannot be had.
QImage LanczosResized(const QImage& argb, QSize size, QRect part);

// Gives the reader's picture at the stored size `stored` (the stored orientation: a rule for an
// upright picture turned by EXIF orientations 5 to 8 has its edges swapped here), made by
// LanczosRows from the source's rows read a band at a time.
class ResizingReader final : public PictureReader {
public:
    ResizingReader(std::unique_ptr<PictureReader> source, QSize stored);

    PictureFormat format() const override { return source_->format(); }
    QSize size() const override { return size_; }
    bool hasAlpha() const override { return source_->hasAlpha(); }
    const PictureMetadata& metadata() const override { return source_->metadata(); }
    QByteArray colourProfile() const override { return source_->colourProfile(); }
    int orientation() const override { return source_->orientation(); }
    bool canStream() const override { return source_->canStream(); }
    void readRows(uchar* rows, qsizetype bytesPerLine, int count) override;
    std::optional<JpegTables> jpegTables() const override { return source_->jpegTables(); }
    bool gray() const override { return source_->gray(); }
    std::optional<TiffSettings> tiffSettings() const override { return source_->tiffSettings(); }
    void stopWhen(const std::atomic<bool>* stop) override { source_->stopWhen(stop); }
    QStringList notes() const override { return source_->notes(); }

    const PictureReader& source() const { return *source_; }
    // What the filter holds besides the source's rows: its ring of filtered rows, a band of
    // input rows and one output row, in bytes.
    qint64 filterBytes() const;
    static qint64 filterBytes(QSize source, QSize stored);

private:
    const uchar* sourceRow(int y);

    std::unique_ptr<PictureReader> source_;
    QSize size_;
    LanczosRows filter_;
    std::vector<uchar> band_; // source rows as read
    int bandFirst_ = 0;       // the source row at band_'s start
    int bandRows_ = 0;
    int made_ = 0; // output rows given
};

// The share of the target size that a decoder's own reduction (libjpeg's DCT scaling) must still
// give on each edge before the filter takes the rest; measured against vips's Lanczos-3 (see
// bench/results.md).
inline constexpr double kDecodedOverTarget = 1.0;
// Whether a JPEG is also reduced by eighths other than 1/2, 1/4 and 1/8 (5/8 for a 4000-pixel
// photo made 2048 wide).
inline constexpr bool kAnyEighths = true;

// The reader with its picture resized as the rule asks: reduced first by the decoder itself (1/2,
// 1/4 or 1/8, the largest that keeps kDecodedOverTarget of the target size), then filtered. The
// reader as it was when the rule keeps the picture's size.
std::unique_ptr<PictureReader> ResizeReader(std::unique_ptr<PictureReader> reader,
                                            const ResizeRule& rule);
