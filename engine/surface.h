#pragma once

#include <QImage>
#include <QSize>
#include <QString>

// Decodes a picture file by its content, not its name. A picture's own transparency is flattened
// onto white. Raises a Failure carrying the decoder's text when the file cannot be decoded.
QImage LoadPicture(const QString& path);

// A drawing surface: the picture loaded into it and what has been drawn over it, both at the
// picture's natural size. Before the first load it shows a white area of its design size.
class Surface {
public:
    explicit Surface(QSize designSize = QSize(1, 1));

    // Decodes the file and puts the picture into the surface. On failure the surface keeps what it
    // held and the Failure passes to the caller.
    void load(const QString& path);
    // Puts an already decoded picture into the surface.
    void setPicture(const QImage& picture);
    // Returns the surface to the loaded picture alone, dropping whatever was drawn over it.
    void clear();

    int width() const { return drawn_.width(); }
    int height() const { return drawn_.height(); }
    QSize size() const { return drawn_.size(); }

    // The backing bitmap (RGB32): what the surface shows and what the writers store.
    const QImage& image() const { return drawn_; }
    QImage& image() { return drawn_; }

private:
    QImage picture_;
    QImage drawn_;
};
