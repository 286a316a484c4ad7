#include "engine/io/plausible.h"

#include "support/failure.h"

#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <limits>

#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr qint64 kUnbounded = -1;
constexpr qint64 kBitsPerByte = 8;
constexpr qint64 kHeaderBytes = 64;

// Deflate codes a match of 258 bytes in no fewer than 2 bits: 1032 bytes out of each byte in.
constexpr qint64 kDeflateRatio = 1032;
// An LZW code of b bits stands for at most 2^b pixels; at GIF's widest, 12 bits, that is 4096
// pixels for 12 bits of the file.
constexpr qint64 kLzwPixelsPerByte = 4096 * kBitsPerByte / 12 + 1;
// A baseline Huffman JPEG codes each 8 x 8 block of its full-resolution component with at least a
// DC and an end-of-block code, 1 bit each; a progressive one spends at least the DC code's bit in
// its first scan. Arithmetic coding learns that a flat block is flat: a one-colour picture of
// 900 megapixels takes 127 bytes, so arithmetic JPEGs have no bound here.
constexpr qint64 kHuffmanBaselineBitsPerBlock = 2;
constexpr qint64 kBlockPixels = 64;
// A CCITT fax row with nothing on it takes a single bit however wide it is; TIFF is bounded by a
// fax page's width of pixels for every bit of the file.
constexpr qint64 kTiffPixelsPerBit = 4096;
// An RLE escape of 4 bytes moves up to 255 pixels across and 255 rows down.
constexpr qint64 kRlePixelsPerByte = 255 * 255 / 4;

qint64 Saturated(double value) {
    return value >= double(std::numeric_limits<qint64>::max()) ? std::numeric_limits<qint64>::max()
                                                               : qint64(value);
}

// PNG's bits for one pixel from the IHDR fields: its bit depth times its samples.
int PngBitsPerPixel(const QByteArray& header) {
    if (header.size() < 26)
        return 1;
    const int depth = uchar(header[24]);
    static constexpr int kSamples[] = {1, 0, 3, 1, 2, 0, 4};
    const int type = uchar(header[25]);
    return type < 7 && kSamples[type] > 0 ? std::max(1, depth * kSamples[type]) : 1;
}

qint64 PngMostPixels(const PictureCoding& coding) {
    const qint64 rawBytes = Saturated(double(coding.fileBytes) * kDeflateRatio);
    return Saturated(double(rawBytes) * kBitsPerByte / PngBitsPerPixel(coding.header));
}

qint64 JpegMostPixels(const PictureCoding& coding) {
    if (coding.arithmetic)
        return kUnbounded;
    const double bits = double(coding.fileBytes) * kBitsPerByte;
    const double blocks = coding.progressive ? bits : bits / kHuffmanBaselineBitsPerBlock;
    return Saturated(blocks * kBlockPixels);
}

// BMP without compression is checked exactly against its rows when it is opened; RLE is bounded
// by its widest escape. Other compressions are left to the decoder.
qint64 BmpMostPixels(const PictureCoding& coding) {
    if (coding.header.size() < 34 ||
        qFromLittleEndian<quint32>(coding.header.constData() + 14) < 40)
        return kUnbounded;
    const quint32 compression = qFromLittleEndian<quint32>(coding.header.constData() + 30);
    const bool rle = compression == 1 || compression == 2;
    return rle ? Saturated(double(coding.fileBytes) * kRlePixelsPerByte) : kUnbounded;
}

// The start-of-frame marker of a JPEG, which says how it is coded; 0 when none is found.
int JpegFrameMarker(int fd) {
    qint64 at = 2;
    for (int segments = 0; segments < 4096; ++segments) {
        uchar marker[4];
        if (::pread(fd, marker, sizeof marker, at) != qint64(sizeof marker) || marker[0] != 0xFF)
            return 0;
        if (marker[1] == 0xFF) {
            ++at; // fill bytes before a marker
            continue;
        }
        const int code = marker[1];
        if (code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC)
            return code;
        at += 2 + qFromBigEndian<quint16>(marker + 2);
    }
    return 0;
}
} // namespace

qint64 MostPixelsHeld(const PictureCoding& coding) {
    switch (coding.format) {
    case PictureFormat::Jpeg:
        return JpegMostPixels(coding);
    case PictureFormat::Png:
        return PngMostPixels(coding);
    case PictureFormat::Gif:
        return Saturated(double(coding.fileBytes) * kLzwPixelsPerByte);
    case PictureFormat::Bmp:
        return BmpMostPixels(coding);
    case PictureFormat::Tiff:
        return Saturated(double(coding.fileBytes) * kBitsPerByte * kTiffPixelsPerBit);
    case PictureFormat::Webp:
    case PictureFormat::Avif:
    case PictureFormat::Heif:
    case PictureFormat::Jxl:
        // Their decoders take the whole file and stop at its end.
    case PictureFormat::Other:
        break;
    }
    return kUnbounded;
}

QString ImplausibleSizeText(QSize size, qint64 fileBytes) {
    return QStringLiteral("damaged picture: it declares %1 x %2 pixels, more than its %3 bytes "
                          "can hold")
        .arg(size.width())
        .arg(size.height())
        .arg(fileBytes);
}

PictureCoding CodingOf(int fd, PictureFormat format) {
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        throw Failure(SystemErrorText(errno));
    PictureCoding coding;
    coding.format = format;
    coding.fileBytes = qint64(status.st_size);
    coding.header.resize(kHeaderBytes);
    const ssize_t got = ::pread(fd, coding.header.data(), size_t(kHeaderBytes), 0);
    coding.header.truncate(got > 0 ? qsizetype(got) : 0);
    if (format == PictureFormat::Jpeg) {
        const int marker = JpegFrameMarker(fd);
        coding.progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
        // A frame not found is held to the loosest bound; the decoder has its own word on it.
        coding.arithmetic = marker == 0 || marker >= 0xC9;
    }
    return coding;
}

void CheckPlausibleSize(int fd, PictureFormat format, QSize size) {
    const PictureCoding coding = CodingOf(fd, format);
    const qint64 most = MostPixelsHeld(coding);
    if (most >= 0 && qint64(size.width()) * qint64(size.height()) > most)
        throw Failure(ImplausibleSizeText(size, coding.fileBytes));
}
