// The lossless way of stamping a JPEG into a JPEG, block by block.
#include "engine/stamping/jpeglossless.h"

#include "engine/io/picturereader.h"
#include "engine/stamping/stamp.h"

LosslessJpeg::LosslessJpeg(const QString& path)
    : file_(ReadPictureFile(path)), blocks_(std::make_unique<JpegBlocks>(file_)) {}

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
    const QSize size = blocks_->size();
    // The blocks of a picture without chroma subsampling take six bytes a pixel, about what the
    // normal way takes to hold a whole picture.
    if (qint64(size.width()) * size.height() > maxPixels)
        return kTooLargeReason;
    return {};
}

void LosslessJpeg::read() {
    blocks_->readBlocks();
}

void LosslessJpeg::stamp(QPoint at, const StampMark& mark, int orientation) {
    const QSize stored = blocks_->size();
    const QRect place = StoredRect(QRect(at, mark.size()), stored, orientation);
    const QRect area = blocks_->mcuArea(place);
    if (area.isEmpty())
        return;
    const QImage before = blocks_->decode(area);
    QImage pixels = before;
    // The area's own columns: the mark is placed from its left edge and cut off at its right,
    // which is the picture's right edge wherever the mark reaches beyond the area.
    StampRows(pixels.bits(), pixels.bytesPerLine(), area.top(), area.height(), area.width(), false,
              place.topLeft() - QPoint(area.left(), 0), mark.storedFor(orientation));
    blocks_->replace(area, pixels, before);
}

void LosslessJpeg::write(QIODevice& device, const PictureMetadata& metadata) {
    blocks_->write(device, metadata);
}
