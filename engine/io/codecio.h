#pragma once

// What the picture readers and writers share among themselves; the rest of the engine sees only
// picture.h, picturereader.h, picturewriter.h and metadata.h.

#include "engine/io/picturereader.h"
#include "engine/io/picturewriter.h"

#include <QString>

#include <cstdio>
#include <memory>

class QIODevice;

inline const QString kEmptyImageText = QStringLiteral("Image is empty");

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
// An open picture file, read through stdio so that the C codecs' own file readers serve it.
using PictureFile = std::unique_ptr<std::FILE, FileCloser>;

// The decoders, each taking over the file positioned at its start. Each reads the header only.
std::unique_ptr<PictureReader> openJpeg(PictureFile file);
std::unique_ptr<PictureReader> openPng(PictureFile file);
std::unique_ptr<PictureReader> openGif(PictureFile file);
// TIFF through libtiff; exiv2 reads its metadata from the path.
std::unique_ptr<PictureReader> openTiff(PictureFile file, const QString& path);
// A reader of the kind taking over the file, its header read.
template <typename Reader> std::unique_ptr<PictureReader> readerWithHeader(PictureFile file) {
    auto reader = std::make_unique<Reader>(std::move(file));
    reader->readHeader();
    return reader;
}
// The newer formats, each with its own library, from the whole file's bytes; and their encoders,
// lossy at a quality of 1 to 100, with the metadata's EXIF, XMP and colour profile.
std::unique_ptr<PictureReader> openWebp(PictureFile file);
std::unique_ptr<PictureReader> openAvif(PictureFile file);
std::unique_ptr<PictureReader> openHeif(PictureFile file);
std::unique_ptr<PictureReader> openJxl(PictureFile file);
QByteArray encodeWebp(const QImage& pixels, int quality, const PictureMetadata& metadata);
std::unique_ptr<RowWriter> startWebpWriter(QIODevice& device, QSize size, bool alpha, int quality,
                                           const PictureMetadata& metadata);
QByteArray encodeAvif(const QImage& pixels, int quality, const PictureMetadata& metadata);
QByteArray encodeJxl(const QImage& pixels, int quality, const PictureMetadata& metadata);

// The whole file from its start, for the decoders that take a file's bytes. Raises a Failure.
QByteArray readWholeFile(std::FILE* file);

// An EXIF block as the ISO formats box it (a 4-byte offset before the TIFF header) or JPEG's
// "Exif\0\0" before it, cut to start at its TIFF header; empty when none is found.
QByteArray exifFromTiffHeader(const QByteArray& block);

// Any format Qt reads; BMP is checked for missing pixel data first.
std::unique_ptr<PictureReader> openWithQt(PictureFile file, PictureFormat format,
                                          const QString& path);

// The whole picture through the row writer a band of rows at a time, then the file's end.
void writeRowsOf(RowWriter& writer, const QImage& image);
// A PNG of the picture's own kind: 16 bits a channel from RGBA64 (RGBA) or RGBX64 (RGB), or a
// palette from Indexed8 (its colour table, the alphas as tRNS); with `gray`, the 16-bit picture's
// equal channels as 16-bit grey levels (and its alpha). Raises a Failure.
void writePng(const QImage& image, QIODevice& device, const PictureMetadata& metadata,
              bool gray = false);

// Writes all the bytes or raises a Failure with the device's reason; a short write is a failure.
void writeAllToDevice(QIODevice& device, const char* data, qint64 size);

// The Failure for a file whose data stopped before the decoder had what it needed.
[[noreturn]] void failDataEndsEarly();

// Rows handed out a band at a time, each call going on where the last stopped, from a picture a
// reader had to decode whole (GIF, interlaced PNG, the formats Qt reads).
class HeldRows {
public:
    // The next rows of the reader's whole picture, decoded at the first call. Raises "image data
    // ends early" for rows past the picture's last.
    void copy(PictureReader& reader, uchar* rows, qsizetype bytesPerLine, int count);

private:
    QImage whole_;
    int copied_ = 0;
};
// A picture of the reader's size and alpha, at 72 dots per inch, whatever resolution the file
// names: a decoded image's own default follows the screen, which the command line has none of,
// and the window and the command line must write the same bytes. A resolution in the picture's
// EXIF is metadata and travels with it.
QImage newPicture(QSize size, bool alpha);
void useDefaultResolution(QImage& image);
