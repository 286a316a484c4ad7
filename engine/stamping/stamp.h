#pragma once

#include "support/color.h"

#include <memory>
#include <vector>

#include <QByteArray>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSize>

class MarkSource;

// The margins a placement keeps unless told otherwise, in pixels: left and top placements sit 1
// pixel in, right and bottom ones touch the edge. kUsualMargins asks for them.
inline constexpr int kUsualNearMargin = 1;
inline constexpr int kUsualFarMargin = 0;
inline constexpr int kUsualMargins = -1;

// How the watermark is stamped besides its placement: its size relative to the image, its
// distance from the edges and its strength. The defaults stamp the watermark at its own size,
// 1 pixel in from the left and top edges and touching the right and bottom ones, at full strength.
// Which of the picture's measures a mark's scale is a share of: the mark's width of the picture's
// width, its height of the height, or its longer side of the picture's short or long edge.
enum class ScaleOf { Width, Height, Short, Long };

struct StampStyle {
    double scale = 0; // the watermark's size as a share of the picture's (see scaleOf); 0 keeps it
    ScaleOf scaleOf = ScaleOf::Width;
    int margin = kUsualMargins; // pixels from the edges it is placed against
    // When 0 or more, the margin is this percentage of the picture's short edge on every side,
    // in place of `margin`, so that pictures of either orientation keep their marks alike.
    double marginPercent = -1;
    int opacity = 100; // percent of the watermark's own alpha
    // How far (the largest difference of one channel, 0-255) a colour of a watermark without
    // transparency of its own may lie from the transparent colour and still be taken out: the
    // key itself fully, the colours near it partly, so that a keyed logo loses its light rim.
    int keyTolerance = 0;
    double rotation = 0; // degrees, counter-clockwise; placement applies to the turned bounding box
    // Repeat the mark over the whole picture on a grid centred on the picture's centre, turned
    // with the mark; placement and margin then mean nothing.
    bool tile = false;
    double tileGap = 100;     // the gap between marks, as a percentage of the mark's size
    bool tileStagger = false; // every second row shifted by half a step
};

// A watermark ready to stamp: ARGB32 (not premultiplied), made from its source (a raster picture
// keyed by the transparent colour, an SVG, a text; see marksource.h) for the pictures it is
// stamped on: sized as the style asks, turned, weakened by its opacity.
class StampMark {
public:
    StampMark() = default;
    // A raster picture: see RasterMarkSource.
    StampMark(const QImage& picture, BgrColor transparent, const StampStyle& style = {});
    StampMark(std::shared_ptr<const MarkSource> source, const StampStyle& style);

    bool isNull() const { return !source_ && pixels_.isNull(); }
    QSize size() const;
    // A finished mark's pixels, or a raster picture's own.
    const QImage& pixels() const { return pixels_; }
    const StampStyle& style() const { return style_; }
    // The colour profile its pixels are in; empty for sRGB.
    const QByteArray& profile() const { return profile_; }
    // Where its pixels come from, to make the same mark in another style.
    const std::shared_ptr<const MarkSource>& source() const { return source_; }

    // Its size on a picture of the given upright size before it is turned, and the box it takes
    // once turned, without making it.
    QSize drawnSizeFor(QSize picture) const;
    QSize sizeFor(QSize picture) const;
    // The mark as stamped on a picture of the given upright size: sized, turned and weakened.
    // Raises a Failure when the mark's pixels cannot be had.
    StampMark forPicture(QSize picture) const;
    // Only the part `visible` (in the finished mark's pixels) of an unturned mark: a mark scaled
    // far beyond a narrow picture is made only where it lands on it. A turned mark is made whole.
    StampMark partForPicture(QSize picture, QRect visible) const;
    // The mark drawn at exactly this size before its turn, turned and weakened: the mark of a
    // picture shown reduced, sized as it is stamped on the full picture and reduced alike.
    StampMark forSize(QSize drawn) const;

