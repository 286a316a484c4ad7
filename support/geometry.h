#pragma once

// Window geometry is designed in twips (1/1440 inch); the screen has 15 twips per pixel at 96
// dots per inch.
inline constexpr int kTwipsPerPixel = 15;

inline constexpr int TwipsToPixels(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

#include <QRect>

// A control's rectangle from its designed left, top, width and height in twips.
inline QRect TwipsRect(int left, int top, int width, int height) {
    return QRect(TwipsToPixels(left), TwipsToPixels(top), TwipsToPixels(width),
                 TwipsToPixels(height));
}
