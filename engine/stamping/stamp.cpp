// Stamping the mark: its size and strength, the nine placements, rows blended, orientation.
#include "engine/stamping/stamp.h"

#include "engine/io/colourprofile.h"
#include "engine/stamping/decode.h"
#include "engine/stamping/markshape.h"
#include "engine/stamping/marksource.h"
#include "support/failure.h"

#include <QPainter>
#include <QTransform>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
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

inline void StampPixel(QRgb& out, QRgb pixel, bool imageHasAlpha) {
    const int alpha = qAlpha(pixel);
    if (alpha == 0)
        return;
    if (alpha == 255)
        out = pixel;
    else
        out = imageHasAlpha ? BlendOverTransparent(pixel, out)
                            : BlendOverOpaque(pixel, out | kOpaque);
}

// Mark pixels looked at in runs, a run passed over at once when all of it is clear: a keyed logo,
// a turned mark's corners and a text's gaps are mostly so.
constexpr int kRun = 8;

// BlendOverOpaque without a branch, for a run of the mark where something shows: a clear pixel
// leaves the picture's and an opaque one gives the mark's, exactly as StampPixel's branches do,
// and (t + 127) / 255 is the same as (u + (u >> 8)) >> 8 with u = t + 128 for every t up to
// 255 x 255. With SSE2, which every x86-64 processor has, four pixels at once, each channel in
// 16 bits (m * a + o * (255 - a) + 128 is at most 65153); elsewhere one at a time.
#if defined(__SSE2__)
inline void BlendRun4(QRgb* out, const QRgb* mark) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i full = _mm_set1_epi16(255);
    const __m128i half = _mm_set1_epi16(128);
    const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mark));
    const __m128i o = _mm_loadu_si128(reinterpret_cast<const __m128i*>(out));
    const auto blend = [&](__m128i m16, __m128i o16) {
        // Each pixel's alpha (its fourth 16-bit lane) in all four lanes.
        const __m128i a = _mm_shufflehi_epi16(_mm_shufflelo_epi16(m16, 0xFF), 0xFF);
        const __m128i u = _mm_add_epi16(
            _mm_add_epi16(_mm_mullo_epi16(m16, a), _mm_mullo_epi16(o16, _mm_sub_epi16(full, a))),
            half);
        return _mm_srli_epi16(_mm_add_epi16(u, _mm_srli_epi16(u, 8)), 8);
    };
    const __m128i low = blend(_mm_unpacklo_epi8(m, zero), _mm_unpacklo_epi8(o, zero));
    const __m128i high = blend(_mm_unpackhi_epi8(m, zero), _mm_unpackhi_epi8(o, zero));
    const __m128i blended =
        _mm_or_si128(_mm_packus_epi16(low, high), _mm_set1_epi32(static_cast<int>(kOpaque)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), blended);
}
#else
inline QRgb BlendRunPixel(QRgb mark, QRgb image) {
    const uint a = mark >> 24;
    const uint rest = 255 - a;
    const auto mix = [&](int shift) {
        const uint u = ((mark >> shift) & 0xFF) * a + ((image >> shift) & 0xFF) * rest + 128;
        return ((u + (u >> 8)) >> 8) << shift;
    };
    return kOpaque | mix(16) | mix(8) | mix(0);
}
#endif

void StampLine(QRgb* out, const QRgb* mark, int count, bool imageHasAlpha) {
    int x = 0;
    for (; x + kRun <= count; x += kRun) {
        QRgb any = 0;
        for (int i = 0; i < kRun; ++i)
            any |= mark[x + i];
        if ((any & ~RGB_MASK) == 0)
            continue;
        if (imageHasAlpha) {
            for (int i = 0; i < kRun; ++i)
                StampPixel(out[x + i], mark[x + i], true);
        } else {
#if defined(__SSE2__)
            for (int i = 0; i < kRun; i += 4)
                BlendRun4(out + x + i, mark + x + i);
#else
            for (int i = 0; i < kRun; ++i)
                out[x + i] = BlendRunPixel(mark[x + i], out[x + i]);
#endif
        }
    }
    for (; x < count; ++x)
        StampPixel(out[x], mark[x], imageHasAlpha);
}

