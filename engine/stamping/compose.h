#pragma once

#include "engine/stamping/decode.h"
#include "engine/stamping/stamp.h"
#include "engine/stamping/textstyle.h"
#include "support/color.h"

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <atomic>
#include <vector>

class Guard;
class QImage;

// Copies the watermark onto the image with its top-left corner at `at`, leaving out every opaque
// watermark pixel of the transparent colour, blending the others by their own alpha, and
// cutting off what falls outside the image.
void TransparentCopy(QImage& image, QPoint at, const QImage& watermark, BgrColor transparent,
                     int keyTolerance = 0);

// Where a mark placed at `full` on a picture of the size `fullSize` lands on the same picture
// reduced to `reducedSize`: its corners scaled alike and rounded, never less than a pixel.
QRect ReducedRect(QRect full, QSize fullSize, QSize reducedSize);

// One preview: the picture, the watermark and how the run would stamp it, with the room the
// window has to show it in.
// A mark stamped over the first: a picture, or a text when its text is not empty.
struct PreviewLayer {
    QString watermarkPath;
    TextStyle text;
    int placement = 0;
    StampStyle style;
};

struct PreviewRequest {
    QString imagePath;
    QString watermarkPath;
    TextStyle text; // when its text is not empty, the mark in place of the watermark picture
    int placement = 0;
    BgrColor transparent = kWhite;
    StampStyle style;
    QList<PreviewLayer> more; // further marks, in their order
    QSize room; // what the screen shows of a picture at most; empty for the picture whole
    qint64 maxPixels = 0;
    const std::atomic<bool>* stop = nullptr; // see DecodeReducedPicture
};

// The text drawn as the mark of the picture at the path, of that (upright) size, for a preview: the
// variables of its name and time filled, those of its EXIF left empty.
QImage TextMarkFor(const TextStyle& text, const QString& path, QSize picture);

// Stamps the mark on a picture decoded reduced, where and as large as the run stamps it on the
// full picture, reduced alike.
void StampOnReduced(ReducedPicture& shown, const StampMark& mark, int placement,
                    const StampStyle& style);

// Where a mark's copies go on the full picture (its drawn size, its turned box and their places),
// and those copies stamped on the picture reduced, each reduced alike and in its colours.
struct ReducedPlan {
    StampMark mark;
    QSize drawn;
    QSize box;
    std::vector<QPoint> places;
};
ReducedPlan PlanOnReduced(const ReducedPicture& shown, const StampMark& mark, int placement,
                          const StampStyle& style);
void StampOnReduced(ReducedPicture& shown, const ReducedPlan& plan);

// The preview's compose, in the steps firstStep to firstStep + 4, each run through the caller's
// guard: load the watermark (with its own alpha), load the picture reduced for the room, draw a
// text mark for the picture (the step kept for its number when the mark is a picture), place, copy.
// The mark's size and place are those the run gives it on the full picture, reduced with the
// picture, so the preview shows it where and as large as the copy has it. When a step fails, the
// ones that need it are left out and the picture comes back null: a preview shows the picture as
// stamped or nothing.
ReducedPicture ComposePreview(const PreviewRequest& request, Guard& guard, int firstStep);
