#pragma once

// Pictures out: the row writers of JPEG and PNG, and the one way a whole picture is encoded.

#include "engine/io/picture.h"

#include <memory>

class QIODevice;

// Encodes a picture a band of rows at a time into a device. Every write's result is checked; a
// failure raises a Failure with the device's reason.
class RowWriter {
public:
    virtual ~RowWriter() = default;
    virtual void writeRows(const uchar* rows, qsizetype bytesPerLine, int count) = 0;
    // Ends the file after the last row.
    virtual void finish() = 0;
};

// With `gray`, the picture's rows have equal channels and are written as grey levels alone: a
// JPEG of one component, a PNG of grey (with alpha) pixels.
std::unique_ptr<RowWriter> StartJpegWriter(QIODevice& device, QSize size,
                                           const JpegSettings& settings,
                                           const PictureMetadata& metadata, bool gray = false);
// Encodes a whole CMYK picture, as PictureReader::readCmyk gives it, as a JPEG of four components:
// YCCK, or plain CMYK when the settings' tables come from a picture stored so.
void WriteCmykJpeg(const QImage& cmyk, QIODevice& device, const JpegSettings& settings,
                   const PictureMetadata& metadata);

// Why libpng would not take the colour profile into a colour PNG, or a grey one with `gray`;
// empty when it takes it.
QString PngProfileRefusal(const QByteArray& icc, bool gray = false);

std::unique_ptr<RowWriter> StartPngWriter(QIODevice& device, QSize size, bool alpha,
                                          const PictureMetadata& metadata, bool gray = false);

// WebP holds the whole picture to encode it, but only as its YUV planes (1.5 bytes a pixel, 2.5
// with alpha): the rows are converted as they come. Lossy at the quality. A build without WebP
// raises a Failure.
std::unique_ptr<RowWriter> StartWebpWriter(QIODevice& device, QSize size, bool alpha, int quality,
                                           const PictureMetadata& metadata);

// Whether this build encodes the format: HEIF never, WebP, AVIF and JPEG XL when built with their
// libraries.
bool WritesFormat(PictureFormat format);
// Whether the format's copies keep a picture's transparency (PNG, TIFF, GIF, WebP, AVIF, JPEG
// XL); the others are flattened onto white.
bool KeepsAlpha(PictureFormat format);

// Whether the format's copies keep 16 bits a channel (PNG, TIFF); the others take 8.
bool KeepsSixteenBits(PictureFormat format);

// Encodes a whole picture in the format (JPEG, PNG, GIF, BMP, TIFF, WebP, AVIF or JPEG XL), with
// the metadata where the format holds it (all but GIF and BMP). GIF keeps an alpha channel as a
// transparent colour index; BMP and JPEG are written opaque. WebP, AVIF and JPEG XL are lossy at
// the JPEG settings' quality. With `gray`, a JPEG or PNG is written grey as the row writers write
// it. A PNG is written of the picture's own kind: 16 bits a channel for RGBA64 or RGBX64, a
// palette for Indexed8; other formats take such pictures at 8 bits. Raises a Failure.
void WritePicture(const QImage& image, PictureFormat format, QIODevice& device,
                  const JpegSettings& jpeg, const PictureMetadata& metadata, bool gray = false);

// Encodes a whole picture as a TIFF of one page through libtiff, with the settings' compression
// and predictor, the metadata's density as its resolution and its EXIF, XMP, IPTC and colour
// profile. 8 bits a sample from ARGB32 and RGB32 pictures, 16 from RGBA64 and RGBX64 ones; alpha
// where the picture has it (a 16-bit picture that is opaque throughout is written without). With
// the settings' `cmyk`, the picture is readCmyk's CMYK, written as CMYK inks.
// Raises a Failure.
void WriteTiff(const QImage& image, QIODevice& device, const TiffSettings& settings,
               const PictureMetadata& metadata);
