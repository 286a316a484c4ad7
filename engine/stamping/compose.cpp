// The preview's compose: the picture decoded reduced for the screen, the mark placed as the run
// places it and reduced alike, in guarded steps.
#include "engine/stamping/compose.h"

#include "engine/stamping/markshape.h"
#include "engine/stamping/marksource.h"
#include "engine/stamping/marktext.h"
#include "engine/stamping/textmark.h"

#include "support/errorreport.h"

#include <QFileInfo>
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

QImage TextMarkFor(const TextStyle& text, const QString& path, QSize picture) {
    MarkTextValues values;
    values.path = path;
    values.modified = QFileInfo(path).lastModified();
    values.upright = picture;
    return RenderTextMark(text, FillMarkText(text.text, values).text, picture);
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

ReducedPlan PlanOnReduced(const ReducedPicture& shown, const StampMark& mark, int placement,
                          const StampStyle& style) {
    const QSize full = shown.fullSize;
    ReducedPlan plan;
    plan.drawn = mark.drawnSizeFor(full);
    plan.box = mark.sizeFor(full);
    plan.places = MarkPlaces(placement, full, plan.drawn, plan.box, style);
    plan.mark = mark;
    return plan;
}

void StampOnReduced(ReducedPicture& shown, const ReducedPlan& plan) {
    const QSize full = shown.fullSize, reduced = shown.picture.size();
    // Sized as on the full picture and reduced alike, each side by its own factor, as the first
    // copy's place rounds it.
    const QPoint first = plan.places.empty() ? QPoint(0, 0) : plan.places.front();
    const QSize small = ReducedRect(QRect(first, plan.drawn), full, reduced).size();
    StampPlan copies{plan.mark.forSize(small).inColours(shown.profile), {}};
    copies.places = ReducedPlaces(plan.places, plan.box, copies.mark.size(), full, reduced);
    StampImage(shown.picture, copies);
}

void StampOnReduced(ReducedPicture& shown, const StampMark& mark, int placement,
                    const StampStyle& style) {
    StampOnReduced(shown, PlanOnReduced(shown, mark, placement, style));
}

ReducedPicture ComposePreview(const PreviewRequest& request, Guard& guard, int firstStep) {
    StampMark mark;
    ReducedPicture shown;
    const bool text = !request.text.text.isEmpty();
    // A text's size is its own, whatever the scale.
    const auto textMark = [&](const TextStyle& style, const StampStyle& markStyle) {
        StampStyle textStyle = markStyle;
        textStyle.scale = 0;
        return StampMark(PixelsMarkSource(TextMarkFor(style, request.imagePath, shown.fullSize)),
                         textStyle);
    };
    const bool markLoaded = text || guard.step(firstStep, [&] {
        mark =
            LoadMark(request.watermarkPath, request.transparent, request.style, request.maxPixels);
    });
    const bool pictureLoaded = guard.step(firstStep + 1, [&] {
        shown =
            DecodeReducedPicture(request.imagePath, request.room, request.maxPixels, request.stop);
    });
    if (!markLoaded || !pictureLoaded)
        return {};
    // A text is drawn for the picture's own size and names: only now are they known. It takes
    // the size its style gives it, whatever the scale.
    if (text && !guard.step(firstStep + 2, [&] { mark = textMark(request.text, request.style); }))
        return {};
    ReducedPlan plan;
    const bool placed = guard.step(firstStep + 3, [&] {
        plan = PlanOnReduced(shown, mark, request.placement, request.style);
    });
    // The further marks over the first, in their order, as the run stamps them.
    const bool copied = placed && guard.step(firstStep + 4, [&] {
        StampOnReduced(shown, plan);
        for (const PreviewLayer& layer : request.more) {
            const StampMark further = layer.text.text.isEmpty()
                                          ? LoadMark(layer.watermarkPath, request.transparent,
                                                     layer.style, request.maxPixels)
                                          : textMark(layer.text, layer.style);
            StampOnReduced(shown, further, layer.placement, layer.style);
        }
    });
    return copied ? shown : ReducedPicture();
}
