#pragma once

// Pictures in: the streaming reader every decode goes through, the file's bytes for a codec that
// works on them, and the ceiling on what is decoded whole.

#include "engine/io/picture.h"

#include <QStringList>

#include <atomic>
#include <memory>

class QIODevice;

// The frames of a picture that holds several, read and written by the picture's own codec, which
// keeps what the copy needs of each (an animation's delays, loop count and disposal, a page's
// compression and resolution). Each frame is stamped whole, one at a time.
class FrameSequence {
public:
    virtual ~FrameSequence() = default;
    virtual int count() const = 0;
    // The frame at index (0 is the first), whole and as large as the picture (a frame that
    // covers part of an animation composed onto what shows beneath it), ARGB32 or RGB32 like
    // PictureReader::readAll, or RGBA64 for 16 bits a channel. Raises a Failure.
    virtual QImage frame(int index) = 0;
    // Before the first frame is written: the copy goes into the device with the metadata.
    virtual void startWriting(QIODevice& device, const PictureMetadata& metadata) = 0;
    // The stamped frames, in order, as frame() gave them; then finish() ends the file.
    virtual void writeFrame(const QImage& stamped) = 0;
    virtual void finish() = 0;
};

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
    // The colour profile of the pixels readRows and readAll give: the file's own, unless the
    // reader converted them (a CMYK JPEG's into sRGB). Empty for sRGB.
    virtual QByteArray colourProfile() const { return metadata().icc; }
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
    // whose rows were not read yet. Raises a Failure like readRows. By default all rows in one
    // band; a reader that decodes whole gives what it decoded.
    virtual QImage readAll();
    // True when the stored pixels are CMYK, which readCmyk() gives as they are for a copy that
    // stays CMYK; readRows and readAll give them in RGB like any other.
    virtual bool cmyk() const { return false; }
    // The whole CMYK picture as stored, not oriented, for a reader whose rows were not read yet:
    // four bytes a pixel (C, M, Y and K, inverted as Adobe stores them) in a picture of
    // QImage::Format_RGBA8888 that only carries them. Null when cmyk() is false. Raises a Failure
    // like readRows.
    virtual QImage readCmyk() { return {}; }
    // A JPEG's own tables and sampling; nothing for other formats.
    virtual std::optional<JpegTables> jpegTables() const { return std::nullopt; }
    // How a TIFF stores its (first) page, for a TIFF copy to store it alike; nothing for other
    // formats.
    virtual std::optional<TiffSettings> tiffSettings() const { return std::nullopt; }
    // Before any row is read: asks for the rows at 1/denominator (2, 4 or 8) of the stored size,
    // rounded up, made by the decoder itself at a fraction of the work and memory (libjpeg's DCT
    // scaling, or a Qt plug-in that decodes to a given size). True when the decoder does so, and
    // size() then gives the reduced size; false leaves the reader as it was.
    // A decoder that works through much of the picture in one call (libjpeg on a progressive
    // JPEG, before its first row) gives up at its next step with a Failure once `stop` turns
    // true; the caller checks it between bands of rows itself.
    virtual void stopWhen(const std::atomic<bool>* stop) { Q_UNUSED(stop); }
    virtual bool scaleDown(int denominator) {
        Q_UNUSED(denominator);
        return false;
    }
    // Before any row is read: asks for the rows at eighths/8 (1 to 7) of the stored size, rounded
    // up, made by the decoder's own inverse DCT (libjpeg's scaling by M/8). True when the decoder
    // does so; false leaves the reader as it was.
    virtual bool scaleToEighths(int eighths) {
        Q_UNUSED(eighths);
        return false;
    }
    // What the copy will lack of the picture, for the run's notes (the frames after the first of
    // an animation).
    virtual QStringList notes() const { return {}; }
    // Bits per channel of the stored pixels: 16 for a picture of 16 bits a channel whose
    // readAll() then gives QImage::Format_RGBA64 (not premultiplied), so that its copy keeps
    // every level; 8 otherwise. A 16-bit picture goes the whole-image way.
    virtual int depth() const { return 8; }
    // Before any row is read: asks for 8 bits a channel from a picture of more, for a copy that
    // keeps 8 bits (or a picture shown on the screen). depth() then says 8, and the reader streams
    // as it would a picture of 8 bits. A reader of 8 bits, or one that cannot, stays as it was.
    virtual void useEightBits() {}
    // True when the stored pixels are grey levels alone (a greyscale JPEG, PNG or TIFF); its rows
    // still come as RGB32 or ARGB32, with equal channels.
    virtual bool gray() const { return false; }
    // The colours of a picture stored as indices into a palette (a palette PNG), in the file's
    // order, each with its alpha (not premultiplied); empty for any other picture. Its rows
    // still come as RGB32 or ARGB32.
    virtual QList<QRgb> palette() const { return {}; }
    // Every frame of a picture that holds several (an animation, the pages of a multi-page
    // file) when its copy in `output` can keep them all; null for a single picture or when the
    // copy keeps the first frame alone. Asked before any row is read.
    virtual std::unique_ptr<FrameSequence> frames(PictureFormat output) {
        Q_UNUSED(output);
        return nullptr;
    }
    // The bytes a sequence of frames(output) holds besides the frame being stamped, known from
    // the header for the run's memory budget; 0 when the copy keeps a single picture.
    virtual qint64 framesBytes(PictureFormat output) const {
        Q_UNUSED(output);
        return 0;
    }
};

// The note of an animated picture, of which only the first frame is read; with the number of
// frames where the file gives it without decoding them.
inline const QString kAnimatedNote =
    QStringLiteral("stamped its first frame alone: an animated picture");
inline const QString kFirstFrameNote = kAnimatedNote + QStringLiteral(" of %1 frames");
// The note of a TIFF of several pages whose copy keeps its first page alone.
inline const QString kFirstPageNote =
    QStringLiteral("stamped its first page alone: a TIFF of %1 pages");

// The formats this build reads and writes beyond those Qt gives it, as the command line names
// them, and those it was built without.
struct BuiltFormats {
    QStringList with;
    QStringList without;
};
BuiltFormats NewerFormats();

// The whole file, opened as PictureReader::open opens it, for a codec that works on the file's
// bytes. Raises a Failure like PictureReader::open.
QByteArray ReadPictureFile(const QString& path);

// The pictures decoded through Qt (BMP, TIFF and every format without a reader of its own) that
// Qt must decode to learn what they hold are refused beyond maxPixels before that, when their
// size is known, and Qt's own allocation limit follows: a raised ceiling lets larger pictures
// through, a lower one refuses them before Qt allocates. Qt keeps one limit for the whole
// process: the callers of one run pass the same ceiling, and it changes only when the ceiling
// does.
void LimitQtDecoding(qint64 maxPixels);

// The text of a picture refused for its size.
QString TooLargeText(QSize size, qint64 maxPixels);
