// The lossless way of stamping a JPEG into a JPEG, block by block.
#include "engine/stamping/jpeglossless.h"

#include "engine/io/picturereader.h"
#include "engine/stamping/stamp.h"
#include "support/failure.h"

#include <QBuffer>

#include <algorithm>

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

QString LosslessJpeg::refusal(int orientation, bool stripMetadata, qint64 maxPixels,
                              bool greyMarks) const {
    const J_COLOR_SPACE space = blocks_->colorSpace();
    if (space == JCS_CMYK || space == JCS_YCCK)
        return kCmykReason;
    // Grey marks on grey blocks give grey levels alone, which its one component holds.
    const bool grey = space == JCS_GRAYSCALE;
    if (grey && !greyMarks)
        return kGreyReason;
    if ((space != JCS_YCbCr && space != JCS_RGB && !grey) ||
        blocks_->components() != (grey ? 1 : 3))
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
    // Whole MCUs, those at the picture's edge cut as the picture is.
    const QRect covered = blocks_->mcuArea(place);
    stampedShare_ =
        double(covered.width()) * covered.height() / (double(stored.width()) * stored.height());
    if (!splice_) {
        StampBlocks(*blocks_, place, storedMark);
        return;
    }
    const QRect area = blocks_->mcuArea(place);
    if (splice_->read(area) && (area.isEmpty() || spliceStamp(place, storedMark)))
        return;
    // The picture's values or codes leave no room for the stamped blocks: all of its blocks are
    // coded again, if they may be held.
    readAllBlocks();
    StampBlocks(*blocks_, place, storedMark);
}

void LosslessJpeg::readAllBlocks() {
    const QSize stored = blocks_->size();
    if (qint64(stored.width()) * stored.height() > maxPixels_)
        throw Failure(TooLargeText(stored, maxPixels_));
    if (beforeAllBlocks_)
        beforeAllBlocks_();
    splice_.reset();
    readWhole();
    blocks_->readBlocks();
}

void LosslessJpeg::stamp(const std::vector<StampPlan>& plans, int orientation) {
    size_t copies = 0;
    for (const StampPlan& plan : plans)
        copies += plan.mark.isNull() ? 0 : plan.places.size();
    if (copies == 1) {
        for (const StampPlan& plan : plans) {
            if (!plan.mark.isNull() && !plan.places.empty())
                stamp(plan.places.front(), plan.mark, orientation);
        }
        return;
    }
    if (splice_)
        readAllBlocks();
    // The copies as the picture stores them, its orientation undone.
    const QSize stored = blocks_->size();
    std::vector<StampPlan> storedPlans;
    for (const StampPlan& plan : plans) {
        StampPlan storedPlan{plan.mark.storedFor(orientation), {}};
        for (QPoint at : plan.places)
            storedPlan.places.push_back(
                StoredRect(QRect(at, plan.mark.size()), stored, orientation).topLeft());
        std::stable_sort(storedPlan.places.begin(), storedPlan.places.end(),
                         [](QPoint a, QPoint b) { return a.y() < b.y(); });
        storedPlans.push_back(std::move(storedPlan));
    }
    stampBands(storedPlans);
}

namespace {
// The MCU columns that copies cover in one row of MCUs, counted once however many overlap.
int CoveredColumns(std::vector<std::pair<int, int>> spans) {
    std::sort(spans.begin(), spans.end());
    int covered = 0, reached = 0;
    for (const auto& [first, end] : spans) {
        covered += std::max(0, end - std::max(first, reached));
        reached = std::max(reached, end);
    }
    return covered;
}
} // namespace

void LosslessJpeg::stampBands(const std::vector<StampPlan>& storedPlans) {
    // A row of MCUs at a time, each block decoded and coded once whatever the copies over it.
    const QSize stored = blocks_->size();
    const QSize mcu = blocks_->mcuSize();
    const QRect picture(QPoint(0, 0), stored);
    qint64 covered = 0;
    for (int top = 0; top < stored.height(); top += mcu.height()) {
        const QRect band(0, top, stored.width(), std::min(mcu.height(), stored.height() - top));
        std::vector<StampPlan> meeting;
        std::vector<std::pair<int, int>> spans;
        QRect reach;
        for (const StampPlan& plan : storedPlans) {
            StampPlan part{plan.mark, {}};
            for (QPoint at : plan.places) {
                const QRect copy = QRect(at, plan.mark.size()).intersected(picture);
                if (!copy.intersects(band))
                    continue;
                part.places.push_back(at);
                reach |= copy;
                spans.emplace_back(copy.left() / mcu.width(), copy.right() / mcu.width() + 1);
            }
            if (!part.places.empty())
                meeting.push_back(std::move(part));
        }
        if (meeting.empty())
            continue;
        covered += CoveredColumns(std::move(spans));
        const QRect area =
            blocks_->mcuArea(QRect(reach.left(), band.top(), reach.width(), band.height()));
        const QImage before = blocks_->decode(area);
        QImage pixels = before;
        for (StampPlan& part : meeting) {
            for (QPoint& at : part.places)
                at.rx() -= area.left();
            StampRows(pixels.bits(), pixels.bytesPerLine(), area.top(), area.height(), area.width(),
                      false, part);
        }
        blocks_->replace(area, pixels, before);
    }
    const qint64 columns = (stored.width() + mcu.width() - 1) / mcu.width();
    const qint64 rows = (stored.height() + mcu.height() - 1) / mcu.height();
    stampedShare_ = double(covered) / double(std::max<qint64>(1, columns * rows));
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
