// TIFF pictures made with libtiff for the tests, and the fields of written ones.
#include "tests/tiffsamples.h"

#include <QFile>
#include <QTemporaryDir>

#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// The page's samples of one row: colour (or the grey level, or a palette index) then alpha.
template <typename Sample>
std::vector<Sample> rowOf(const TiffSamplePage& page, int y, const QList<QRgb>& colours) {
    const QImage& image = page.image;
    const bool alpha = image.hasAlphaChannel() && !page.palette;
    const int samples = (page.grey || page.palette ? 1 : 3) + (alpha ? 1 : 0);
    std::vector<Sample> row(size_t(image.width()) * (page.cmyk ? 4 : samples));
    if (page.cmyk) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            Sample* target = row.data() + size_t(x) * 4;
            target[0] = Sample(255 - qRed(pixel)), target[1] = Sample(255 - qGreen(pixel));
            target[2] = Sample(255 - qBlue(pixel)), target[3] = 0;
        }
        return row;
    }
    for (int x = 0; x < image.width(); ++x) {
        QRgba64 pixel = image.pixelColor(x, y).rgba64();
        if (page.associated)
            pixel = pixel.premultiplied();
        Sample* target = row.data() + size_t(x) * samples;
        const auto level = [](quint16 value) {
            return sizeof(Sample) == 1 ? Sample(value >> 8) : Sample(value);
        };
        if (page.palette) {
            target[0] = Sample(colours.indexOf(image.pixel(x, y)));
        } else if (page.grey) {
            target[0] = level(pixel.red());
        } else {
            target[0] = level(pixel.red()), target[1] = level(pixel.green());
            target[2] = level(pixel.blue());
        }
        if (alpha)
            target[samples - 1] = level(pixel.alpha());
    }
    return row;
}

void writePage(TIFF* tiff, const TiffSamplePage& page) {
    const QImage& image = page.image;
    const bool deep = image.depth() == 64;
    const bool alpha = image.hasAlphaChannel() && !page.palette;
    const int samples = (page.grey || page.palette ? 1 : 3) + (alpha ? 1 : 0);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(image.width()));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(image.height()));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(deep ? 16 : 8));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, uint16_t(page.cmyk ? 4 : samples));
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                 page.palette ? PHOTOMETRIC_PALETTE
                 : page.grey  ? PHOTOMETRIC_MINISBLACK
                 : page.cmyk  ? PHOTOMETRIC_SEPARATED
                 : page.jpeg  ? PHOTOMETRIC_YCBCR
                              : PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION,
                 uint16_t(page.jpeg ? COMPRESSION_JPEG : page.compression));
    if (page.cmyk)
        TIFFSetField(tiff, TIFFTAG_INKSET, INKSET_CMYK);
    if (page.jpeg) {
        TIFFSetField(tiff, TIFFTAG_JPEGQUALITY, 95);
        TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    }
    if (page.predictor != 1)
        TIFFSetField(tiff, TIFFTAG_PREDICTOR, uint16_t(page.predictor));
    if (page.orientation != 1)
        TIFFSetField(tiff, TIFFTAG_ORIENTATION, uint16_t(page.orientation));
    if (alpha) {
        const uint16_t kind = page.associated ? EXTRASAMPLE_ASSOCALPHA : EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, uint16_t(1), &kind);
    }
    if (page.xResolution > 0) {
        TIFFSetField(tiff, TIFFTAG_XRESOLUTION, float(page.xResolution));
        TIFFSetField(tiff, TIFFTAG_YRESOLUTION, float(page.yResolution));
        TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, uint16_t(page.resolutionUnit));
    }
    QList<QRgb> colours;
    if (page.palette) {
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (!colours.contains(image.pixel(x, y)))
                    colours << image.pixel(x, y);
        std::vector<uint16_t> map(256 * 3, 0);
        for (qsizetype i = 0; i < colours.size(); ++i) {
            map[size_t(i)] = uint16_t(qRed(colours[i]) * 257);
            map[256 + size_t(i)] = uint16_t(qGreen(colours[i]) * 257);
            map[512 + size_t(i)] = uint16_t(qBlue(colours[i]) * 257);
        }
        TIFFSetField(tiff, TIFFTAG_COLORMAP, map.data(), map.data() + 256, map.data() + 512);
    }
    const auto row = [&](int y) {
        if (!deep)
            return rowOf<uchar>(page, y, colours);
        const std::vector<quint16> wide = rowOf<quint16>(page, y, colours);
        std::vector<uchar> bytes(wide.size() * 2);
        std::memcpy(bytes.data(), wide.data(), bytes.size());
        return bytes;
    };
    if (page.tileEdge <= 0) {
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, uint32_t(page.jpeg ? 16 : 7));
        for (int y = 0; y < image.height(); ++y)
            TIFFWriteScanline(tiff, row(y).data(), uint32_t(y), 0);
    } else {
        const int edge = page.tileEdge;
        TIFFSetField(tiff, TIFFTAG_TILEWIDTH, uint32_t(edge));
        TIFFSetField(tiff, TIFFTAG_TILELENGTH, uint32_t(edge));
        const size_t pixelBytes = size_t(samples) * (deep ? 2 : 1);
        std::vector<uchar> tile(size_t(TIFFTileSize(tiff)));
        for (int top = 0; top < image.height(); top += edge)
            for (int left = 0; left < image.width(); left += edge) {
                std::fill(tile.begin(), tile.end(), 0);
                for (int y = top; y < std::min(top + edge, image.height()); ++y) {
                    const std::vector<uchar> line = row(y);
                    const size_t across = std::min(edge, image.width() - left) * pixelBytes;
                    std::memcpy(tile.data() + size_t(y - top) * edge * pixelBytes,
                                line.data() + left * pixelBytes, across);
                }
                TIFFWriteTile(tiff, tile.data(), uint32_t(left), uint32_t(top), 0, 0);
            }
    }
    TIFFWriteDirectory(tiff);
}

} // namespace

QByteArray makeTiff(const QList<TiffSamplePage>& pages) {
    // libtiff's warning about the older Deflate number, which the tests write on purpose.
    TIFFSetWarningHandler(nullptr);
    const QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("sample.tif"));
    TIFF* tiff = TIFFOpen(QFile::encodeName(path).constData(), "w");
    for (const TiffSamplePage& page : pages)
        writePage(tiff, page);
    TIFFClose(tiff);
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<TiffPageFacts> tiffFacts(const QString& path) {
    QList<TiffPageFacts> facts;
    TIFF* tiff = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!tiff)
        return facts;
    do {
        TiffPageFacts page;
        uint32_t width = 0, height = 0;
        uint16_t bits = 0, samples = 0, photometric = 0, compression = 0, predictor = 0, unit = 0,
                 orientation = 1;
        TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
        if (compression != COMPRESSION_NONE && compression != COMPRESSION_PACKBITS)
            TIFFGetFieldDefaulted(tiff, TIFFTAG_PREDICTOR, &predictor);
        else
            predictor = PREDICTOR_NONE;
        TIFFGetFieldDefaulted(tiff, TIFFTAG_RESOLUTIONUNIT, &unit);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &orientation);
        TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &page.xResolution);
        TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &page.yResolution);
        page.size = QSize(int(width), int(height));
        page.bits = bits, page.samples = samples, page.photometric = photometric;
        page.compression = compression, page.predictor = predictor;
        page.resolutionUnit = unit, page.orientation = orientation;
        facts << page;
    } while (TIFFReadDirectory(tiff));
    TIFFClose(tiff);
    return facts;
}
