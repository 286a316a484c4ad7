#include "engine/compose.h"

#include "engine/surface.h"
#include "support/errorreport.h"
#include "support/failure.h"

#include <QImage>
#include <QRect>

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
} // namespace

void PlaceWatermark(int placement, float W, float H, float w, float h, QPoint& position) {
    if (placement < 0 || placement > 8)
        return;
    const int column = placement % 3;
    const int row = placement / 3;
    const double x = column == 0 ? 1.0 : column == 1 ? Centre(W, w) : double(W) - double(w);
    const double y = row == 0 ? 1.0 : row == 1 ? Centre(H, h) : double(H) - double(h);
    position = QPoint(ToCoordinate(x), ToCoordinate(y));
}

void TransparentCopy(QImage& image, QPoint at, const QImage& watermark, BgrColor transparent) {
    const QRect target = QRect(at, watermark.size()).intersected(image.rect());
    if (target.isEmpty())
        return;
    const QRgb key = BgrToRgb(transparent) & RGB_MASK;
    const QImage source = watermark.format() == QImage::Format_RGB32
                              ? watermark
                              : watermark.convertToFormat(QImage::Format_RGB32);
    for (int y = target.top(); y <= target.bottom(); ++y) {
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        const auto* in = reinterpret_cast<const QRgb*>(source.constScanLine(y - at.y()));
        for (int x = target.left(); x <= target.right(); ++x) {
            const QRgb pixel = in[x - at.x()];
            if ((pixel & RGB_MASK) != key)
                out[x] = pixel | 0xFF000000u;
        }
    }
}

ComposeOutcome ComposeWatermark(const QString& imagePath, const QString& watermarkPath,
                                int placement, BgrColor transparent, QPoint& position,
                                Surface& watermarkSurface, Surface& composingSurface, Guard& guard,
                                int firstStep) {
    ComposeOutcome outcome;
    outcome.watermarkLoaded = guard.step(firstStep, [&] { watermarkSurface.load(watermarkPath); });
    outcome.imageLoaded = guard.step(firstStep + 1, [&] { composingSurface.load(imagePath); });
    guard.step(firstStep + 2, [&] { composingSurface.clear(); });
    guard.step(firstStep + 3, [&] {
        PlaceWatermark(placement, float(composingSurface.width()), float(composingSurface.height()),
                       float(watermarkSurface.width()), float(watermarkSurface.height()), position);
    });
    guard.step(firstStep + 4, [&] {
        const QRect area(position, watermarkSurface.size());
        TransparentCopy(composingSurface.drawingArea(area), position, watermarkSurface.image(),
                        transparent);
    });
    return outcome;
}
