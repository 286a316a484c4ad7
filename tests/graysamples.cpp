#include "tests/graysamples.h"

#include "engine/io/picturewriter.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <lcms2.h>

#include <array>
#include <cmath>

namespace {
// The profile's bytes; closes it.
QByteArray saved(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    QByteArray bytes(qsizetype(size), '\0');
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}
} // namespace

QByteArray grayProfile() {
    cmsToneCurve* curve = cmsBuildGamma(nullptr, 1.8);
    const QByteArray bytes = saved(cmsCreateGrayProfile(cmsD50_xyY(), curve));
    cmsFreeToneCurve(curve);
    return bytes;
}

QByteArray srgbCurveGrayProfile() {
    const cmsFloat64Number srgb[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, srgb);
    cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), curve);
    cmsSetProfileVersion(profile, 2.1);
    const QByteArray bytes = saved(profile);
    cmsFreeToneCurve(curve);
    return bytes;
}

QByteArray tableGrayProfile() {
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(profile, 4.3);
    cmsSetDeviceClass(profile, cmsSigDisplayClass);
    cmsSetColorSpace(profile, cmsSigGrayData);
    cmsSetPCS(profile, cmsSigLabData);
    constexpr int kPoints = 33;
    std::array<cmsUInt16Number, kPoints * 3> table{};
    for (int i = 0; i < kPoints; ++i) {
        const double y = std::pow(double(i) / (kPoints - 1), 2.2);
        const cmsCIEXYZ xyz{cmsD50_XYZ()->X * y, cmsD50_XYZ()->Y * y, cmsD50_XYZ()->Z * y};
        cmsCIELab lab;
        cmsXYZ2Lab(cmsD50_XYZ(), &lab, &xyz);
        lab.a = lab.b = 0;
        cmsFloat2LabEncoded(&table[size_t(i) * 3], &lab);
    }
    // A table alone is no tag type of version 4: it stands between curves, here the identity.
    cmsPipeline* lut = cmsPipelineAlloc(nullptr, 1, 3);
    cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 1, nullptr));
    cmsPipelineInsertStage(lut, cmsAT_END,
                           cmsStageAllocCLut16bit(nullptr, kPoints, 1, 3, table.data()));
    cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsWriteTag(profile, cmsSigAToB0Tag, lut);
    cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsPipelineFree(lut);
    return saved(profile);
}

void writeGrayPng(const QString& path, const QImage& picture, const QByteArray& icc) {
    const QImage rows =
        picture.convertToFormat(QImage::Format_Grayscale8).convertToFormat(QImage::Format_RGB32);
    PictureMetadata metadata;
    metadata.icc = icc;
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    const auto writer = StartPngWriter(file, rows.size(), false, metadata, true);
    writer->writeRows(rows.constBits(), rows.bytesPerLine(), rows.height());
    writer->finish();
}

void writeGrayMark(const QString& picture) {
    QImage mark(24, 10, QImage::Format_RGB32);
    mark.fill(qRgb(255, 255, 255));
    for (int y = 3; y < 7; ++y)
        for (int x = 2; x < 22; ++x)
            mark.setPixel(x, y, qRgb(40 + 8 * x, 40 + 8 * x, 40 + 8 * x));
    mark.save(QFileInfo(picture).dir().filePath(QStringLiteral("mark.png")), "png");
}

int pngColorType(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray head = file.read(26);
    return head.size() == 26 && head.startsWith("\x89PNG") ? uchar(head[25]) : -1;
}

double grayAxisDifference(const QByteArray& grayIcc, const QByteArray& rgbIcc) {
    cmsHPROFILE gray = cmsOpenProfileFromMem(grayIcc.constData(), cmsUInt32Number(grayIcc.size()));
    cmsHPROFILE rgb = cmsOpenProfileFromMem(rgbIcc.constData(), cmsUInt32Number(rgbIcc.size()));
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    double worst = 1000;
    if (gray && rgb && cmsGetColorSpace(gray) == cmsSigGrayData &&
        cmsGetColorSpace(rgb) == cmsSigRgbData) {
        cmsHTRANSFORM fromGray = cmsCreateTransform(gray, TYPE_GRAY_8, lab, TYPE_Lab_DBL,
                                                    INTENT_RELATIVE_COLORIMETRIC, 0);
        cmsHTRANSFORM fromRgb =
            cmsCreateTransform(rgb, TYPE_RGB_8, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
        worst = 0;
        for (int level : {0, 1, 17, 64, 128, 200, 254, 255}) {
            const auto value = cmsUInt8Number(level);
            const std::array<cmsUInt8Number, 3> channels{value, value, value};
            cmsCIELab throughGray{}, throughRgb{};
            cmsDoTransform(fromGray, &value, &throughGray, 1);
            cmsDoTransform(fromRgb, channels.data(), &throughRgb, 1);
            worst = std::max(worst, cmsCIE2000DeltaE(&throughGray, &throughRgb, 1, 1, 1));
        }
        cmsDeleteTransform(fromGray);
        cmsDeleteTransform(fromRgb);
    }
    for (cmsHPROFILE profile : {gray, rgb, lab})
        if (profile)
            cmsCloseProfile(profile);
    return worst;
}
