// The lossless way of stamping a JPEG into a JPEG, block by block.
#include "engine/stamping/jpeglossless.h"

#include "engine/io/picturereader.h"
#include "engine/stamping/stamp.h"
#include "support/failure.h"

#include <QBuffer>

namespace {
// Stamps the mark onto the blocks as the normal way stamps pixels, `place` in the blocks' own
// picture.
void StampBlocks(JpegBlocks& blocks, QRect place, const StampMark& storedMark) {
    const QRect area = blocks.mcuArea(place);
    if (area.isEmpty())
        return;
    const QImage before = blocks.decode(area);
    QImage pixels = before;
    // The area's own columns: the mark is placed from its left edge and cut off at its right,
    // which is the picture's right edge wherever the mark reaches beyond the area.
    StampRows(pixels.bits(), pixels.bytesPerLine(), area.top(), area.height(), area.width(), false,
              place.topLeft() - QPoint(area.left(), 0), storedMark);
    blocks.replace(area, pixels, before);
}
} // namespace

LosslessJpeg::LosslessJpeg(const QString& path, bool maySplice) : path_(path), head_(path) {
    // The head tells what the picture is; the file is read whole only once it is known to fit.
    blocks_ = std::make_unique<JpegBlocks>(head_.bytes());
    if (maySplice && head_.spliceable())
        splice_ = std::make_unique<JpegSplice>(path_, head_);
}

void LosslessJpeg::readWhole() {
    file_ = ReadJpegThroughEnd(path_);
    blocks_ = std::make_unique<JpegBlocks>(file_);
}

QString LosslessJpeg::refusal(int orientation, bool stripMetadata, qint64 maxPixels) const {
    const J_COLOR_SPACE space = blocks_->colorSpace();
    if (space == JCS_CMYK || space == JCS_YCCK)
        return kCmykReason;
    if (space == JCS_GRAYSCALE)
        return kGreyReason;
    if ((space != JCS_YCbCr && space != JCS_RGB) || blocks_->components() != 3)
        return kOtherColourReason;
    if (orientation != 1 && stripMetadata)
        return kStrippedOrientationReason;
    if (head_.zeroInQuantisation())
        return kZeroQuantisationReason;
    const QSize size = blocks_->size();
    maxPixels_ = maxPixels;
    // The blocks of a picture without chroma subsampling take six bytes a pixel, about what the
    // normal way takes to hold a whole picture. A spliced one holds the blocks under the mark.
    if (!splice_ && qint64(size.width()) * size.height() > maxPixels)
        return kTooLargeReason;
    return {};
}

qint64 LosslessJpeg::bytesNeeded(QSize mark) const {
    const QSize size = blocks_->size();
    if (!splice_)
        return qint64(size.width()) * size.height() * 6;
    const jpeg_decompress_struct& info = head_.info();
    int blocks = 0;
    for (int c = 0; c < info.num_components; ++c)
        blocks += info.comp_info[c].h_samp_factor * info.comp_info[c].v_samp_factor;
    return JpegSplice::bytesFor(blocks_->mcuSize(), blocks, mark.boundedTo(size));
}

void LosslessJpeg::read() {
    if (splice_)
        return;
    readWhole();
    blocks_->readBlocks();
}

void LosslessJpeg::stamp(QPoint at, const StampMark& mark, int orientation) {
    const QSize stored = blocks_->size();
    const QRect place = StoredRect(QRect(at, mark.size()), stored, orientation);
    const StampMark storedMark = mark.storedFor(orientation);
    if (!splice_) {
        StampBlocks(*blocks_, place, storedMark);
        return;
    }
    const QRect area = blocks_->mcuArea(place);
    if (splice_->read(area) && (area.isEmpty() || spliceStamp(place, storedMark)))
        return;
    // The picture's values or codes leave no room for the stamped blocks: all of its blocks are
    // coded again, if they may be held.
    if (qint64(stored.width()) * stored.height() > maxPixels_)
        throw Failure(TooLargeText(stored, maxPixels_));
    if (beforeAllBlocks_)
        beforeAllBlocks_();
    splice_.reset();
    readWhole();
    blocks_->readBlocks();
    StampBlocks(*blocks_, place, storedMark);
}

bool LosslessJpeg::spliceStamp(QRect place, const StampMark& storedMark) {
    const QByteArray regionFile = splice_->regionJpeg();
    JpegBlocks region(regionFile);
    region.readBlocks();
    StampBlocks(region, place.translated(-splice_->region().topLeft()), storedMark);
    QByteArray stamped;
    QBuffer buffer(&stamped);
    buffer.open(QIODevice::WriteOnly);
    region.write(buffer, {});
    return splice_->take(stamped);
}

void LosslessJpeg::write(QIODevice& device, const PictureMetadata& metadata) {
    if (splice_)
        splice_->write(device, metadata);
    else
        blocks_->write(device, metadata);
}
