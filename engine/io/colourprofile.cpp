// Colour profiles through lcms2, each read once and each conversion made once for the whole run.
#include "engine/io/colourprofile.h"

#include "support/failure.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <lcms2.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <tuple>

namespace {
// QImage's 32-bit pixels as bytes in memory.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr cmsUInt32Number kArgb32 = TYPE_BGRA_8;
#else
constexpr cmsUInt32Number kArgb32 = TYPE_ARGB_8;
#endif

// A run meets few profiles; past these many, the kept answers and conversions start afresh.
constexpr qsizetype kKeptProfiles = 64;
constexpr size_t kKeptConversions = 32;

struct ProfileHandle {
    explicit ProfileHandle(const QByteArray& icc)
        : handle(icc.isEmpty()
                     ? cmsCreate_sRGBProfile()
                     : cmsOpenProfileFromMem(icc.constData(), cmsUInt32Number(icc.size()))) {}
    ~ProfileHandle() {
        if (handle)
            cmsCloseProfile(handle);
    }
    ProfileHandle(const ProfileHandle&) = delete;
    ProfileHandle& operator=(const ProfileHandle&) = delete;

    cmsHPROFILE handle;
};

// A transform without lcms2's cache of the last pixel, which makes cmsDoTransform safe to call
// from several threads at once on the same transform.
class Conversion final : public ColourConversion {
public:
    explicit Conversion(cmsHTRANSFORM handle) : handle_(handle) {}
    ~Conversion() override { cmsDeleteTransform(handle_); }
    Conversion(const Conversion&) = delete;
    Conversion& operator=(const Conversion&) = delete;