// The blends above carried to 16 bits a channel, for a picture of 16 bits (QImage's RGBA64 or
// RGBX64, not premultiplied): the mark's 8-bit levels and alpha expanded exactly (v * 257), the
// same source over, rounded to the nearest. A mark pixel that shows nothing leaves the picture's
// pixel as it was, bit for bit.
constexpr uint kFull16 = 65535;
constexpr uint kExpand = 257; // 255 * 257 = 65535

inline QRgba64 BlendOver64(QRgb mark, QRgba64 image) {
    const uint a = uint(qAlpha(mark)) * kExpand;
    const uint imageAlpha = image.alpha();
    if (imageAlpha == kFull16) {
        // At most 65535 * 65535 + 32767: within 32 bits.
        const uint rest = kFull16 - a;
        const auto mix = [&](int m, uint i) {
            return quint16((uint(m) * kExpand * a + i * rest + kFull16 / 2) / kFull16);
        };
        return QRgba64::fromRgba64(mix(qRed(mark), image.red()), mix(qGreen(mark), image.green()),
                                   mix(qBlue(mark), image.blue()), quint16(kFull16));
    }
    const quint64 markWeight = quint64(a) * kFull16;
    const quint64 imageWeight = quint64(imageAlpha) * (kFull16 - a);
    const quint64 total = markWeight + imageWeight;
    if (total == 0)
        return QRgba64::fromRgba64(0);
    const auto mix = [&](int m, uint i) {
        return quint16((quint64(m) * kExpand * markWeight + i * imageWeight + total / 2) / total);
    };
    return QRgba64::fromRgba64(mix(qRed(mark), image.red()), mix(qGreen(mark), image.green()),
                               mix(qBlue(mark), image.blue()),
                               quint16((total + kFull16 / 2) / kFull16));
}

void StampImage64(QImage& image, QPoint at, const StampMark& mark) {
    const QImage& pixels = mark.pixels();
    const QRect area = QRect(at, pixels.size()).intersected(QRect(QPoint(0, 0), image.size()));
    for (int y = area.top(); y <= area.bottom(); ++y) {
        auto* out = reinterpret_cast<QRgba64*>(image.scanLine(y));
        const auto* in = reinterpret_cast<const QRgb*>(pixels.constScanLine(y - at.y()));
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb pixel = in[x - at.x()];
            const int alpha = qAlpha(pixel);
            if (alpha == 255)
                out[x] = QRgba64::fromRgba(quint8(qRed(pixel)), quint8(qGreen(pixel)),
                                           quint8(qBlue(pixel)), 255);
            else if (alpha != 0)
                out[x] = BlendOver64(pixel, out[x]);
        }
    }
}

bool IsSixteenBits(const QImage& image) {
    return image.format() == QImage::Format_RGBA64 || image.format() == QImage::Format_RGBX64;
}

// Transparent pixels onto white in 16 bits, then opaque: RGBX64, as RGB32 is for 8 bits.
QImage FlattenOntoWhite64(const QImage& picture) {
    QImage flat = picture.convertToFormat(picture.hasAlphaChannel() ? QImage::Format_RGBA64
                                                                    : QImage::Format_RGBX64);
    if (flat.isNull() && !picture.isNull())
        throw Failure(SystemErrorText(ENOMEM));
    if (flat.format() != QImage::Format_RGBA64)
        return flat;
    for (int y = 0; y < flat.height(); ++y) {
        auto* line = reinterpret_cast<QRgba64*>(flat.scanLine(y));
        for (int x = 0; x < flat.width(); ++x) {
            const uint a = line[x].alpha();
            if (a == kFull16)
                continue;
            const uint white = kFull16 * (kFull16 - a);
            const auto mix = [&](uint c) {
                return quint16((c * a + white + kFull16 / 2) / kFull16);
            };
            line[x] = QRgba64::fromRgba64(mix(line[x].red()), mix(line[x].green()),
                                          mix(line[x].blue()), quint16(kFull16));
        }
    }
    flat.reinterpretAsFormat(QImage::Format_RGBX64);
    return flat;
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

} // namespace

StampMark::StampMark(const QImage& picture, BgrColor transparent, const StampStyle& style)
    : StampMark(RasterMarkSource(picture, transparent, style.keyTolerance), style) {}

StampMark::StampMark(std::shared_ptr<const MarkSource> source, const StampStyle& style)
    : source_(std::move(source)), pixels_(source_ ? source_->ownPixels() : QImage()), style_(style),
      profile_(source_ ? source_->profile() : QByteArray()) {}

