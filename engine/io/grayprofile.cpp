// The RGB profile of a grey picture's colour copy, built with lcms2.
#include "engine/io/grayprofile.h"

#include <lcms2.h>

#include <array>
#include <memory>

namespace {

constexpr qsizetype kColourSpaceAt = 16; // the header's data colour space field

struct ProfileCloser {
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

struct CurveFreer {
    void operator()(cmsToneCurve* curve) const { cmsFreeToneCurve(curve); }
};
using Curve = std::unique_ptr<cmsToneCurve, CurveFreer>;

struct TransformDeleter {
    void operator()(void* transform) const { cmsDeleteTransform(transform); }
};
using Transform = std::unique_ptr<void, TransformDeleter>;

// A grey profile built on a lookup table rather than a curve: its curve measured as the
// luminance each grey level gives, relative to the profile's white.
Curve MeasuredCurve(cmsHPROFILE gray) {
    const Profile xyz(cmsCreateXYZProfile());
    const Transform toXyz(cmsCreateTransform(gray, TYPE_GRAY_16, xyz.get(), TYPE_XYZ_DBL,
                                             INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE));
    if (!toXyz)
        return nullptr;
    constexpr int kSamples = 1024;
    std::array<cmsUInt16Number, kSamples> levels{};
    for (int i = 0; i < kSamples; ++i)
        levels[size_t(i)] = cmsUInt16Number((i * 65535 + (kSamples - 1) / 2) / (kSamples - 1));
    std::array<cmsCIEXYZ, kSamples> measured{};
    cmsDoTransform(toXyz.get(), levels.data(), measured.data(), kSamples);
    std::array<cmsFloat32Number, kSamples> values{};
    const double white = measured.back().Y > 0 ? measured.back().Y : 1;
    for (int i = 0; i < kSamples; ++i)
        values[size_t(i)] = cmsFloat32Number(measured[size_t(i)].Y / white);
    return Curve(cmsBuildTabulatedToneCurveFloat(nullptr, kSamples, values.data()));
}

// The grey profile's white point as xyY; D50, the connection space's white, when it names none.
cmsCIExyY WhiteOf(cmsHPROFILE gray) {
    cmsCIExyY white = *cmsD50_xyY();
    if (const auto* point =
            static_cast<const cmsCIEXYZ*>(cmsReadTag(gray, cmsSigMediaWhitePointTag)))
        cmsXYZ2xyY(&white, point);
    return white;
}

QByteArray Saved(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(profile, nullptr, &size) || size == 0)
        return {};
    QByteArray bytes(qsizetype(size), Qt::Uninitialized);
    if (!cmsSaveProfileToMem(profile, bytes.data(), &size))
        return {};
    bytes.truncate(qsizetype(size));
    return bytes;
}

} // namespace

bool IsGrayProfile(const QByteArray& icc) {
    return icc.size() >= kColourSpaceAt + 4 && icc.mid(kColourSpaceAt, 4) == "GRAY";
}

QByteArray RgbProfileForGray(const QByteArray& grayIcc) {
    const Profile gray(cmsOpenProfileFromMem(grayIcc.constData(), cmsUInt32Number(grayIcc.size())));
    if (!gray || cmsGetColorSpace(gray.get()) != cmsSigGrayData)
        return {};
    Curve curve;
    if (const auto* trc =
            static_cast<const cmsToneCurve*>(cmsReadTag(gray.get(), cmsSigGrayTRCTag)))
        curve.reset(cmsDupToneCurve(trc));
    else
        curve = MeasuredCurve(gray.get());
    if (!curve)
        return {};
    // sRGB's primaries under its own D65 white: lcms2 adapts them to D50, so that equal channels
    // land on the connection space's neutral axis, where the grey profile puts its levels.
    const cmsCIExyY d65{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{
        {0.6400, 0.3300, 1.0}, {0.3000, 0.6000, 1.0}, {0.1500, 0.0600, 1.0}};
    std::array<cmsToneCurve*, 3> curves{curve.get(), curve.get(), curve.get()};
    const Profile rgb(cmsCreateRGBProfile(&d65, &primaries, curves.data()));
    if (!rgb)
        return {};
    // The grey profile's white point, for those who show the copy absolutely as the picture was.
    cmsCIEXYZ white;
    const cmsCIExyY whiteXyY = WhiteOf(gray.get());
    cmsxyY2XYZ(&white, &whiteXyY);
    cmsWriteTag(rgb.get(), cmsSigMediaWhitePointTag, &white);
    cmsSetProfileVersion(rgb.get(), cmsGetProfileVersion(gray.get()));
    cmsSetHeaderRenderingIntent(rgb.get(), cmsGetHeaderRenderingIntent(gray.get()));
    return Saved(rgb.get());
}
