#include "tests/graysamples.h"

#include "engine/io/picturewriter.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <lcms2.h>

#include <array>

QByteArray grayProfile() {
    cmsToneCurve* curve = cmsBuildGamma(nullptr, 1.8);
    cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), curve);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    QByteArray bytes(qsizetype(size), '\0');
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(curve);
    return bytes;
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
