// The preview's compose: the picture decoded reduced for the screen, the mark placed as the run
// places it and reduced alike, in guarded steps.
#include "engine/stamping/compose.h"

#include "engine/stamping/markshape.h"
#include "support/errorreport.h"

#include <QImage>

#include <algorithm>
#include <cmath>

void TransparentCopy(QImage& image, QPoint at, const QImage& watermark, BgrColor transparent,
                     int keyTolerance) {
    StampStyle style;
    style.keyTolerance = keyTolerance;
    StampImage(image, at, StampMark(watermark, transparent, style));
}

QRect ReducedRect(QRect full, QSize fullSize, QSize reducedSize) {
    const double x = double(reducedSize.width()) / std::max(1, fullSize.width());
    const double y = double(reducedSize.height()) / std::max(1, fullSize.height());
    const auto scaled = [](int value, double factor) {
        return int(std::lround(double(value) * factor));
    };
    const int left = scaled(full.left(), x), top = scaled(full.top(), y);
    const int right = scaled(full.left() + full.width(), x);
    const int bottom = scaled(full.top() + full.height(), y);
    return QRect(left, top, std::max(1, right - left), std::max(1, bottom - top));
}

namespace {
// Where the copies of a mark whose box on the full picture is `box` land on the picture shown
// reduced, the reduced mark `shown` centred where each copy's box is reduced to.
std::vector<QPoint> ReducedPlaces(const std::vector<QPoint>& places, QSize box, QSize shown,
                                  QSize fullSize, QSize reducedSize) {
    std::vector<QPoint> reduced;
    const QRect picture(QPoint(0, 0), reducedSize);
    for (QPoint at : places) {
        const QRect area = ReducedRect(QRect(at, box), fullSize, reducedSize);
        const QPoint corner = area.topLeft() + QPoint((area.width() - shown.width()) / 2,
                                                      (area.height() - shown.height()) / 2);
        if (QRect(corner, shown).intersects(picture))
            reduced.push_back(corner);
    }
    std::stable_sort(reduced.begin(), reduced.end(),
                     [](QPoint a, QPoint b) { return a.y() < b.y(); });
    return reduced;
}
} // namespace

ReducedPicture ComposePreview(const PreviewRequest& request, Guard& guard, int firstStep) {
    StampMark mark;
    ReducedPicture shown;
    const bool markLoaded = guard.step(firstStep, [&] {
        mark =
            LoadMark(request.watermarkPath, request.transparent, request.style, request.maxPixels);
    });
    const bool pictureLoaded = guard.step(firstStep + 1, [&] {
        shown =
            DecodeReducedPicture(request.imagePath, request.room, request.maxPixels, request.stop);
    });
    if (!markLoaded || !pictureLoaded)
        return {};
    const QSize full = shown.fullSize, reduced = shown.picture.size();
    QSize drawn, box;
    std::vector<QPoint> places;
    const bool placed = guard.step(firstStep + 3, [&] {
        drawn = mark.drawnSizeFor(full);
        box = mark.sizeFor(full);
        places = MarkPlaces(request.placement, full, drawn, box, request.style);
    });
    const bool copied = placed && guard.step(firstStep + 4, [&] {
        // Sized as on the full picture and reduced alike, each side by its own factor, as the
        // first copy's place rounds it.
        const QPoint first = places.empty() ? QPoint(0, 0) : places.front();
        const QSize small = ReducedRect(QRect(first, drawn), full, reduced).size();
        StampPlan plan{mark.forSize(small), {}};
        plan.places = ReducedPlaces(places, box, plan.mark.size(), full, reduced);
        StampImage(shown.picture, plan);
    });
    return copied ? shown : ReducedPicture();
}
