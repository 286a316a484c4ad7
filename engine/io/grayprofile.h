#pragma once

// Colour profiles of greyscale pictures: how to tell one, and the RGB profile that shows the
// pixels of a grey picture's colour copy as the grey profile showed the picture.

#include <QByteArray>

// True when the ICC profile describes grey pixels (its header's colour space is 'GRAY').
bool IsGrayProfile(const QByteArray& icc);

// An RGB profile whose neutral axis is the grey profile's: its tone curve for each of the three
// channels, sRGB's primaries adapted to the profile connection space's D50, the grey profile's
// white point and version. Empty when lcms2 cannot read the grey profile.
QByteArray RgbProfileForGray(const QByteArray& grayIcc);
