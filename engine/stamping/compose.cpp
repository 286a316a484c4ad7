// The preview's compose: watermark and image loaded, placed and copied in guarded steps.
#include "engine/stamping/compose.h"

#include "engine/stamping/surface.h"
#include "support/errorreport.h"
#include <QImage>
#include <QRect>

void TransparentCopy(QImage& image, QPoint at, const QImage& watermark, BgrColor transparent,
                     int keyTolerance) {
    StampStyle style;
    style.keyTolerance = keyTolerance;
    StampImage(image, at, StampMark(watermark, transparent, style));
}

ComposeOutcome ComposeWatermark(const QString& imagePath, const QString& watermarkPath,
                                int placement, BgrColor transparent, QPoint& position,
                                Surface& watermarkSurface, Surface& composingSurface, Guard& guard,
                                int firstStep, int keyTolerance) {
    ComposeOutcome outcome;
    outcome.watermarkLoaded =
        guard.step(firstStep, [&] { watermarkSurface.load(watermarkPath, true); });
    outcome.imageLoaded = guard.step(firstStep + 1, [&] { composingSurface.load(imagePath); });
    guard.step(firstStep + 2, [&] { composingSurface.clear(); });
    guard.step(firstStep + 3, [&] {
        PlaceWatermark(placement, float(composingSurface.width()), float(composingSurface.height()),
                       float(watermarkSurface.width()), float(watermarkSurface.height()), position);
    });
    guard.step(firstStep + 4, [&] {
        const QRect area(position, watermarkSurface.size());
        TransparentCopy(composingSurface.drawingArea(area), position, watermarkSurface.image(),
                        transparent, keyTolerance);
    });
    return outcome;
}
