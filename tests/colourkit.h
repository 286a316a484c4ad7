#pragma once

// Colour profiles made in code with lcms2 for the colour tests: RGB profiles from their published
// primaries and curves, a Gray, a Lab and a CMYK profile, and lcms2's own reference conversions
// to check the engine's against.

#include <QByteArray>
#include <QImage>
#include <QRgb>
#include <QString>

#include <array>

// Adobe RGB (1998): its primaries, D65 and a gamma of 563/256.
QByteArray adobeRgbProfile();
// Display P3: the primaries of DCI-P3 with D65 and sRGB's curve.
QByteArray displayP3Profile();
// lcms2's Lab profile, which describes no device's pixels (a Gray profile is in graysamples.h).
QByteArray labProfile();
// A CMYK output profile whose colours are those of Adobe's inverted CMYK read the naive way (red
// = cyan's complement times black's, in sRGB), as a table of 9 points a channel; with
// `withInverse`, also the table from colours to inks that converting into it needs.
QByteArray naiveCmykProfile(bool withInverse = false);

// The sRGB colour converted by lcms2 in floating point into the CMYK profile's inks, as Adobe
// stores them (inverted), rounded to 8 bits.
std::array<uchar, 4> referenceInks(QRgb colour, const QByteArray& cmykIcc);

// The number of the CMYK picture's pixels (as PictureReader::readCmyk gives them, in the profile
// `icc`) within a colour difference of 1 of the inks.
int inksNear(const QImage& cmyk, const QByteArray& icc, std::array<uchar, 4> inks);

// The JPEG with the colour profile written into it (APP2 markers, by exiv2).
QByteArray withIccProfile(const QByteArray& jpeg, const QByteArray& icc);

// How far apart two colours look (CIE delta E 1976): `a` in the profile `aIcc`, `b` in `bIcc`
// (empty for sRGB), both taken to Lab through lcms2 in floating point.
double colourDistance(QRgb a, const QByteArray& aIcc, QRgb b, const QByteArray& bIcc);

// The colour converted by lcms2 in floating point from one RGB profile into another (empty for
// sRGB), relative colorimetric, rounded to 8 bits: what the engine's 8-bit conversion should
// come within a rounding of.
QRgb referenceColour(QRgb colour, const QByteArray& from, const QByteArray& to);

// The number of the picture's pixels (in the profile `icc`) within a colour difference of 1 of
// `colour` (in the same profile).
int pixelsNear(const QImage& picture, const QByteArray& icc, QRgb colour);

// The usual mark of a command-line test, mark.png beside the picture, made a pure red block of
// 40 x 30 pixels.
inline constexpr QRgb kPureRed = 0xFFFF0000u;
void writeRedMarkBeside(const QString& picturePath);
