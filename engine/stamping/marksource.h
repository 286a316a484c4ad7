#pragma once

// Where a mark's pixels come from before it is sized, turned and weakened for a picture: a raster
// picture (keyed by the transparent colour when it has no transparency of its own), an SVG drawn
// at the size it is stamped at, or pixels made for one picture (a text).

#include "support/color.h"

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

#include <memory>

class MarkSource {
public:
    virtual ~MarkSource() = default;
    // The size the mark has of its own, stamped without a scale.
    virtual QSize ownSize() const = 0;
    // The mark drawn at exactly `size`: ARGB32, not premultiplied. Raises a Failure when its
    // pixels cannot be had.
    virtual QImage drawn(QSize size) const = 0;
    // Only the part `visible` of the mark drawn at `size`, without the rest of it.
    virtual QImage drawnPart(QSize size, QRect visible) const = 0;
    // Its own pixels, when it has some without being drawn (a raster picture).
    virtual QImage ownPixels() const { return {}; }
    // The colour profile its pixels are in: a picture's own; empty for sRGB, which SVGs and texts
    // are drawn in.
    virtual QByteArray profile() const { return {}; }
};

// A raster picture as a mark. One without transparency of its own has every pixel of exactly the
// transparent colour made fully transparent (and, with a key tolerance, the colours near it
// partly), so that leaving out the key and blending by alpha are one and the same operation. One
// whose alpha says what is transparent is blended by that alpha alone. Sized by Lanczos-3 over
// premultiplied pixels. Its colours are in the profile given, sRGB when it is empty.
std::shared_ptr<const MarkSource> RasterMarkSource(const QImage& picture, BgrColor transparent,
                                                   int keyTolerance,
                                                   const QByteArray& profile = {});

// Pixels blended by their own alpha as they are, such as a text drawn for one picture.
std::shared_ptr<const MarkSource> PixelsMarkSource(const QImage& argb);

// Whether the file is an SVG picture, by its content: an XML document whose root is <svg>, or
// such a document gzip-compressed.
bool IsSvgFile(const QString& path);

// An SVG file as a mark, drawn anew at each size it is stamped at, so that it stays sharp. Its own
// size is the one the file gives. Raises a Failure when the file cannot be read or drawn.
std::shared_ptr<const MarkSource> SvgMarkSource(const QString& path);

// The text of a mark that cannot be made at a size.
QString MarkFailureText(QSize size);
