#pragma once

// Colour profiles read with lcms2: what a profile describes, whether it is sRGB in all but name,
// and the conversions the engine makes, a mark's pixels into a picture's colours and a CMYK
// picture's into sRGB. Every answer and conversion is made once per profile and shared by the
// run's workers. An empty profile means sRGB, as it does for a picture that names none.

#include <QByteArray>
#include <QImage>
#include <QString>

#include <memory>

// What a colour profile describes, as lcms2 reads it. Other is a profile for none of these
// pixels (Lab, a device link, an abstract profile); Unreadable one lcms2 cannot use.
enum class ProfileKind { None, Rgb, Gray, Cmyk, Other, Unreadable };
ProfileKind KindOfProfile(const QByteArray& icc);

// True for no profile and for an RGB profile that gives sRGB's colours: its conversion from sRGB
// leaves every level within one of where it was.
bool IsSrgbEquivalent(const QByteArray& icc);

// Whether pixels in the profile `from` change when converted into `to`: false when both give
// sRGB's colours or are the same profile. A profile that is not an RGB profile lcms2 reads counts
// as sRGB here, since RGB pixels said to be in it are taken as sRGB's.
bool ConvertsColours(const QByteArray& from, const QByteArray& to);

// Converts ARGB32 pixels (not premultiplied) in place from the profile `from` into `to`, relative
// colorimetric, their alpha untouched; nothing when ConvertsColours says it changes nothing.
// Raises a Failure when lcms2 cannot make the conversion.
void ConvertArgb(QImage& argb, const QByteArray& from, const QByteArray& to);

// sRGB's own profile, as lcms2 makes it: what a copy converted into sRGB carries.
QByteArray SrgbProfile();

// Why RGB pixels must not carry the profile: it describes CMYK or other pixels, or lcms2 cannot
// read it; empty for an RGB profile, a Gray one or none.
QString ProfileRefusalForRgb(const QByteArray& icc);

// A conversion made once and used by any number of threads at once.
class ColourConversion {
public:
    virtual ~ColourConversion() = default;
    // `count` pixels from `in` into `out`, which may be the same memory.
    virtual void convert(const uchar* in, uchar* out, int count) const = 0;
};

// Adobe's CMYK (stored inverted, as libjpeg gives it) through the CMYK profile into sRGB, as
// RGB32 pixels whose alpha byte is left as `out` had it. Null when the profile is not a CMYK
// profile lcms2 reads.
std::shared_ptr<const ColourConversion> AdobeCmykToSrgb(const QByteArray& icc);

// The other way: sRGB's colours, as ARGB32 pixels, into Adobe's inverted CMYK through the CMYK
// profile, four bytes a pixel (C, M, Y and K in memory order). Null when the profile is not a
// CMYK profile that lcms2 can convert colours into (one that tells only how its inks look).
std::shared_ptr<const ColourConversion> SrgbToAdobeCmyk(const QByteArray& icc);

// Adobe's inverted CMYK pixels into opaque RGB32 ones through `toSrgb`, or without one as Qt reads
// a CMYK JPEG that names no profile: each channel the light its ink keeps, times the light black
// keeps.
void AdobeCmykToRgb32(const uchar* cmyk, uchar* rgb32, int count, const ColourConversion* toSrgb);
// A whole CMYK picture (PictureReader::readCmyk's) so: RGB32. Raises a Failure without memory.
QImage CmykShown(const QImage& cmyk, const ColourConversion* toSrgb);

// ARGB32 pixels' colours into Adobe's inverted CMYK through `toCmyk`, or without one the reverse
// of that plain reading: black takes all it can, the other inks the rest.
void Rgb32ToAdobeCmyk(const uchar* argb, uchar* cmyk, int count, const ColourConversion* toCmyk);
