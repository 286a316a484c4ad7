#pragma once

// The lossless way of stamping a JPEG into a JPEG. Only the MCUs under the watermark's visible
// pixels are decoded, stamped exactly as the normal way stamps pixels and encoded again with the
// picture's own tables and sampling; every block whose pixels the watermark leaves as they were
// keeps its coefficients bit for bit. A picture whose EXIF orientation turns it upright stays
// stored as it is, its orientation kept, with the watermark turned to stand upright on it.

#include "engine/stamping/jpegblocks.h"

#include <QByteArray>
#include <QPoint>
#include <QString>

#include <memory>

class QIODevice;
class StampMark;
struct PictureMetadata;

// The note of a JPEG that the lossless way leaves to the normal one, with the reason.
inline const QString kReencodedNote = QStringLiteral("re-encoded, not stamped losslessly: %1");
inline const QString kCmykReason = QStringLiteral("a CMYK JPEG");
inline const QString kGreyReason =
    QStringLiteral("a greyscale JPEG, which has no colour channels for the watermark");
inline const QString kOtherColourReason = QStringLiteral("a JPEG neither YCbCr nor RGB");
inline const QString kStrippedOrientationReason = QStringLiteral(
    "its EXIF orientation, which stands it upright, would go with the stripped metadata");
inline const QString kTooLargeReason = QStringLiteral("too large to hold its blocks in memory");

class LosslessJpeg {
public:
    // Reads the file and its header. Raises a Failure, "not a regular file" for anything else.
    explicit LosslessJpeg(const QString& path);

    // Why the picture goes the normal way: a colour model other than YCbCr or RGB, an
    // orientation that stripped metadata would lose, or too many pixels. Empty when it is taken.
    QString refusal(int orientation, bool stripMetadata, qint64 maxPixels) const;

    // Reads every block. Raises a Failure as the picture reader does.
    void read();
    // Stamps the mark, its top-left corner at `at` on the upright picture.
    void stamp(QPoint at, const StampMark& mark, int orientation);
    // Writes the copy with the metadata's markers. Raises a Failure with the device's reason.
    void write(QIODevice& device, const PictureMetadata& metadata);

private:
    QByteArray file_;
    std::unique_ptr<JpegBlocks> blocks_;
};
