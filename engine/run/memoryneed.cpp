#include "engine/run/memoryneed.h"

#include "engine/io/picturewriter.h"
#include "engine/io/resize.h"

#include <algorithm>

namespace {
constexpr qint64 kMegabyte = 1024 * 1024;
constexpr qint64 kPixelBytes = 4;
constexpr qint64 kSixteenBitPixelBytes = 8;
// Codec state that does not grow with the picture: Huffman and quantisation tables, zlib's
// window and hash chains, libjpeg's pools.
constexpr qint64 kCodecFixedBytes = 4 * kMegabyte;
// libjpeg's block rows for each component (two iMCU rows of up to 16 lines each for context and
// upsampling), on the reading and on the writing side, and libpng's rows and filter buffers.
constexpr qint64 kCodecBytesPerColumn = 512;
// A coefficient is 2 bytes; 64 of them code an 8 x 8 block.
constexpr qint64 kCoefficientBytes = 2;

qint64 Pixels(QSize size) {
    return qint64(size.width()) * qint64(size.height());
}

// Samples a JPEG's first `components` components hold for each pixel, the chroma ones fewer
// where they are subsampled.
double SamplesPerPixel(const JpegTables& tables, int components) {
    int hMost = 1, vMost = 1;
    for (int c = 0; c < components; ++c) {
        hMost = std::max(hMost, tables.hSampling[size_t(c)]);
        vMost = std::max(vMost, tables.vSampling[size_t(c)]);
    }
    double samples = 0;
    for (int c = 0; c < components; ++c)
        samples += double(std::max(1, tables.hSampling[size_t(c)]) *
                          std::max(1, tables.vSampling[size_t(c)])) /
                   double(hMost * vMost);
    return samples;
}

// Bytes of coefficients a JPEG holds for each pixel: 2 for each sample of each component.
// Without its sampling, four full-resolution components.
double CoefficientBytesPerPixel(const PictureReader& reader) {
    const std::optional<JpegTables> tables = reader.jpegTables();
    if (!tables || tables->components < 1 || tables->components > kJpegTableComponents)
        return 4.0 * kCoefficientBytes;
    return SamplesPerPixel(*tables, tables->components) * kCoefficientBytes;
}

// A progressive JPEG's copy is progressive, and its encoder holds the coefficients of the whole
// copy from its first row to its last scan: a luminance and two chromas, sampled as the
// picture's first three components at most, 4:2:0 at least (a greyscale picture's copy).
double ProgressiveCopyBytesPerPixel(const PictureReader& reader, PictureFormat output) {
    if (output != PictureFormat::Jpeg)
        return 0;
    const std::optional<JpegTables> tables = reader.jpegTables();
    if (!tables || !tables->progressive)
        return 0;
    constexpr double k420 = 1.5;
    const double samples =
        tables->components >= 3 ? std::max(k420, SamplesPerPixel(*tables, 3)) : k420;
    return samples * kCoefficientBytes;
}

double DecoderBytesPerPixel(const PictureReader& reader) {
    switch (reader.format()) {
    case PictureFormat::Jpeg:
        return reader.canStream() ? 0 : CoefficientBytesPerPixel(reader);
    case PictureFormat::Png:
    case PictureFormat::Gif:
        return 0;
    case PictureFormat::Bmp:
        // Qt decodes into a picture of its own and converts it; the reader keeps the converted
        // one, which the stamp then copies.
        return kPixelBytes;
    case PictureFormat::Webp:
        // Decoded straight into the picture's rows.
        return 0;
    case PictureFormat::Avif:
    case PictureFormat::Jxl:
        // Their own planes beside the picture (measured on a 12-megapixel photo: the whole
        // process 8 bytes a pixel at its peak for AVIF, 9.4 for JPEG XL).
        return 2 * kPixelBytes;
    case PictureFormat::Heif:
        // libheif's planes and its own RGBA picture, which the reader copies (measured on a
        // 12-megapixel HEIC: the whole process 15 bytes a pixel at its peak).
        return 3 * kPixelBytes;
    default:
        // The same, where Qt's own picture may have 16 bits a sample (a 16-bit TIFF measured
        // 11.7 bytes a pixel decoded).
        return 2 * kPixelBytes;
    }
}

// GIF builds a palette and an index for every pixel; BMP is encoded by Qt into memory from a
// converted copy (measured: 3.5 bytes a pixel), TIFF by libtiff into memory, its file copied again
// by exiv2 for its metadata (measured on a 12-megapixel photo, TIFF to TIFF: the whole process
// 10 bytes a pixel at its peak, the picture's own 4 included). JPEG and PNG encode from the
// picture's own rows. The newer codecs copy the picture into their own planes and work on more
// (measured on a 12-megapixel photo, the whole process at its peak: 12 bytes a pixel for WebP, 22
// for AVIF, 48 for JPEG XL).
double EncoderBytesPerPixel(PictureFormat output) {
    switch (output) {
    case PictureFormat::Jpeg:
    case PictureFormat::Png:
        return 0;
    case PictureFormat::Webp:
        return 2 * kPixelBytes;
    case PictureFormat::Avif:
        return 5 * kPixelBytes;
    case PictureFormat::Jxl:
        return 11 * kPixelBytes;
    case PictureFormat::Gif:
        return 6;
    case PictureFormat::Bmp:
        return 2 * kPixelBytes;
    default:
        return 4 * kPixelBytes;
    }
}
} // namespace

