#pragma once

#include <QRgb>
#include <QString>

// A text drawn as the mark, with variables in braces filled for each picture ("(c) {year}
// {artist}"). The text's size follows the picture, not the text's length: its capital letters
// are sizePercent of the picture's short edge tall.
struct TextStyle {
    QString text;            // empty: the mark is a picture
    QString font;            // a family, or a .ttf/.otf/.ttc file; empty for the usual sans-serif
    QRgb color = 0xffffffff; // ARGB, not premultiplied
    double sizePercent = 4;
    bool outline = false; // a thin contrasting outline around each letter
    bool shadow = false;  // a soft contrasting shadow below and right of the letters
    friend bool operator==(const TextStyle&, const TextStyle&) = default;
};
