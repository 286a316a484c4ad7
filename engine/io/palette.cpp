// Fitting a stamped picture back into its palette.
#include "engine/io/palette.h"

#include "support/failure.h"

#include <QHash>

#include <cerrno>
#include <vector>

namespace {
// Where a colour stands: in the given palette (its first place there) or among the new ones.
struct Entry {
    int index = 0;
    bool added = false;
};

QRgb ColorAt(const QRgb* line, int x, bool opaque) {
    return opaque ? line[x] | 0xFF000000u : line[x];
}
} // namespace

QImage IndexedOn(const QImage& picture, const QList<QRgb>& palette) {
    if (picture.format() != QImage::Format_RGB32 && picture.format() != QImage::Format_ARGB32)
        return {};
    const bool opaque = picture.format() == QImage::Format_RGB32;
    QHash<QRgb, Entry> entries;
    for (int i = 0; i < palette.size(); ++i)
        if (!entries.contains(palette[i]))
            entries.insert(palette[i], Entry{i, false});
    QList<QRgb> added;
    std::vector<bool> used(size_t(palette.size()), false);
    // Neighbouring pixels mostly share their colour: the last one found is asked first.
    QRgb last = 0;
    Entry lastEntry{-1, false};
    for (int y = 0; y < picture.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(picture.constScanLine(y));
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb color = ColorAt(line, x, opaque);
            if (lastEntry.index >= 0 && color == last)
                continue;
            auto found = entries.find(color);
            if (found == entries.end()) {
                if (added.size() == kPaletteColors)
                    return {};
                found = entries.insert(color, Entry{int(added.size()), true});
                added << color;
            }
            if (!found->added)
                used[size_t(found->index)] = true;
            last = color;
            lastEntry = *found;
        }
    }
    // The given palette kept whole where there is room, else only the colours still shown.
    const bool whole = palette.size() + added.size() <= kPaletteColors;
    QList<QRgb> table;
    std::vector<int> placeOfGiven(size_t(palette.size()), -1);
    for (int i = 0; i < palette.size(); ++i) {
        if (whole || used[size_t(i)]) {
            placeOfGiven[size_t(i)] = int(table.size());
            table << palette[i];
        }
    }
    const int firstAdded = int(table.size());
    table << added;
    if (table.size() > kPaletteColors)
        return {};
    QImage indexed(picture.size(), QImage::Format_Indexed8);
    if (indexed.isNull())
        throw Failure(SystemErrorText(ENOMEM));
    indexed.setColorTable(table);
    indexed.setDotsPerMeterX(picture.dotsPerMeterX());
    indexed.setDotsPerMeterY(picture.dotsPerMeterY());
    for (int y = 0; y < picture.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(picture.constScanLine(y));
        uchar* out = indexed.scanLine(y);
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb color = ColorAt(line, x, opaque);
            if (x > 0 && color == last) {
                out[x] = out[x - 1];
                continue;
            }
            const Entry entry = entries.value(color);
            out[x] =
                uchar(entry.added ? firstAdded + entry.index : placeOfGiven[size_t(entry.index)]);
            last = color;
        }
    }
    return indexed;
}
