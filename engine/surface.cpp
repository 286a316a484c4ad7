#include "engine/surface.h"

#include "support/failure.h"

#include <QImageReader>
#include <QPainter>

namespace {
// Qt refuses images above 128 MB by default, which is every photograph beyond about 32
// megapixels. A gigabyte lets 250-megapixel panoramas through while a file that claims an absurd
// size (a decoding bomb) still fails with the reader's message before anything is allocated.
constexpr int kDecodeLimitMegabytes = 1024;

QImage FlattenOntoWhite(const QImage& decoded) {
    if (!decoded.hasAlphaChannel())
        return decoded.convertToFormat(QImage::Format_RGB32);
    QImage flat(decoded.size(), QImage::Format_RGB32);
    flat.fill(Qt::white);
    QPainter painter(&flat);
    painter.drawImage(0, 0, decoded);
    return flat;
}
} // namespace

QImage LoadPicture(const QString& path) {
    static const bool limitRaised = [] {
        QImageReader::setAllocationLimit(kDecodeLimitMegabytes);
        return true;
    }();
    Q_UNUSED(limitRaised);

    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(false);
    QImage decoded;
    if (!reader.read(&decoded))
        throw Failure(reader.errorString());
    QImage flat = FlattenOntoWhite(decoded);
    if (flat.isNull())
        throw Failure(QStringLiteral("Out of memory"));
    return flat;
}

Surface::Surface(QSize designSize) : drawn_(designSize, QImage::Format_RGB32) {
    drawn_.fill(Qt::white);
}

void Surface::load(const QString& path) {
    setPicture(LoadPicture(path));
}

void Surface::setPicture(const QImage& picture) {
    drawn_ = picture.format() == QImage::Format_RGB32
                 ? picture
                 : picture.convertToFormat(QImage::Format_RGB32);
    patches_.clear();
}

QImage& Surface::drawingArea(const QRect& area) {
    const QRect inside = area.intersected(drawn_.rect());
    if (!inside.isEmpty())
        patches_.push_back({inside.topLeft(), drawn_.copy(inside)});
    return drawn_;
}

void Surface::clear() {
    if (patches_.empty())
        return;
    QPainter painter(&drawn_);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    // Latest first, so that overlapping drawings unwind to the picture as loaded.
    for (auto patch = patches_.rbegin(); patch != patches_.rend(); ++patch)
        painter.drawImage(patch->at, patch->pixels);
    patches_.clear();
}
