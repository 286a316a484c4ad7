// Marks in a CMYK picture's inks: converted once per plan, blended ink by ink.
#include "engine/stamping/cmykstamp.h"

#include "engine/io/colourprofile.h"

#include <vector>

void StampCmyk(QImage& cmyk, const StampPlan& plan, const ColourConversion* toCmyk) {
    const QImage& given = plan.mark.pixels();
    if (cmyk.isNull() || given.isNull() || plan.places.empty())
        return;
    const QImage mark = given.format() == QImage::Format_ARGB32
                            ? given
                            : given.convertToFormat(QImage::Format_ARGB32);
    const int width = mark.width();
    std::vector<uchar> inks(size_t(width) * size_t(mark.height()) * 4);
    for (int y = 0; y < mark.height(); ++y)
        Rgb32ToAdobeCmyk(mark.constScanLine(y), inks.data() + size_t(y) * size_t(width) * 4, width,
                         toCmyk);
    const QRect picture(QPoint(0, 0), cmyk.size());
    for (const QPoint at : plan.places) {
        const QRect area = QRect(at, mark.size()).intersected(picture);
        for (int y = area.top(); y <= area.bottom(); ++y) {
            const auto* alpha = reinterpret_cast<const QRgb*>(mark.constScanLine(y - at.y()));
            const uchar* ink = inks.data() + size_t(y - at.y()) * size_t(width) * 4;
            uchar* out = cmyk.scanLine(y);
            for (int x = area.left(); x <= area.right(); ++x) {
                const int mx = x - at.x();
                const uint a = qAlpha(alpha[mx]);
                if (a == 0)
                    continue;
                for (int c = 0; c < 4; ++c) {
                    uchar& o = out[x * 4 + c];
                    o = uchar((ink[mx * 4 + c] * a + o * (255 - a) + 127) / 255);
                }
            }
        }
    }
}
