#pragma once

#include "engine/stamping/stamp.h"
#include "support/color.h"

#include <QPoint>
#include <QString>

class Guard;
class QImage;
class Surface;

// Copies the watermark onto the image with its top-left corner at `at`, leaving out every opaque
// watermark pixel of the transparent colour, blending the others by their own alpha, and
// cutting off what falls outside the image.
void TransparentCopy(QImage& image, QPoint at, const QImage& watermark, BgrColor transparent,
                     int keyTolerance = 0);

// What a compose managed; a caller that writes files leaves out an image that did not load.
struct ComposeOutcome {
    bool watermarkLoaded = false;
    bool imageLoaded = false;
};

// The five steps of stamping one image, each run through the caller's guard so that a failing
// step is reported and the next one still runs: load the watermark (with its own alpha), load the
// image, clear the composing surface, place, copy. The window's preview composes this way. The
// steps take the numbers firstStep to firstStep + 4.
ComposeOutcome ComposeWatermark(const QString& imagePath, const QString& watermarkPath,
                                int placement, BgrColor transparent, QPoint& position,
                                Surface& watermarkSurface, Surface& composingSurface, Guard& guard,
                                int firstStep, int keyTolerance = 0);
