// Stamping the mark: its size and strength, the nine placements, rows blended, orientation.
#include "engine/stamping/stamp.h"

#include "support/failure.h"

#include <QPainter>
#include <QTransform>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
// A / 2 - a / 2, rounded to the nearest integer with a half going to the even one (the default
// rounding mode of nearbyint).
double Centre(float A, float a) {
    return std::nearbyint(double(A) / 2.0 - double(a) / 2.0);
}

int ToCoordinate(double value) {
    if (!(value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max()))
        throw Failure(QStringLiteral("Overflow"));
    return int(value);
}

constexpr QRgb kOpaque = 0xFF000000u;

// Source over an opaque pixel, in 8-bit sRGB, rounded.
inline QRgb BlendOverOpaque(QRgb mark, QRgb image) {
    const uint a = qAlpha(mark);
    const uint rest = 255 - a;
    const auto mix = [&](uint m, uint i) {
        return (m * a + i * rest + 127) / 255;
    };
    return qRgb(int(mix(qRed(mark), qRed(image))), int(mix(qGreen(mark), qGreen(image))),
                int(mix(qBlue(mark), qBlue(image))));
}

// Source over a pixel with its own alpha, both not premultiplied.
inline QRgb BlendOverTransparent(QRgb mark, QRgb image) {
    const uint markWeight = uint(qAlpha(mark)) * 255;
    const uint imageWeight = uint(qAlpha(image)) * (255 - uint(qAlpha(mark)));
    const uint total = markWeight + imageWeight;
    if (total == 0)
        return 0;
    const auto mix = [&](uint m, uint i) {
        return (m * markWeight + i * imageWeight + total / 2) / total;
    };
    return qRgba(int(mix(qRed(mark), qRed(image))), int(mix(qGreen(mark), qGreen(image))),
                 int(mix(qBlue(mark), qBlue(image))), int((total + 127) / 255));
}

void StampLine(QRgb* out, const QRgb* mark, int count, bool imageHasAlpha) {
    for (int x = 0; x < count; ++x) {
        const QRgb pixel = mark[x];
        const int alpha = qAlpha(pixel);
        if (alpha == 0)
            continue;
        if (alpha == 255)
            out[x] = pixel;
        else
            out[x] = imageHasAlpha ? BlendOverTransparent(pixel, out[x])
                                   : BlendOverOpaque(pixel, out[x] | kOpaque);
    }
}

// True when some pixel is less than opaque: the picture's alpha then says what is transparent.
bool HasOwnTransparency(const QImage& argb) {
    for (int y = 0; y < argb.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        if (std::any_of(line, line + argb.width(), [](QRgb p) { return qAlpha(p) < 255; }))
            return true;
    }
    return false;
}

// The largest difference of one channel: how far a colour lies from the key.
int KeyDistance(QRgb pixel, QRgb key) {
    return std::max({std::abs(qRed(pixel) - qRed(key)), std::abs(qGreen(pixel) - qGreen(key)),
                     std::abs(qBlue(pixel) - qBlue(key))});
}

// A pixel of an anti-aliased rim, a blend of the logo's colour and the key, taken apart again:
// it keeps the least alpha that explains it as a colour laid over the key, and that colour, so
// that the rim blends into the picture instead of showing the key's light or dark edge. Over the
// key colour itself it gives back exactly the pixel it was.
QRgb Unblended(QRgb pixel, QRgb key) {
    const auto share = [](int p, int k) {
        return p == k ? 0.0 : p > k ? double(p - k) / double(255 - k) : double(k - p) / double(k);
    };
    const double alpha = std::max({share(qRed(pixel), qRed(key)), share(qGreen(pixel), qGreen(key)),
                                   share(qBlue(pixel), qBlue(key))});
    if (alpha <= 0)
        return 0;
    const auto channel = [&](int p, int k) {
        return std::clamp(int(std::lround(k + (p - k) / alpha)), 0, 255);
    };
    return qRgba(channel(qRed(pixel), qRed(key)), channel(qGreen(pixel), qGreen(key)),
                 channel(qBlue(pixel), qBlue(key)), int(std::lround(alpha * 255)));
}

QImage Keyed(const QImage& picture, BgrColor transparent, int tolerance) {
    QImage keyed = picture.convertToFormat(QImage::Format_ARGB32);
    if (keyed.isNull())
        throw Failure(SystemErrorText(ENOMEM));
    // A logo with its own transparency (white letters on a clear ground) is blended by its alpha
    // alone: keying its white out would hollow the letters.
    if (picture.hasAlphaChannel() && HasOwnTransparency(keyed))
        return keyed;
    const QRgb key = BgrToRgb(transparent) | kOpaque;
    for (int y = 0; y < keyed.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(keyed.scanLine(y));
        for (int x = 0; x < keyed.width(); ++x) {
            if (KeyDistance(line[x], key) <= tolerance)
                line[x] = Unblended(line[x], key);
        }
    }
    return keyed;
}

