#pragma once

#include "engine/stamping/decode.h"

#include <QImage>
#include <QPoint>
#include <QSize>
#include <QString>
#include <vector>

// A drawing surface: the picture loaded into it and what has been drawn over it, at the picture's
// natural size. Before the first load it shows a white area of its design size.
//
// Only the pixels under each drawing are kept aside for clearing, not a second copy of the whole
// picture: a 100-megapixel photograph then needs its 400 MB once, not twice.
class Surface {
public:
    explicit Surface(QSize designSize = QSize(1, 1));

    // Decodes the file and puts the picture into the surface, flattened onto white or, for the
    // watermark's surface, with its own alpha (ARGB32). On failure the surface keeps what it held
    // and the Failure passes to the caller.
    void load(const QString& path, bool keepAlpha = false);
    // Puts an already decoded picture into the surface.
    void setPicture(const QImage& picture);
    // Returns the surface to the loaded picture alone, dropping whatever was drawn over it.
    void clear();

    int width() const { return drawn_.width(); }
    int height() const { return drawn_.height(); }
    QSize size() const { return drawn_.size(); }

    // The backing bitmap (RGB32, or ARGB32 for a picture loaded with its alpha): what the surface
    // shows.
    const QImage& image() const { return drawn_; }
    // The bitmap to draw on within the area; what lies there now comes back at the next clear().
    QImage& drawingArea(const QRect& area);

private:
    struct Patch {
        QPoint at;
        QImage pixels;
    };

    QImage drawn_;
    std::vector<Patch> patches_; // in drawing order
};
