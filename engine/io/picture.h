#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <array>
#include <memory>
#include <optional>

class QIODevice;

// Pixels travel through the engine as rows of 32-bit values in QImage's memory layout: RGB32
// (alpha byte 0xFF) for opaque pictures, ARGB32 (not premultiplied) for pictures with their own
// transparency.

// What a picture carries besides its pixels and what its stamped copy keeps.
struct PictureMetadata {
    QByteArray exif; // the EXIF block from its byte-order mark on ("II*\0" or "MM\0*")
    QByteArray xmp;  // the XMP packet, UTF-8 XML
    QByteArray iptc; // IPTC-IIM data sets, as stored in a Photoshop 0x0404 resource
    QByteArray icc;  // the ICC colour profile

    bool isEmpty() const {
        return exif.isEmpty() && xmp.isEmpty() && iptc.isEmpty() && icc.isEmpty();
    }
};

enum class PictureFormat { Jpeg, Png, Gif, Bmp, Tiff, Other };

// A JPEG's quantisation tables and sampling, taken from an input to write its copy without
// quantising it more coarsely than it was.
struct JpegTables {
    int components = 3;
    std::array<std::array<quint16, 64>, 4> tables{}; // in natural (row-major) order
    std::array<bool, 4> present{};
    std::array<int, 3> componentTable{};
    std::array<int, 3> hSampling{};
    std::array<int, 3> vSampling{};
};

// How a JPEG is written: the standard tables at a quality with 4:2:0 sampling, or an input's own
// tables and sampling.
struct JpegSettings {
    int quality = 75;
    std::optional<JpegTables> tables;
};

// The reason a picture whose data stops before its declared size gets no stamped copy.
inline const QString kDataEndsEarlyText = QStringLiteral("image data ends early");
inline const QString kNotRegularFileText = QStringLiteral("not a regular file");

// Decodes one picture file, chosen by its content. JPEG and PNG are read by their own libraries
// a band of rows at a time; other formats are decoded whole.
class PictureReader {
public:
    // Opens a regular file; anything else (a folder, a FIFO, a device) is refused with "not a
    // regular file" before it is opened for reading, so nothing ever waits on a pipe. Raises a
    // Failure with the system's reason or the decoder's words. Reads the header only.
    static std::unique_ptr<PictureReader> open(const QString& path);

    virtual ~PictureReader() = default;

    virtual PictureFormat format() const = 0;
    // The stored size, before any orientation is applied.
    virtual QSize size() const = 0;
    virtual bool hasAlpha() const = 0;
    virtual const PictureMetadata& metadata() const = 0;
    // The EXIF orientation, 1 to 8; 1 when the picture names none or an invalid one.
    virtual int orientation() const = 0;
    // True when rows can be read a band at a time without the decoder holding the whole picture
    // (single-scan JPEG other than CMYK, non-interlaced PNG). A progressive JPEG, like an
    // interlaced PNG, is held whole before its first row comes out.
    virtual bool canStream() const = 0;
    // The next rows, top to bottom, as ARGB32 when hasAlpha() and RGB32 otherwise. Raises a
    // Failure, "image data ends early" when the data stops before the last row.
    virtual void readRows(uchar* rows, qsizetype bytesPerLine, int count) = 0;
    // The whole picture as ARGB32 when hasAlpha() and RGB32 otherwise, not oriented; for a reader
    // whose rows were not read yet. Raises a Failure like readRows.
    virtual QImage readAll() = 0;
    // A JPEG's own tables and sampling; nothing for other formats.
    virtual std::optional<JpegTables> jpegTables() const { return std::nullopt; }
};

// The whole file, opened as PictureReader::open opens it, for a codec that works on the file's
// bytes. Raises a Failure like PictureReader::open.
QByteArray ReadPictureFile(const QString& path);

// Encodes a picture a band of rows at a time into a device. Every write's result is checked; a
// failure raises a Failure with the device's reason.
class RowWriter {
public:
    virtual ~RowWriter() = default;
    virtual void writeRows(const uchar* rows, qsizetype bytesPerLine, int count) = 0;
    // Ends the file after the last row.
    virtual void finish() = 0;
};

std::unique_ptr<RowWriter> StartJpegWriter(QIODevice& device, QSize size,
                                           const JpegSettings& settings,
                                           const PictureMetadata& metadata);
std::unique_ptr<RowWriter> StartPngWriter(QIODevice& device, QSize size, bool alpha,
                                          const PictureMetadata& metadata);

// Encodes a whole picture in the format (JPEG, PNG, GIF, BMP or TIFF), with the metadata where
// the format holds it (JPEG, PNG, TIFF). GIF keeps an alpha channel as a transparent colour
// index; BMP and JPEG are written opaque. Raises a Failure.
void WritePicture(const QImage& image, PictureFormat format, QIODevice& device,
                  const JpegSettings& jpeg, const PictureMetadata& metadata);

// The pictures decoded through Qt (BMP, TIFF and every format without a reader of its own) that
// Qt must decode to learn what they hold are refused beyond maxPixels before that, when their
// size is known, and Qt's own allocation limit follows: a raised ceiling lets larger pictures
// through, a lower one refuses them before Qt allocates. Qt keeps one limit for the whole
// process: the callers of one run pass the same ceiling, and it changes only when the ceiling
// does.
void LimitQtDecoding(qint64 maxPixels);

// The text of a picture refused for its size.
QString TooLargeText(QSize size, qint64 maxPixels);

// The EXIF orientation the metadata names, 1 to 8; 1 when it names none or an invalid one.
int OrientationOf(const PictureMetadata& metadata);

// The metadata for a stamped copy of the given (upright) size: orientation 1, pixel dimensions
// updated, the EXIF preview thumbnail dropped. With strip, only the colour profile stays. A copy
// stored turned as its input was keeps the orientation, and size is then the stored size.
PictureMetadata MetadataForOutput(const PictureMetadata& input, QSize size, bool strip,
                                  bool keepOrientation = false);
