#pragma once

#include <QColor>
#include <QRgb>
#include <cstdint>

// Colours travel through the program as 0x00BBGGRR values (red in the low byte); they meet QColor
// and QImage only through these conversions.
using BgrColor = std::uint32_t;

inline constexpr BgrColor kWhite = 0x00FFFFFF;

inline QRgb BgrToRgb(BgrColor c) {
    return qRgb(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}

inline BgrColor RgbToBgr(QRgb c) {
    return BgrColor(qRed(c)) | (BgrColor(qGreen(c)) << 8) | (BgrColor(qBlue(c)) << 16);
}

inline QColor BgrToQColor(BgrColor c) {
    return QColor(BgrToRgb(c));
}
inline BgrColor QColorToBgr(const QColor& c) {
    return RgbToBgr(c.rgb());
}