void Weaken(QImage& mark, int opacity) {
    if (opacity >= 100)
        return;
    for (int y = 0; y < mark.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(mark.scanLine(y));
        for (int x = 0; x < mark.width(); ++x)
            line[x] = (line[x] & RGB_MASK) | (QRgb((qAlpha(line[x]) * opacity + 50) / 100) << 24);
    }
}

// Area averaging over premultiplied pixels, so that no colour of a transparent pixel bleeds into
// the edges of the smaller mark.
QImage Resized(const QImage& mark, QSize size) {
    return mark.convertToFormat(QImage::Format_ARGB32_Premultiplied)
        .scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
        .convertToFormat(QImage::Format_ARGB32);
}
} // namespace

StampMark::StampMark(const QImage& picture, BgrColor transparent, const StampStyle& style)
    : pixels_(Keyed(picture, transparent, std::clamp(style.keyTolerance, 0, 255))), style_(style) {}

QSize StampMark::sizeForImageWidth(int imageWidth) const {
    if (finished_ || isNull() || style_.scale <= 0)
        return pixels_.size();
    const int width = std::max(1, int(std::lround(style_.scale * imageWidth)));
    const double height = std::round(double(pixels_.height()) * width / double(pixels_.width()));
    return QSize(width, int(std::clamp(height, 1.0, double(std::numeric_limits<int>::max()))));
}