    // A finished mark in the colours of a picture whose pixels are in the colour profile given
    // (empty for sRGB): converted from the colours it is in, relative colorimetric, its alpha
    // kept. A mark already in them comes back as it is, at no cost. Raises a Failure when lcms2
    // cannot convert between the two.
    StampMark inColours(const QByteArray& profile) const;

    // The mark as stamped on a picture stored turned, whose EXIF orientation turns it upright:
    // turned back the other way, so that it stands upright when the picture is shown upright.
    StampMark storedFor(int orientation) const;

private:
    StampMark finishedWith(QImage pixels) const;

    std::shared_ptr<const MarkSource> source_;
    QImage pixels_;
    StampStyle style_;
    bool finished_ = false; // sized, turned and weakened: ready for one picture size
    QByteArray profile_;    // the colour profile its pixels are in; empty for sRGB
};

// A mark finished for one picture and the top-left corners of its copies on it, top to bottom.
struct StampPlan {
    StampMark mark;
    std::vector<QPoint> places;
};

// A watermark file's mark: an SVG drawn at each size, or a raster picture decoded upright and
// keyed, in the colours of its own profile, refused like any picture above maxPixels. Raises a
// Failure naming the file.
StampMark LoadMark(const QString& path, BgrColor transparent, const StampStyle& style,
                   qint64 maxPixels);

// Sets the watermark's top-left corner for the placement from the image size W x H and the
// watermark size w x h. Left and top placements sit 1 pixel in; right and bottom ones touch the
// edge; centred ones round a half to the even integer. Any other placement leaves the position
// unchanged. Positions are 32-bit, so panoramas beyond 32767 pixels place like any other image.
void PlaceWatermark(int placement, float W, float H, float w, float h, QPoint& position);

// The same with a margin: left and top placements sit `margin` pixels in, right and bottom ones
// `margin` pixels from the edge; a negative margin keeps the usual 1 and 0.
void PlaceWatermark(int placement, float W, float H, float w, float h, QPoint& position,
                    int margin);

// Stamps the mark onto `count` rows of an image `imageWidth` pixels wide, the first of which is
// image row `firstRow`, with the mark's top-left corner at `at`. Rows are RGB32 for an opaque
// image and ARGB32 for one with its own alpha, which the mark is then composited over. Whatever
// of the mark falls outside the rows or the image is cut off.
void StampRows(uchar* rows, qsizetype bytesPerLine, int firstRow, int count, int imageWidth,
               bool imageHasAlpha, QPoint at, const StampMark& mark);

// Stamps every copy of the plan that meets the rows.
void StampRows(uchar* rows, qsizetype bytesPerLine, int firstRow, int count, int imageWidth,
               bool imageHasAlpha, const StampPlan& plan);

// Stamps the mark onto a whole RGB32 or ARGB32 image, or one of 16 bits a channel (RGBA64 or
// RGBX64, not premultiplied), which the mark is blended into at 16 bits: its pixels that show
// nothing leave the image's bit for bit.
void StampImage(QImage& image, QPoint at, const StampMark& mark);
void StampImage(QImage& image, const StampPlan& plan);

// Puts transparent pixels onto white, the background JPEG, BMP and the screen give them.
void FlattenRows(uchar* rows, qsizetype bytesPerLine, int width, int count);
// The picture opaque: RGB32, or RGBX64 for a picture of 16 bits a channel, flattened at 16 bits.
QImage FlattenOntoWhite(const QImage& picture);

// The picture as a person sees it: the EXIF orientation 1 to 8 applied, in the picture's own
// format, every pixel moved as it is. Any other value returns the picture as it is.
QImage Oriented(const QImage& picture, int orientation);
// The size of a picture of the given stored size once oriented.
QSize OrientedSize(QSize stored, int orientation);
// The pixels of a picture stored at the given size that show as the rectangle once the
// orientation turns the picture upright.
QRect StoredRect(QRect upright, QSize stored, int orientation);
