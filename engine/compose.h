#pragma once

#include "support/color.h"

#include <QPoint>
#include <QString>

class Guard;
class QImage;
class Surface;

// Sets the watermark's top-left corner for the placement from the image size W x H and the
// watermark size w x h. Left and top placements sit 1 pixel in; right and bottom ones touch the
// edge; centred ones round a half to the even integer. Any other placement leaves the position
// unchanged. Positions are 32-bit, so panoramas beyond 32767 pixels place like any other image.
void PlaceWatermark(int placement, float W, float H, float w, float h, QPoint& position);

// Copies the watermark onto the image with its top-left corner at `at`, leaving out every
// watermark pixel of the transparent colour and cutting off what falls outside the image.
void TransparentCopy(QImage& image, QPoint at, const QImage& watermark, BgrColor transparent);

// What a compose managed; a caller that writes files leaves out an image that did not load.
struct ComposeOutcome {
    bool watermarkLoaded = false;
    bool imageLoaded = false;
};

// The five steps of stamping one image, each run through the caller's guard so that a failing
// step is reported and the next one still runs: load the watermark, load the image, clear the
// composing surface, place, copy. The steps take the numbers firstStep to firstStep + 4.
ComposeOutcome ComposeWatermark(const QString& imagePath, const QString& watermarkPath,
                                int placement, BgrColor transparent, QPoint& position,
                                Surface& watermarkSurface, Surface& composingSurface, Guard& guard,
                                int firstStep);
