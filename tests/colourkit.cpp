#include "tests/colourkit.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QtGlobal>

#include <algorithm>
#include <array>
#include <cmath>

#include <exiv2/exiv2.hpp>
#include <lcms2.h>

namespace {
QByteArray Saved(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    QByteArray bytes;
    if (profile && cmsSaveProfileToMem(profile, nullptr, &size)) {
        bytes.resize(qsizetype(size));
        if (!cmsSaveProfileToMem(profile, bytes.data(), &size))
            bytes.clear();
    }
    if (profile)
        cmsCloseProfile(profile);
    // The header's date of making, zeroed: the same profile made twice is then the same bytes.
    constexpr qsizetype kDateAt = 24, kDateBytes = 12;
    if (bytes.size() >= kDateAt + kDateBytes)
        bytes.replace(kDateAt, kDateBytes, QByteArray(kDateBytes, '\0'));
    return bytes;
}

cmsHPROFILE Opened(const QByteArray& icc) {
    return icc.isEmpty() ? cmsCreate_sRGBProfile()
                         : cmsOpenProfileFromMem(icc.constData(), cmsUInt32Number(icc.size()));
}

constexpr cmsCIExyY kD65{0.3127, 0.3290, 1.0};

QByteArray RgbProfile(const cmsCIExyYTRIPLE& primaries, cmsToneCurve* curve) {
    cmsToneCurve* curves[3] = {curve, curve, curve};
    const QByteArray bytes = Saved(cmsCreateRGBProfile(&kD65, &primaries, curves));
    cmsFreeToneCurve(curve);
    return bytes;
}

// Runs a floating-point conversion of one pixel between two profiles.
template <size_t In, size_t Out>
std::array<double, Out> Converted(const std::array<double, In>& values, const QByteArray& from,
                                  cmsUInt32Number inType, const QByteArray& to,
                                  cmsUInt32Number outType) {
    const cmsHPROFILE source = from == "Lab" ? cmsCreateLab4Profile(nullptr) : Opened(from);
    const cmsHPROFILE target = to == "Lab" ? cmsCreateLab4Profile(nullptr) : Opened(to);
    const cmsHTRANSFORM transform =
        cmsCreateTransform(source, inType, target, outType, INTENT_RELATIVE_COLORIMETRIC, 0);
    std::array<double, Out> out{};
    if (transform) {
        cmsDoTransform(transform, values.data(), out.data(), 1);
        cmsDeleteTransform(transform);
    }
    cmsCloseProfile(source);
    cmsCloseProfile(target);
    return out;
}

std::array<double, 3> Unit(QRgb colour) {
    return {qRed(colour) / 255.0, qGreen(colour) / 255.0, qBlue(colour) / 255.0};
}

cmsCIELab LabOf(QRgb colour, const QByteArray& icc) {
    const auto lab = Converted<3, 3>(Unit(colour), icc, TYPE_RGB_DBL, "Lab", TYPE_Lab_DBL);
    return {lab[0], lab[1], lab[2]};
}

// The CLUT's sampler: an inverted CMYK point (16 bits a channel, the light each ink keeps) to
// its Lab, through the naive formula into sRGB.
cmsInt32Number SampleCmyk(const cmsUInt16Number in[], cmsUInt16Number out[], void*) {
    const double k = in[3] / 65535.0;
    const std::array<double, 3> rgb{k * in[0] / 65535.0, k * in[1] / 65535.0, k * in[2] / 65535.0};
    const auto lab = Converted<3, 3>(rgb, {}, TYPE_RGB_DBL, "Lab", TYPE_Lab_DBL);
    const cmsCIELab value{lab[0], lab[1], lab[2]};
    cmsFloat2LabEncoded(out, &value);
    return TRUE;
}
// The inverse table's sampler: a Lab point to the inks (16 bits a channel, the ink itself, not
// the light it keeps) whose naive reading gives its colour in sRGB, clipped to sRGB's gamut:
// black takes all it can, the other inks the rest.
cmsInt32Number SampleInks(const cmsUInt16Number in[], cmsUInt16Number out[], void* toSrgb) {
    cmsCIELab lab;
    cmsLabEncoded2Float(&lab, in);
    std::array<double, 3> rgb{};
    cmsDoTransform(static_cast<cmsHTRANSFORM>(toSrgb), &lab, rgb.data(), 1);
    for (double& v : rgb)
        v = std::clamp(v, 0.0, 1.0);
    const double k = std::max({rgb[0], rgb[1], rgb[2]});
    for (int c = 0; c < 3; ++c)
        out[c] = cmsUInt16Number(std::lround((1 - (k > 0 ? rgb[size_t(c)] / k : 1)) * 65535));
    out[3] = cmsUInt16Number(std::lround((1 - k) * 65535));
    return TRUE;
}

// The table from Lab to the naive inks, as an output profile's BToA0 holds it.
cmsPipeline* NaiveInksTable() {
    const cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    const cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    const cmsHTRANSFORM toSrgb = cmsCreateTransform(lab, TYPE_Lab_DBL, srgb, TYPE_RGB_DBL,
                                                    INTENT_RELATIVE_COLORIMETRIC, 0);
    cmsPipeline* table = cmsPipelineAlloc(nullptr, 3, 4);
    cmsPipelineInsertStage(table, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsStage* grid = cmsStageAllocCLut16bit(nullptr, 17, 3, 4, nullptr);
    cmsStageSampleCLut16bit(grid, SampleInks, toSrgb, 0);
    cmsPipelineInsertStage(table, cmsAT_END, grid);
    cmsPipelineInsertStage(table, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
    cmsDeleteTransform(toSrgb);
    cmsCloseProfile(srgb);
    cmsCloseProfile(lab);
    return table;
}
} // namespace

QByteArray adobeRgbProfile() {
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1}, {0.21, 0.71, 1}, {0.15, 0.06, 1}};
    return RgbProfile(primaries, cmsBuildGamma(nullptr, 563.0 / 256.0));
}

