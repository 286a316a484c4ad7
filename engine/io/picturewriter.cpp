// The one way a whole picture is encoded, in each of the formats the program writes.
#include "engine/io/codecio.h"
#include "engine/io/gifwriter.h"
#include "engine/io/metadata.h"

#include "support/failure.h"

#include <QBuffer>
#include <QImageWriter>

#include <algorithm>
#include <cerrno>

namespace {

const QString kNoOutputEncoderText = QStringLiteral("No encoder writes this image type");

// Qt's encoders do not all check that the device took every byte: they write into memory, and
// the bytes go to the device in one checked write.
QByteArray encodeWithQt(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (!writer.write(image))
        throw Failure(writer.errorString());
    return bytes;
}

// Unused in a build without the newer codecs.
[[maybe_unused]] void writeBytes(QIODevice& device, const QByteArray& bytes) {
    writeAllToDevice(device, bytes.constData(), bytes.size());
}

} // namespace

// Whole pictures pass through the row writers a band at a time, as streamed ones do: a writer
// converts each band it is given into its own layout, which for the whole picture at once would
// be a second picture in memory.
void writeRowsOf(RowWriter& writer, const QImage& image) {
    constexpr int kBandRows = 32;
    for (int y = 0; y < image.height(); y += kBandRows)
        writer.writeRows(image.constScanLine(y), image.bytesPerLine(),
                         std::min(kBandRows, image.height() - y));
    writer.finish();
}

std::unique_ptr<RowWriter> StartWebpWriter(QIODevice& device, QSize size, bool alpha, int quality,
                                           const PictureMetadata& metadata) {
#ifdef TINTOREL_HAS_WEBP
    return startWebpWriter(device, size, alpha, quality, metadata);
#else
    Q_UNUSED(device);
    Q_UNUSED(size);
    Q_UNUSED(alpha);
    Q_UNUSED(quality);
    Q_UNUSED(metadata);
    throw Failure(kNoOutputEncoderText);
#endif
}

bool WritesFormat(PictureFormat format) {
    switch (format) {
    case PictureFormat::Webp:
#ifdef TINTOREL_HAS_WEBP
        return true;
#else
        return false;
#endif
    case PictureFormat::Avif:
#ifdef TINTOREL_HAS_AVIF
        return true;
#else
        return false;
#endif
    case PictureFormat::Jxl:
#ifdef TINTOREL_HAS_JXL
        return true;
#else
        return false;
#endif
    case PictureFormat::Heif:
    case PictureFormat::Other:
        return false;
    default:
        return true;
    }
}

bool KeepsAlpha(PictureFormat format) {
    switch (format) {
    case PictureFormat::Png:
    case PictureFormat::Tiff:
    case PictureFormat::Gif:
    case PictureFormat::Webp:
    case PictureFormat::Avif:
    case PictureFormat::Jxl:
        return true;
    default:
        return false;
    }
}

bool KeepsSixteenBits(PictureFormat format) {
    return format == PictureFormat::Png || format == PictureFormat::Tiff;
}

void WritePicture(const QImage& image, PictureFormat format, QIODevice& device,
                  const JpegSettings& jpeg, const PictureMetadata& metadata, bool gray) {
    if (!WritesFormat(format))
        throw Failure(kNoOutputEncoderText);
    // Before any conversion: a TIFF keeps 16 bits a sample.
    if (format == PictureFormat::Tiff)
        return WriteTiff(image, device, TiffSettings{}, metadata);
    if (format == PictureFormat::Png && image.format() == QImage::Format_Indexed8)
        return writePng(image, device, metadata);
    if (format == PictureFormat::Png && image.depth() == 64) {
        const QImage pixels = image.convertToFormat(
            image.hasAlphaChannel() ? QImage::Format_RGBA64 : QImage::Format_RGBX64);
        if (pixels.isNull())
            throw Failure(SystemErrorText(ENOMEM));
        return writePng(pixels, device, metadata, gray);
    }
    const bool alpha =
        image.hasAlphaChannel() && format != PictureFormat::Jpeg && format != PictureFormat::Bmp;
    const QImage pixels =
        image.convertToFormat(alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (pixels.isNull())
        throw Failure(image.isNull() ? kEmptyImageText : SystemErrorText(ENOMEM));
    QString reason;
    switch (format) {
    case PictureFormat::Jpeg:
        return writeRowsOf(*StartJpegWriter(device, pixels.size(), jpeg, metadata, gray), pixels);
    case PictureFormat::Png:
        return writeRowsOf(*StartPngWriter(device, pixels.size(), alpha, metadata, gray), pixels);
    case PictureFormat::Gif:
        if (!encodeGif(pixels, device, reason))
            throw Failure(reason);
        return;
    case PictureFormat::Bmp: {
        const QByteArray bytes = encodeWithQt(pixels, "bmp");
        return writeAllToDevice(device, bytes.constData(), bytes.size());
    }
#ifdef TINTOREL_HAS_WEBP
    case PictureFormat::Webp:
        return writeRowsOf(*startWebpWriter(device, pixels.size(), alpha, jpeg.quality, metadata),
                           pixels);
#endif
#ifdef TINTOREL_HAS_AVIF
    case PictureFormat::Avif:
        return writeBytes(device, encodeAvif(pixels, jpeg.quality, metadata));
#endif
#ifdef TINTOREL_HAS_JXL
    case PictureFormat::Jxl:
        return writeBytes(device, encodeJxl(pixels, jpeg.quality, metadata));
#endif
    default:
        break;
    }
    throw Failure(kNoOutputEncoderText);
}
