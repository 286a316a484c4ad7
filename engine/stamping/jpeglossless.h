#pragma once

// The lossless way of stamping a JPEG into a JPEG. Only the MCUs under the watermark's visible
// pixels are decoded, stamped exactly as the normal way stamps pixels and encoded again with the
// picture's own tables and sampling; every block whose pixels the watermark leaves as they were
// keeps its coefficients bit for bit. A picture whose EXIF orientation turns it upright stays
// stored as it is, its orientation kept, with the watermark turned to stand upright on it.
// Sequential Huffman-coded pictures, as cameras and phones write them, are spliced: the bits of
// every untouched MCU are copied from the file as they are (jpegsplice.h). Other codings go
// through all of the picture's blocks.

#include "engine/stamping/jpegblocks.h"
#include "engine/stamping/jpegsplice.h"

#include <QByteArray>
#include <QPoint>
#include <QString>

#include <functional>
#include <limits>
#include <memory>
#include <vector>

class QIODevice;
class StampMark;
struct StampPlan;
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
// The note of a JPEG stamped losslessly whose marks lie over most of it, a tile above all.
inline const QString kMostlyRecodedNote =
    QStringLiteral("stamped losslessly, but the watermark covers %1 % of the picture's blocks, "
                   "which are encoded again");
inline const QString kZeroQuantisationReason =
    QStringLiteral("a 0 in its quantisation tables, which no encoder can divide by");

class LosslessJpeg {
public:
    // Reads the file's head as a stream; a picture that is not spliced is read whole, up to its
    // end-of-image marker, by read(). Without `maySplice`, every picture goes through all of its
    // blocks, to be measured against. Raises a Failure as the picture reader does.
    explicit LosslessJpeg(const QString& path, bool maySplice = true);

    // Why the picture goes the normal way: a colour model other than YCbCr or RGB (or grey, for
    // marks that are grey too), an orientation that stripped metadata would lose, a quantisation
    // table no encoder can take, progressive scans that leave bits out, or too many pixels to
    // hold all of the picture's blocks. Empty when it is taken.
    QString refusal(int orientation, bool stripMetadata, qint64 maxPixels,
                    bool greyMarks = false) const;

    // Whether the picture is spliced rather than held as all of its blocks.
    bool spliced() const { return splice_ != nullptr; }
    // The memory stamping takes for a watermark of this stored size.
    qint64 bytesNeeded(QSize mark) const;
    // Called before a spliced picture whose values or codes leave no room for the stamped blocks
    // goes through all of its blocks after all, which takes far more memory than its splice: the
    // caller may wait for that memory, or raise a Failure to stop there.
    void beforeAllBlocks(std::function<void()> call) { beforeAllBlocks_ = std::move(call); }

    // Reads every block of a picture that is not spliced. Raises a Failure as the picture reader
    // does.
    void read();
    // Stamps the mark, its top-left corner at `at` on the upright picture.
    void stamp(QPoint at, const StampMark& mark, int orientation);
    // Stamps every copy of the plans, in their order, at their places on the upright picture.
    // Several copies (a tile, several marks) go through all of the picture's blocks.
    void stamp(const std::vector<StampPlan>& plans, int orientation);
    // The share of the picture's MCUs under the copies stamped, whose blocks are coded anew where
    // the copies change them: 0 to 1.
    double stampedShare() const { return stampedShare_; }
    // Writes the copy with the metadata's markers. Raises a Failure with the device's reason.
    void write(QIODevice& device, const PictureMetadata& metadata);

private:
    void readWhole();
    void readAllBlocks();
    void stampBands(const std::vector<StampPlan>& storedPlans);
    bool spliceStamp(QRect place, const StampMark& storedMark);

    QString path_;
    JpegHead head_;
    QByteArray file_;
    // The most pixels whose blocks may be held, as the refusal was told.
    mutable qint64 maxPixels_ = std::numeric_limits<qint64>::max();
    std::unique_ptr<JpegSplice> splice_;
    std::unique_ptr<JpegBlocks> blocks_; // of the head alone until the whole file is read
    std::function<void()> beforeAllBlocks_;
    double stampedShare_ = 0;
};