QByteArray displayP3Profile() {
    const cmsCIExyYTRIPLE primaries{{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}};
    const double srgbCurve[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    return RgbProfile(primaries, cmsBuildParametricToneCurve(nullptr, 4, srgbCurve));
}

QByteArray labProfile() {
    return Saved(cmsCreateLab4Profile(nullptr));
}

QByteArray naiveCmykProfile(bool withInverse) {
    // The ink values as libjpeg gives them are inverted; the profile itself speaks of ink, so
    // the table is sampled at 1 - ink.
    const cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(profile, 4.3);
    cmsSetDeviceClass(profile, cmsSigOutputClass);
    cmsSetColorSpace(profile, cmsSigCmykData);
    cmsSetPCS(profile, cmsSigLabData);
    cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsMLU* description = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(description, "en", "US", "Tintorel naive CMYK");
    cmsWriteTag(profile, cmsSigProfileDescriptionTag, description);
    cmsMLUfree(description);
    cmsPipeline* toLab = cmsPipelineAlloc(nullptr, 4, 3);
    // A curve from ink to light: 1 - x, as a table of two points.
    const cmsUInt16Number down[2] = {0xFFFF, 0};
    cmsToneCurve* light = cmsBuildTabulatedToneCurve16(nullptr, 2, down);
    cmsToneCurve* curves[4] = {light, light, light, light};
    cmsPipelineInsertStage(toLab, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, curves));
    cmsStage* table = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
    cmsStageSampleCLut16bit(table, SampleCmyk, nullptr, 0);
    cmsPipelineInsertStage(toLab, cmsAT_END, table);
    // Identity curves after the table: the form a v4 AToB table is stored in.
    cmsPipelineInsertStage(toLab, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsWriteTag(profile, cmsSigAToB0Tag, toLab);
    cmsPipelineFree(toLab);
    if (withInverse) {
        cmsPipeline* toInks = NaiveInksTable();
        cmsWriteTag(profile, cmsSigBToA0Tag, toInks);
        cmsPipelineFree(toInks);
    }
    cmsFreeToneCurve(light);
    return Saved(profile);
}

QByteArray withIccProfile(const QByteArray& jpeg, const QByteArray& icc) {
    auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(jpeg.constData()),
                                           long(jpeg.size()));
    image->readMetadata();
    Exiv2::DataBuf profile(reinterpret_cast<const Exiv2::byte*>(icc.constData()), long(icc.size()));
    image->setIccProfile(profile, false);
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    io.open();
    Exiv2::DataBuf all = io.read(long(io.size()));
    io.close();
    return QByteArray(reinterpret_cast<const char*>(all.pData_), qsizetype(all.size_));
}

