#pragma once

// Greyscale pictures for the tests of faithful copies: a grey colour profile made with lcms2,
// grey PNGs carrying it, and how a copy's profile shows grey levels.

#include <QByteArray>
#include <QImage>
#include <QString>

// A grey profile of gamma 1.8 under D50, as a print workflow's grey pictures carry.
QByteArray grayProfile();
// A grey profile with sRGB's tone curve (a parametric curve of type 4), version 2.
QByteArray srgbCurveGrayProfile();
// A grey profile with no tone curve: a lookup table from grey levels to CIE L* (of gamma 2.2).
QByteArray tableGrayProfile();

// The picture's grey levels as an 8-bit grey PNG with the profile.
void writeGrayPng(const QString& path, const QImage& picture, const QByteArray& icc);

// Replaces the usual watermark beside the picture (mark.png) by a grey one: white, which is left
// out, with a soft grey bar across.
void writeGrayMark(const QString& picture);

// The colour type in a PNG's header (0 grey, 2 RGB, 4 grey and alpha, 6 RGBA); -1 when the file
// is no PNG.
int pngColorType(const QString& path);

// The largest difference (CIE dE 2000) between grey levels shown through the grey profile and
// the same levels given to all three channels of the RGB profile; 1000 when either profile
// cannot be read or is of the wrong kind.
double grayAxisDifference(const QByteArray& grayIcc, const QByteArray& rgbIcc);
