// The preview's compose: the picture decoded reduced for the screen, the mark placed as the run
// places it and reduced alike, in guarded steps.
#include "engine/stamping/compose.h"

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

void StampOnReduced(ReducedPicture& shown, const StampMark& mark, int placement,
                    const StampStyle& style) {
    const QSize size = mark.sizeForImageWidth(shown.fullSize.width());
    QPoint at(0, 0);
    PlaceWatermark(placement, float(shown.fullSize.width()), float(shown.fullSize.height()),
                   float(size.width()), float(size.height()), at, style.margin);
    const QRect area = ReducedRect(QRect(at, size), shown.fullSize, shown.picture.size());
    StampImage(shown.picture, area.topLeft(), mark.forSize(area.size()));
}

ReducedPicture ComposePreview(const PreviewRequest& request, Guard& guard, int firstStep) {
    StampMark mark;
    ReducedPicture shown;
    const bool text = !request.text.text.isEmpty();
    const bool markLoaded = text || guard.step(firstStep, [&] {
        mark = StampMark(DecodePicture(request.watermarkPath, true, request.maxPixels),
                         request.transparent, request.style);
    });
    const bool pictureLoaded = guard.step(firstStep + 1, [&] {
        shown =
            DecodeReducedPicture(request.imagePath, request.room, request.maxPixels, request.stop);
    });
    if (!markLoaded || !pictureLoaded)
        return {};
    // A text is drawn for the picture's own size and names: only now are they known.
    if (text && !guard.step(firstStep + 3, [&] {
            mark = StampMark(TextMarkFor(request.text, request.imagePath, shown.fullSize),
                             request.transparent, request.style);
        }))
        return {};
    const bool copied = guard.step(
        firstStep + 4, [&] { StampOnReduced(shown, mark, request.placement, request.style); });
    return copied ? shown : ReducedPicture();
}