    void convert(const uchar* in, uchar* out, int count) const override {
        cmsDoTransform(handle_, in, out, cmsUInt32Number(count));
    }

private:
    cmsHTRANSFORM handle_;
};

std::shared_ptr<const Conversion> MakeConversion(const QByteArray& from, cmsUInt32Number in,
                                                 const QByteArray& to, cmsUInt32Number out) {
    const ProfileHandle source(from), target(to);
    if (!source.handle || !target.handle)
        return nullptr;
    const cmsHTRANSFORM handle = cmsCreateTransform(source.handle, in, target.handle, out,
                                                    INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE);
    return handle ? std::make_shared<const Conversion>(handle) : nullptr;
}

using ConversionKey = std::tuple<QByteArray, cmsUInt32Number, QByteArray, cmsUInt32Number>;

QMutex conversionsMutex;
std::map<ConversionKey, std::shared_ptr<const Conversion>> conversions;

// The conversion between two profiles, made once; null when lcms2 cannot make it (kept so too,
// so that a broken profile is not read again for every picture).
std::shared_ptr<const Conversion> ConversionFor(const QByteArray& from, cmsUInt32Number in,
                                                const QByteArray& to, cmsUInt32Number out) {
    QMutexLocker lock(&conversionsMutex);
    ConversionKey key(from, in, to, out);
    if (const auto found = conversions.find(key); found != conversions.end())
        return found->second;
    if (conversions.size() >= kKeptConversions)
        conversions.clear();
    auto made = MakeConversion(from, in, to, out);
    conversions.emplace(std::move(key), made);
    return made;
}

// Levels every channel is sampled at: the ends, the steps between and the dark tones, where a
// curve that differs from sRGB's shows first.
constexpr int kSampleLevels[] = {0, 3, 8, 16, 32, 48, 64, 96, 128, 160, 192, 224, 240, 255};

// Whether the profile gives sRGB's colours: sRGB's levels converted into it stay within one.
bool GivesSrgb(const QByteArray& icc) {
    const auto conversion = MakeConversion({}, TYPE_RGB_8, icc, TYPE_RGB_8);
    if (!conversion)
        return false;
    QByteArray samples;
    for (int r : kSampleLevels)
        for (int g : kSampleLevels)
            for (int b : kSampleLevels) {
                samples.append(char(r));
                samples.append(char(g));
                samples.append(char(b));
            }
    QByteArray converted(samples.size(), '\0');
    const auto* in = reinterpret_cast<const uchar*>(samples.constData());
    auto* out = reinterpret_cast<uchar*>(converted.data());
    conversion->convert(in, out, int(samples.size() / 3));
    for (qsizetype i = 0; i < samples.size(); ++i)
        if (std::abs(int(in[i]) - int(out[i])) > 1)
            return false;
    return true;
}

struct ProfileFacts {
    ProfileKind kind = ProfileKind::None;
    bool srgb = true;
};

// Profiles for pixels of a kind: input, display, output and colour space profiles. A device
// link or an abstract profile converts between others and describes no pixels of its own.
bool DescribesPixels(cmsHPROFILE profile) {
    const cmsProfileClassSignature kind = cmsGetDeviceClass(profile);
    return kind == cmsSigInputClass || kind == cmsSigDisplayClass || kind == cmsSigOutputClass ||
           kind == cmsSigColorSpaceClass;
}

ProfileFacts FactsOf(const QByteArray& icc) {
    if (icc.isEmpty())
        return {};
    const ProfileHandle profile(icc);
    if (!profile.handle)
        return {ProfileKind::Unreadable, false};
    if (!DescribesPixels(profile.handle))
        return {ProfileKind::Other, false};
    switch (cmsGetColorSpace(profile.handle)) {
    case cmsSigRgbData:
        // A profile that cannot take sRGB's colours is of no use for any conversion.
        if (!MakeConversion({}, TYPE_RGB_8, icc, TYPE_RGB_8))
            return {ProfileKind::Unreadable, false};
        return {ProfileKind::Rgb, GivesSrgb(icc)};
    case cmsSigGrayData:
        return {ProfileKind::Gray, false};
    case cmsSigCmykData:
        return {ProfileKind::Cmyk, false};
    default:
        return {ProfileKind::Other, false};
    }
}

QMutex factsMutex;
QHash<QByteArray, ProfileFacts> facts;

ProfileFacts KnownFacts(const QByteArray& icc) {
    if (icc.isEmpty())
        return {};
    QMutexLocker lock(&factsMutex);
    if (const auto found = facts.constFind(icc); found != facts.constEnd())
        return *found;
    if (facts.size() >= kKeptProfiles)
        facts.clear();
    const ProfileFacts found = FactsOf(icc);
    facts.insert(icc, found);
    return found;
}

// The profile RGB pixels said to be in `icc` are converted from or into: the profile itself
// when it is an RGB profile lcms2 reads, sRGB's (empty) otherwise.
QByteArray RgbProfileOf(const QByteArray& icc) {
    return KnownFacts(icc).kind == ProfileKind::Rgb ? icc : QByteArray();
}
} // namespace

ProfileKind KindOfProfile(const QByteArray& icc) {
    return KnownFacts(icc).kind;
}

bool IsSrgbEquivalent(const QByteArray& icc) {
    const ProfileFacts known = KnownFacts(icc);
    return known.kind == ProfileKind::None || (known.kind == ProfileKind::Rgb && known.srgb);
}

bool ConvertsColours(const QByteArray& from, const QByteArray& to) {
    if (from == to)
        return false;
    const QByteArray source = RgbProfileOf(from), target = RgbProfileOf(to);
    return source != target && !(IsSrgbEquivalent(source) && IsSrgbEquivalent(target));
}

void ConvertArgb(QImage& argb, const QByteArray& from, const QByteArray& to) {
    if (argb.isNull() || !ConvertsColours(from, to))
        return;
    const auto conversion = ConversionFor(RgbProfileOf(from), kArgb32, RgbProfileOf(to), kArgb32);
    if (!conversion)
        throw Failure(QStringLiteral("the watermark's colours cannot be converted into the "
                                     "picture's colour profile"));
    if (argb.format() != QImage::Format_ARGB32)
        argb = argb.convertToFormat(QImage::Format_ARGB32);
    if (argb.isNull())
        throw Failure(SystemErrorText(ENOMEM));
    for (int y = 0; y < argb.height(); ++y) {
        uchar* line = argb.scanLine(y);
        conversion->convert(line, line, argb.width());
    }
}

