// The TIFF writer: libtiff writes the pages into memory, exiv2 the metadata into the first.
#include "engine/io/codecio.h"
#include "engine/io/libtiff.h"
#include "engine/io/metadata.h"

#include "support/failure.h"

#include <QIODevice>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

const QString kUnwritableText = QStringLiteral("libtiff could not write the picture");
constexpr double kCentimetresPerInch = 2.54;

bool isDeep(const QImage& image) {
    switch (image.format()) {
    case QImage::Format_RGBA64:
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64_Premultiplied:
        return true;
    default:
        return false;
    }
}

// The picture in the layout its rows are written from: RGBA64, ARGB32 or RGB32.
QImage inWritingLayout(const QImage& image) {
    const QImage::Format layout = isDeep(image)             ? QImage::Format_RGBA64
                                  : image.hasAlphaChannel() ? QImage::Format_ARGB32
                                                            : QImage::Format_RGB32;
    QImage converted = image.convertToFormat(layout);
    if (converted.isNull())
        throw Failure(image.isNull() ? kEmptyImageText : SystemErrorText(ENOMEM));
    return converted;
}

// A 16-bit picture comes as RGBA64 whether or not it has transparency: its alpha is written only
// where some pixel is not opaque. An 8-bit one says so by its format.
bool hasTransparency(const QImage& image) {
    if (image.format() != QImage::Format_RGBA64)
        return image.format() == QImage::Format_ARGB32;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgba64*>(image.constScanLine(y));
        if (std::any_of(line, line + image.width(), [](QRgba64 p) { return !p.isOpaque(); }))
            return true;
    }
    return false;
}

bool allGrey(const QImage& image) {
    for (int y = 0; y < image.height(); ++y) {
        if (image.format() == QImage::Format_RGBA64) {
            const auto* line = reinterpret_cast<const QRgba64*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                if (line[x].red() != line[x].green() || line[x].green() != line[x].blue())
                    return false;
        } else {
            const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                if (qRed(line[x]) != qGreen(line[x]) || qGreen(line[x]) != qBlue(line[x]))
                    return false;
        }
    }
    return true;
}

struct PageLayout {
    bool deep = false;
    bool alpha = false;
    bool grey = false;
    bool cmyk = false;
    int samples() const { return cmyk ? 4 : (grey ? 1 : 3) + (alpha ? 1 : 0); }
    uint16_t photometric() const {
        return cmyk ? PHOTOMETRIC_SEPARATED : grey ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB;
    }
};

// A CMYK row as readCmyk gives it (the light each ink leaves, as Adobe stores it): the inks.
void inksOf(const uchar* line, int width, uchar* out) {
    for (qsizetype i = 0; i < qsizetype(width) * 4; ++i)
        out[i] = uchar(255 - line[i]);
}

// One row of the picture as the page's samples, 8 or 16 bits each.
template <typename Sample>
void samplesOf(const uchar* line, int width, const PageLayout& layout, Sample* out) {
    const int samples = layout.samples();
    for (int x = 0; x < width; ++x) {
        Sample rgba[4];
        if constexpr (sizeof(Sample) == 2) {
            const QRgba64 pixel = reinterpret_cast<const QRgba64*>(line)[x];
            rgba[0] = pixel.red(), rgba[1] = pixel.green(), rgba[2] = pixel.blue();
            rgba[3] = pixel.alpha();
        } else {
            const QRgb pixel = reinterpret_cast<const QRgb*>(line)[x];
            rgba[0] = Sample(qRed(pixel)), rgba[1] = Sample(qGreen(pixel));
            rgba[2] = Sample(qBlue(pixel)), rgba[3] = Sample(qAlpha(pixel));
        }
        Sample* target = out + qsizetype(x) * samples;
        if (layout.grey) {
            target[0] = rgba[0];
        } else {
            target[0] = rgba[0], target[1] = rgba[1], target[2] = rgba[2];
        }
        if (layout.alpha)
            target[samples - 1] = rgba[3];
    }
}

TiffCompression usableCompression(TiffCompression wanted) {
    return TIFFIsCODECConfigured(uint16_t(wanted)) ? wanted : TiffCompression::Lzw;
}