qint64 StreamNeed(QSize stored) {
    return qint64(stored.width()) * (kPixelBytes * kBandRows + kCodecBytesPerColumn) +
           kCodecFixedBytes;
}

qint64 StreamNeed(const PictureReader& reader, PictureFormat output) {
    // Measured on a 2048 x 1536 copy: the planes 1.5 bytes a pixel (2.5 with alpha), the
    // encoder's own about as much again.
    const double webp = output == PictureFormat::Webp ? (reader.hasAlpha() ? 5 : 3) : 0;
    const double encoder = webp + ProgressiveCopyBytesPerPixel(reader, output);
    return StreamNeed(reader.size()) + qint64(encoder * double(Pixels(reader.size()))) +
           ResizeNeed(reader);
}

qint64 ResizeNeed(const PictureReader& reader) {
    const auto* resizing = dynamic_cast<const ResizingReader*>(&reader);
    if (!resizing)
        return 0;
    const PictureReader& source = resizing->source();
    // The source's rows go into the filter, never to an encoder.
    const qint64 sourceNeed =
        source.canStream() ? StreamNeed(source.size()) : WholeNeed(source, PictureFormat::Png);
    return sourceNeed + resizing->filterBytes();
}

qint64 WholeNeed(const PictureReader& reader, PictureFormat output) {
    const bool turned = reader.orientation() != 1;
    const bool flattened = reader.hasAlpha() && !KeepsAlpha(output);
    // A JPEG's decoder gives its coefficients back at the last row, before the encoder of its
    // progressive copy takes its own: the two are never held at once (measured on a progressive
    // 12-megapixel photo: the same peak for a progressive copy as for a baseline one).
    const double codecs =
        std::max(DecoderBytesPerPixel(reader), ProgressiveCopyBytesPerPixel(reader, output)) +
        EncoderBytesPerPixel(output);
    // A picture of 16 bits a channel is held at 8 bytes a pixel, and so are its turned and
    // flattened copies; a copy of 8 bits is converted from it besides.
    const bool sixteen = reader.depth() == 16;
    const qint64 held = sixteen ? kSixteenBitPixelBytes : kPixelBytes;
    const double perPixel = double(held) + codecs + (turned ? held : 0) + (flattened ? held : 0) +
                            (sixteen && !KeepsSixteenBits(output) ? kPixelBytes : 0);
    return qint64(perPixel * double(Pixels(reader.size()))) + StreamNeed(reader.size()) +
           reader.framesBytes(output) + ResizeNeed(reader);
}

qint64 ShownNeed(const PictureReader& reader) {
    return reader.depth() == 16 ? kPixelBytes * Pixels(reader.size()) : 0;
}

qint64 PaletteNeed(const PictureReader& reader) {
    return Pixels(reader.size());
}

qint64 LosslessNeed(const PictureReader& reader, qint64 fileBytes) {
    const double coefficients = CoefficientBytesPerPixel(reader) * double(Pixels(reader.size()));
    return 2 * fileBytes + qint64(coefficients) + StreamNeed(reader.size());
}

qint64 MarkNeed(QSize visible) {
    return 3 * kPixelBytes * Pixels(visible);
}