double colourDistance(QRgb a, const QByteArray& aIcc, QRgb b, const QByteArray& bIcc) {
    const cmsCIELab labA = LabOf(a, aIcc), labB = LabOf(b, bIcc);
    return cmsDeltaE(&labA, &labB);
}

QRgb referenceColour(QRgb colour, const QByteArray& from, const QByteArray& to) {
    const auto out = Converted<3, 3>(Unit(colour), from, TYPE_RGB_DBL, to, TYPE_RGB_DBL);
    const auto level = [](double v) {
        return int(std::lround(std::clamp(v, 0.0, 1.0) * 255));
    };
    return qRgba(level(out[0]), level(out[1]), level(out[2]), qAlpha(colour));
}

int pixelsNear(const QImage& picture, const QByteArray& icc, QRgb colour) {
    // Photos and flat test pictures repeat their colours: each is measured once.
    QHash<QRgb, bool> near;
    int count = 0;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb pixel = picture.pixel(x, y) | 0xFF000000u;
            auto found = near.find(pixel);
            if (found == near.end())
                found = near.insert(pixel, colourDistance(pixel, icc, colour, icc) < 1);
            count += *found ? 1 : 0;
        }
    return count;
}

void writeRedMarkBeside(const QString& picturePath) {
    QImage mark(40, 30, QImage::Format_RGB32);
    mark.fill(kPureRed);
    mark.save(QFileInfo(picturePath).dir().filePath(QStringLiteral("mark.png")), "png");
}

std::array<uchar, 4> referenceInks(QRgb colour, const QByteArray& cmykIcc) {
    // lcms2 speaks of inks in percent.
    const auto inks = Converted<3, 4>(Unit(colour), {}, TYPE_RGB_DBL, cmykIcc, TYPE_CMYK_DBL);
    std::array<uchar, 4> adobe{};
    for (size_t c = 0; c < 4; ++c)
        adobe[c] = uchar(255 - std::lround(std::clamp(inks[c], 0.0, 100.0) * 2.55));
    return adobe;
}

int inksNear(const QImage& cmyk, const QByteArray& icc, std::array<uchar, 4> inks) {
    // lcms2 converts 8-bit inks into 16-bit Lab, not into doubles.
    const cmsHPROFILE source = Opened(icc);
    const cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    const cmsHTRANSFORM toLab = cmsCreateTransform(source, TYPE_CMYK_8_REV, lab, TYPE_Lab_16,
                                                   INTENT_RELATIVE_COLORIMETRIC, 0);
    const auto labOf = [&](const uchar* pixel) {
        std::array<cmsUInt16Number, 3> encoded{};
        cmsDoTransform(toLab, pixel, encoded.data(), 1);
        cmsCIELab value{};
        cmsLabEncoded2Float(&value, encoded.data());
        return value;
    };
    int count = 0;
    if (toLab) {
        const cmsCIELab wanted = labOf(inks.data());
        for (int y = 0; y < cmyk.height(); ++y)
            for (int x = 0; x < cmyk.width(); ++x) {
                const cmsCIELab got = labOf(cmyk.constScanLine(y) + x * 4);
                count += cmsDeltaE(&got, &wanted) < 1 ? 1 : 0;
            }
        cmsDeleteTransform(toLab);
    }
    cmsCloseProfile(lab);
    cmsCloseProfile(source);
    return count;
}
