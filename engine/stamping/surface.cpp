// The drawing surface of the preview: a picture, and what is drawn over it kept aside for clearing.
#include "engine/stamping/surface.h"

#include <QPainter>

Surface::Surface(QSize designSize) : drawn_(designSize, QImage::Format_RGB32) {
    drawn_.fill(Qt::white);
}

void Surface::load(const QString& path, bool keepAlpha) {
    setPicture(keepAlpha ? DecodePicture(path, true, DefaultMaxPixels()) : LoadPicture(path));
}

void Surface::setPicture(const QImage& picture) {
    const bool alpha = picture.format() == QImage::Format_ARGB32;
    drawn_ = alpha || picture.format() == QImage::Format_RGB32
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