QByteArray SrgbProfile() {
    static const QByteArray bytes = [] {
        const ProfileHandle srgb({});
        cmsUInt32Number size = 0;
        if (!cmsSaveProfileToMem(srgb.handle, nullptr, &size))
            return QByteArray();
        QByteArray saved(qsizetype(size), '\0');
        return cmsSaveProfileToMem(srgb.handle, saved.data(), &size) ? saved : QByteArray();
    }();
    return bytes;
}

QString ProfileRefusalForRgb(const QByteArray& icc) {
    switch (KindOfProfile(icc)) {
    case ProfileKind::Cmyk:
        return QStringLiteral("it describes CMYK pixels");
    case ProfileKind::Other:
        return QStringLiteral("it describes no RGB pixels");
    case ProfileKind::Unreadable:
        return QStringLiteral("lcms2 cannot read it");
    default:
        return {};
    }
}

std::shared_ptr<const ColourConversion> AdobeCmykToSrgb(const QByteArray& icc) {
    if (KindOfProfile(icc) != ProfileKind::Cmyk)
        return nullptr;
    return ConversionFor(icc, TYPE_CMYK_8_REV, {}, kArgb32);
}

std::shared_ptr<const ColourConversion> SrgbToAdobeCmyk(const QByteArray& icc) {
    if (KindOfProfile(icc) != ProfileKind::Cmyk)
        return nullptr;
    return ConversionFor({}, kArgb32, icc, TYPE_CMYK_8_REV);
}

void AdobeCmykToRgb32(const uchar* cmyk, uchar* rgb32, int count, const ColourConversion* toSrgb) {
    auto* rgb = reinterpret_cast<QRgb*>(rgb32);
    if (toSrgb) {
        toSrgb->convert(cmyk, rgb32, count);
        for (int x = 0; x < count; ++x)
            rgb[x] |= 0xFF000000u;
        return;
    }
    for (int x = 0; x < count; ++x, cmyk += 4) {
        const int k = cmyk[3];
        rgb[x] = qRgb(k * cmyk[0] / 255, k * cmyk[1] / 255, k * cmyk[2] / 255);
    }
}

QImage CmykShown(const QImage& cmyk, const ColourConversion* toSrgb) {
    QImage shown(cmyk.size(), QImage::Format_RGB32);
    if (shown.isNull() && !cmyk.isNull())
        throw Failure(SystemErrorText(ENOMEM));
    for (int y = 0; y < cmyk.height(); ++y)
        AdobeCmykToRgb32(cmyk.constScanLine(y), shown.scanLine(y), cmyk.width(), toSrgb);
    return shown;
}

void Rgb32ToAdobeCmyk(const uchar* argb, uchar* cmyk, int count, const ColourConversion* toCmyk) {
    if (toCmyk) {
        toCmyk->convert(argb, cmyk, count);
        return;
    }
    const auto* rgb = reinterpret_cast<const QRgb*>(argb);
    for (int x = 0; x < count; ++x, cmyk += 4) {
        const int r = qRed(rgb[x]), g = qGreen(rgb[x]), b = qBlue(rgb[x]);
        const int k = std::max({r, g, b});
        // Each light channel is its ink's light times black's: divided back out, rounded up, so
        // that the plain reading gives the colour again.
        const auto ink = [k](int light) { return k == 0 ? 255 : (light * 255 + k - 1) / k; };
        cmyk[0] = uchar(ink(r));
        cmyk[1] = uchar(ink(g));
        cmyk[2] = uchar(ink(b));
        cmyk[3] = uchar(k);
    }
}