void setResolution(TIFF* tiff, const TiffSettings& settings,
                   const std::optional<PixelDensity>& density) {
    if (!density || !(density->x > 0) || !(density->y > 0))
        return;
    TiffResolutionUnit unit = settings.resolutionUnit;
    if (density->aspectOnly)
        unit = TiffResolutionUnit::None;
    else if (unit == TiffResolutionUnit::None)
        unit = TiffResolutionUnit::Inch;
    const double scale = unit == TiffResolutionUnit::Centimetre ? 1 / kCentimetresPerInch : 1.0;
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, uint16_t(unit));
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, float(density->x * scale));
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, float(density->y * scale));
}

void writePage(const TiffHandle& handle, const QImage& picture, const TiffSettings& settings,
               const std::optional<PixelDensity>& density, int page, int pages) {
    PageLayout layout;
    layout.cmyk = settings.cmyk;
    const QImage image = layout.cmyk ? picture : inWritingLayout(picture);
    layout.deep = image.format() == QImage::Format_RGBA64;
    layout.alpha = !layout.cmyk && hasTransparency(image);
    layout.grey = !layout.cmyk && settings.gray && allGrey(image);
    TIFF* tiff = handle.get();
    const int bits = layout.deep ? 16 : 8;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(image.width()));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(image.height()));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(bits));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, uint16_t(layout.samples()));
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, layout.photometric());
    if (layout.cmyk)
        TIFFSetField(tiff, TIFFTAG_INKSET, INKSET_CMYK);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    if (layout.alpha) {
        const uint16_t kind = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, uint16_t(1), &kind);
    }
    const TiffCompression compression = usableCompression(settings.compression);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, uint16_t(compression));
    const bool predicts = compression == TiffCompression::Lzw ||
                          compression == TiffCompression::Deflate ||
                          compression == TiffCompression::AdobeDeflate;
    if (predicts)
        TIFFSetField(tiff, TIFFTAG_PREDICTOR, uint16_t(settings.predictor));
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff, 0));
    setResolution(tiff, settings, density);
    if (pages > 1) {
        TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(tiff, TIFFTAG_PAGENUMBER, uint16_t(page), uint16_t(pages));
    }
    const qsizetype rowSamples = qsizetype(image.width()) * layout.samples();
    std::vector<uchar> row(size_t(rowSamples) * size_t(bits / 8));
    for (int y = 0; y < image.height(); ++y) {
        if (layout.cmyk)
            inksOf(image.constScanLine(y), image.width(), row.data());
        else if (layout.deep)
            samplesOf(image.constScanLine(y), image.width(), layout,
                      reinterpret_cast<quint16*>(row.data()));
        else
            samplesOf(image.constScanLine(y), image.width(), layout, row.data());
        handle.check(TIFFWriteScanline(tiff, row.data(), uint32_t(y), 0) == 1, kUnwritableText);
    }
    handle.check(TIFFWriteDirectory(tiff), kUnwritableText);
}

} // namespace

TiffPagesWriter::TiffPagesWriter(const PictureMetadata& metadata, int pages)
    : metadata_(metadata), pages_(pages) {}

TiffPagesWriter::~TiffPagesWriter() = default;

void TiffPagesWriter::add(const QImage& page, const TiffSettings& settings,
                          const std::optional<PixelDensity>& density) {
    if (written_ == 0) {
        TiffHandle first = TiffHandle::inMemory(bytes_, "w");
        writePage(first, page, settings, density, 0, pages_);
        first.close();
        bytes_ = tiffWithMetadata(bytes_, metadata_);
    } else {
        if (!appending_)
            appending_ = std::make_unique<TiffHandle>(TiffHandle::inMemory(bytes_, "a"));
        writePage(*appending_, page, settings, density, written_, pages_);
    }
    ++written_;
}

QByteArray TiffPagesWriter::finish() {
    if (appending_) {
        appending_->close();
        appending_.reset();
    }
    return std::move(bytes_);
}

void WriteTiff(const QImage& image, QIODevice& device, const TiffSettings& settings,
               const PictureMetadata& metadata) {
    TiffPagesWriter writer(metadata, 1);
    writer.add(image, settings, metadata.density);
    const QByteArray bytes = writer.finish();
    writeAllToDevice(device, bytes.constData(), bytes.size());
}