namespace {
QString MarkFailureText(QSize size) {
    return QStringLiteral("the watermark cannot be made %1 x %2 pixels: %3")
        .arg(size.width())
        .arg(size.height())
        .arg(SystemErrorText(ENOMEM));
}

// The part of the mark scaled to `size` that falls in `visible`, drawn from the mark's own
// pixels without the rest of the scaled mark.
QImage ResizedPart(const QImage& mark, QSize size, QRect visible) {
    QImage part(visible.size(), QImage::Format_ARGB32_Premultiplied);
    if (part.isNull())
        throw Failure(MarkFailureText(visible.size()));
    part.fill(Qt::transparent);
    QPainter painter(&part);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(QRectF(QPointF(-visible.x(), -visible.y()), QSizeF(size)),
                      mark.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    painter.end();
    return part.convertToFormat(QImage::Format_ARGB32);
}
} // namespace

StampMark StampMark::forImageWidth(int imageWidth) const {
    if (finished_ || isNull())
        return *this;
    return forSize(sizeForImageWidth(imageWidth));
}

StampMark StampMark::forSize(QSize size) const {
    if (finished_ || isNull())
        return *this;
    StampMark mark(*this);
    mark.finished_ = true;
    if (size != pixels_.size())
        mark.pixels_ = Resized(pixels_, size);
    if (mark.pixels_.isNull())
        throw Failure(MarkFailureText(size));
    if (style_.opacity < 100) {
        mark.pixels_.detach();
        if (mark.pixels_.isNull())
            throw Failure(MarkFailureText(size));
        Weaken(mark.pixels_, style_.opacity);
    }
    return mark;
}

StampMark StampMark::partForImageWidth(int imageWidth, QRect visible) const {
    const QSize size = sizeForImageWidth(imageWidth);
    if (finished_ || isNull() || visible == QRect(QPoint(0, 0), size))
        return forImageWidth(imageWidth);
    StampMark mark(*this);
    mark.finished_ = true;
    mark.pixels_ = visible.isEmpty()        ? QImage()
                   : size == pixels_.size() ? pixels_.copy(visible)
                                            : ResizedPart(pixels_, size, visible);
    if (mark.pixels_.isNull() && !visible.isEmpty())
        throw Failure(MarkFailureText(visible.size()));
    if (style_.opacity < 100 && !mark.isNull())
        Weaken(mark.pixels_, style_.opacity);
    return mark;
}

StampMark StampMark::storedFor(int orientation) const {
    // Each orientation undoes itself, but for the quarter turns 6 and 8, which undo each other.
    const int back = orientation == 6 ? 8 : orientation == 8 ? 6 : orientation;
    StampMark mark(*this);
    mark.pixels_ = Oriented(pixels_, back);
    return mark;
}

void PlaceWatermark(int placement, float W, float H, float w, float h, QPoint& position) {
    PlaceWatermark(placement, W, H, w, h, position, kUsualMargins);
}

void PlaceWatermark(int placement, float W, float H, float w, float h, QPoint& position,
                    int margin) {
    if (placement < 0 || placement > 8)
        return;
    const double near = margin < 0 ? double(kUsualNearMargin) : double(margin);
    const double far = margin < 0 ? double(kUsualFarMargin) : double(margin);
    const int column = placement % 3;
    const int row = placement / 3;
    const double x = column == 0 ? near : column == 1 ? Centre(W, w) : double(W) - double(w) - far;
    const double y = row == 0 ? near : row == 1 ? Centre(H, h) : double(H) - double(h) - far;
    position = QPoint(ToCoordinate(x), ToCoordinate(y));
}

void StampRows(uchar* rows, qsizetype bytesPerLine, int firstRow, int count, int imageWidth,
               bool imageHasAlpha, QPoint at, const StampMark& mark) {
    const QImage& pixels = mark.pixels();
    const int top = std::max(firstRow, at.y());
    const int bottom = std::min<qint64>(qint64(firstRow) + count, qint64(at.y()) + pixels.height());
    const int left = std::max(0, at.x());
    const int right = int(std::min<qint64>(imageWidth, qint64(at.x()) + pixels.width()));
    if (top >= bottom || left >= right)
        return;
    for (int y = top; y < bottom; ++y) {
        auto* out = reinterpret_cast<QRgb*>(rows + qsizetype(y - firstRow) * bytesPerLine);
        const auto* in = reinterpret_cast<const QRgb*>(pixels.constScanLine(y - at.y()));
        StampLine(out + left, in + (left - at.x()), right - left, imageHasAlpha);
    }
}

void StampImage(QImage& image, QPoint at, const StampMark& mark) {
    if (image.isNull())
        return;
    StampRows(image.bits(), image.bytesPerLine(), 0, image.height(), image.width(),
              image.format() == QImage::Format_ARGB32, at, mark);
}

void FlattenRows(uchar* rows, qsizetype bytesPerLine, int width, int count) {
    for (int y = 0; y < count; ++y) {
        auto* line = reinterpret_cast<QRgb*>(rows + qsizetype(y) * bytesPerLine);
        for (int x = 0; x < width; ++x) {
            if (qAlpha(line[x]) != 255)
                line[x] = BlendOverOpaque(line[x], 0xFFFFFFFFu);
        }
    }
}

QImage FlattenOntoWhite(const QImage& picture) {
    QImage flat = picture.convertToFormat(picture.hasAlphaChannel() ? QImage::Format_ARGB32
                                                                    : QImage::Format_RGB32);
    if (flat.isNull() && !picture.isNull())
        throw Failure(SystemErrorText(ENOMEM));
    if (flat.format() == QImage::Format_ARGB32) {
        FlattenRows(flat.bits(), flat.bytesPerLine(), flat.width(), flat.height());
        flat.reinterpretAsFormat(QImage::Format_RGB32);
    }
    return flat;
}

QSize OrientedSize(QSize stored, int orientation) {
    return orientation >= 5 && orientation <= 8 ? stored.transposed() : stored;
}

namespace {
// The stored pixel that shows at an upright one: the orientation's move undone.
QPoint StoredPoint(QPoint upright, QSize stored, int orientation) {
    const int x = upright.x(), y = upright.y();
    const int right = stored.width() - 1, bottom = stored.height() - 1;
    switch (orientation) {
    case 2:
        return QPoint(right - x, y);
    case 3:
        return QPoint(right - x, bottom - y);
    case 4:
        return QPoint(x, bottom - y);
    case 5:
        return QPoint(y, x);
    case 6:
        return QPoint(y, bottom - x);
    case 7:
        return QPoint(right - y, bottom - x);
    case 8:
        return QPoint(right - y, x);
    default:
        return upright;
    }
}
} // namespace

QRect StoredRect(QRect upright, QSize stored, int orientation) {
    if (upright.isEmpty())
        return {};
    const QPoint a = StoredPoint(upright.topLeft(), stored, orientation);
    const QPoint b = StoredPoint(upright.bottomRight(), stored, orientation);
    return QRect(QPoint(std::min(a.x(), b.x()), std::min(a.y(), b.y())),
                 QPoint(std::max(a.x(), b.x()), std::max(a.y(), b.y())));
}

namespace {
QImage Turned(const QImage& picture, int degrees) {
    return picture.transformed(QTransform().rotate(degrees)).convertToFormat(picture.format());
}
} // namespace

QImage Oriented(const QImage& picture, int orientation) {
    // Orientations 5 to 8 turn the picture a quarter; 2, 4, 5 and 7 also mirror it.
    switch (orientation) {
    case 2:
        return picture.mirrored(true, false);
    case 3:
        return picture.mirrored(true, true);
    case 4:
        return picture.mirrored(false, true);
    case 5:
        return Turned(picture, 90).mirrored(true, false);
    case 6:
        return Turned(picture, 90);
    case 7:
        return Turned(picture, 90).mirrored(false, true);
    case 8:
        return Turned(picture, 270);
    default:
        return picture;
    }
}
