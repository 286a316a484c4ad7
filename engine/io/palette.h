#pragma once

// A stamped palette picture fitted back into a palette, so that its copy stays as small as the
// picture was.

#include <QImage>
#include <QList>

// The most colours a palette holds.
inline constexpr int kPaletteColors = 256;

// The picture (RGB32 or ARGB32, not premultiplied) as Indexed8 when its colours fit in a
// palette: the given palette's colours first, in their order, then the picture's others in the
// order they first appear; when that makes more than 256, the given colours the picture no
// longer shows are left out. A null image when the picture shows more than 256 colours.
QImage IndexedOn(const QImage& picture, const QList<QRgb>& palette);