QSize StampMark::size() const {
    return finished_ || !source_ ? pixels_.size() : source_->ownSize();
}

QSize StampMark::drawnSizeFor(QSize picture) const {
    return finished_ || !source_ ? pixels_.size() : DrawnSize(source_->ownSize(), picture, style_);
}

QSize StampMark::sizeFor(QSize picture) const {
    if (finished_ || !source_)
        return pixels_.size();
    return TurnedBox(drawnSizeFor(picture), picture, style_);
}

StampMark StampMark::finishedWith(QImage pixels) const {
    StampMark mark(*this);
    mark.finished_ = true;
    mark.pixels_ = std::move(pixels);
    mark.profile_ = source_->profile();
    if (style_.opacity < 100 && !mark.pixels_.isNull()) {
        mark.pixels_.detach();
        if (mark.pixels_.isNull())
            throw Failure(MarkFailureText(mark.size()));
        Weaken(mark.pixels_, style_.opacity);
    }
    return mark;
}

StampMark StampMark::forPicture(QSize picture) const {
    if (finished_ || !source_)
        return *this;
    const QSize drawn = drawnSizeFor(picture);
    return finishedWith(
        TurnedMark(source_->drawn(drawn), style_.rotation, TurnedBox(drawn, picture, style_)));
}

StampMark StampMark::forSize(QSize drawn) const {
    if (finished_ || !source_)
        return *this;
    StampStyle alone = style_;
    alone.tile = false;
    return finishedWith(
        TurnedMark(source_->drawn(drawn), style_.rotation, TurnedBox(drawn, QSize(), alone)));
}

StampMark StampMark::inColours(const QByteArray& profile) const {
    if (pixels_.isNull() || !ConvertsColours(profile_, profile))
        return *this;
    StampMark mark(*this);
    mark.pixels_ = pixels_.copy();
    if (mark.pixels_.isNull())
        throw Failure(MarkFailureText(pixels_.size()));
    ConvertArgb(mark.pixels_, profile_, profile);
    mark.profile_ = profile;
    return mark;
}

StampMark LoadMark(const QString& path, BgrColor transparent, const StampStyle& style,
                   qint64 maxPixels) {
    try {
        if (IsSvgFile(path))
            return StampMark(SvgMarkSource(path), style);
        const DecodedPicture decoded = DecodePictureInColours(path, true, maxPixels);
        return StampMark(
            RasterMarkSource(decoded.picture, transparent, style.keyTolerance, decoded.profile),
            style);
    } catch (const Failure& failure) {
        const QString text = failure.text();
        throw Failure(text.startsWith(path + QLatin1Char(':')) ? text : path + ": " + text);
    }
}

StampMark StampMark::partForPicture(QSize picture, QRect visible) const {
    const QSize size = sizeFor(picture);
    if (finished_ || !source_ || visible == QRect(QPoint(0, 0), size) ||
        NormalTurn(style_.rotation) != 0)
        return forPicture(picture);
    return finishedWith(visible.isEmpty() ? QImage() : source_->drawnPart(size, visible));
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

void StampRows(uchar* rows, qsizetype bytesPerLine, int firstRow, int count, int imageWidth,
               bool imageHasAlpha, const StampPlan& plan) {
    const int height = plan.mark.size().height();
    // The copies are in order from the top: those that meet the rows follow one another.
    auto copy = std::partition_point(plan.places.begin(), plan.places.end(), [&](QPoint at) {
        return qint64(at.y()) + height <= firstRow;
    });
    for (; copy != plan.places.end() && copy->y() < qint64(firstRow) + count; ++copy)
        StampRows(rows, bytesPerLine, firstRow, count, imageWidth, imageHasAlpha, *copy, plan.mark);
}

void StampImage(QImage& image, const StampPlan& plan) {
    if (image.isNull())
        return;
    if (IsSixteenBits(image)) {
        for (const QPoint at : plan.places)
            StampImage64(image, at, plan.mark);
        return;
    }
    StampRows(image.bits(), image.bytesPerLine(), 0, image.height(), image.width(),
              image.format() == QImage::Format_ARGB32, plan);
}

void StampImage(QImage& image, QPoint at, const StampMark& mark) {
    if (image.isNull())
        return;
    if (IsSixteenBits(image))
        return StampImage64(image, at, mark);
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
    if (picture.depth() == 64)
        return FlattenOntoWhite64(picture);
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
