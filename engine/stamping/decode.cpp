// The whole-picture decode shared by the preview, the run and the tests.
#include "engine/stamping/decode.h"

#include "engine/io/picturereader.h"
#include "engine/stamping/stamp.h"
#include "support/failure.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>

#include <unistd.h>

namespace {
constexpr qint64 kBytesPerPixel = 4;
// Rows of the reduced picture made from one band of the picture's own rows.
constexpr int kReducedBandRows = 32;
constexpr int kReductions[] = {2, 4, 8};

int DividedUp(int value, int denominator) {
    return (value + denominator - 1) / denominator;
}

QSize ReducedSize(QSize size, int reduction) {
    return QSize(DividedUp(size.width(), reduction), DividedUp(size.height(), reduction));
}

QImage NewImage(QSize size) {
    QImage image(size, QImage::Format_RGB32);
    if (image.isNull())
        throw Failure(SystemErrorText(ENOMEM));
    return image;
}

void CheckStop(const std::atomic<bool>* stop) {
    if (stop && stop->load())
        throw Failure(kNoLongerWantedText);
}

// The reader's rows, flattened onto white, a band at a time; each band is scaled down on its own,
// so that only a band of the picture's full-size rows is ever held. A band is a whole number of
// `reduction` rows: each reduced row averages rows of its own (the last row, what is left).
QImage ReadReduced(PictureReader& reader, int reduction, const std::atomic<bool>* stop) {
    const QSize size = reader.size();
    QImage picture = NewImage(ReducedSize(size, reduction));
    const int bandRows = kReducedBandRows * reduction;
    QImage band =
        reduction > 1 ? NewImage(QSize(size.width(), std::min(bandRows, size.height()))) : QImage();
    for (int y = 0, out = 0; y < size.height(); y += bandRows) {
        CheckStop(stop);
        const int count = std::min(bandRows, size.height() - y);
        const int outRows = DividedUp(count, reduction);
        uchar* rows = reduction == 1 ? picture.scanLine(y) : band.bits();
        const qsizetype bytesPerLine =
            reduction == 1 ? picture.bytesPerLine() : band.bytesPerLine();
        reader.readRows(rows, bytesPerLine, count);
        if (reader.hasAlpha())
            FlattenRows(rows, bytesPerLine, size.width(), count);
        if (reduction > 1) {
            const QImage full(band.constBits(), size.width(), count, band.bytesPerLine(),
                              QImage::Format_RGB32);
            const QImage part = full.scaled(picture.width(), outRows, Qt::IgnoreAspectRatio,
                                            Qt::SmoothTransformation);
            for (int row = 0; row < outRows; ++row)
                std::copy_n(part.constScanLine(row), picture.bytesPerLine(),
                            picture.scanLine(out + row));
        }
        out += outRows;
    }
    return picture;
}
} // namespace

qint64 DefaultMaxPixels() {
    const qint64 memory = qint64(::sysconf(_SC_PHYS_PAGES)) * qint64(::sysconf(_SC_PAGESIZE));
    return memory > 0 ? memory / 4 / kBytesPerPixel : std::numeric_limits<qint64>::max();
}

QImage DecodePicture(const QString& path, bool keepAlpha, qint64 maxPixels) {
    return DecodePictureInColours(path, keepAlpha, maxPixels).picture;
}

DecodedPicture DecodePictureInColours(const QString& path, bool keepAlpha, qint64 maxPixels) {
    LimitQtDecoding(maxPixels);
    const std::unique_ptr<PictureReader> reader = PictureReader::open(path);
    const QSize size = reader->size();
    if (qint64(size.width()) * qint64(size.height()) > maxPixels)
        throw Failure(TooLargeText(size, maxPixels));
    reader->useEightBits();
    QImage picture = EightBits(DecodePicture(*reader, keepAlpha));
    return {std::move(picture), reader->colourProfile()};
}

QImage DecodePicture(PictureReader& reader, bool keepAlpha) {
    QImage picture = reader.readAll();
    // An opaque picture of 16 bits a channel is RGBX64, as one of 8 bits is RGB32.
    if (picture.format() == QImage::Format_RGBA64 && !reader.hasAlpha())
        picture.reinterpretAsFormat(QImage::Format_RGBX64);
    picture = Oriented(picture, reader.orientation());
    return keepAlpha ? picture : FlattenOntoWhite(std::move(picture));
}

QImage EightBits(const QImage& picture) {
    if (picture.depth() != 64)
        return picture;
    const QImage eight = picture.convertToFormat(picture.hasAlphaChannel() ? QImage::Format_ARGB32
                                                                           : QImage::Format_RGB32);
    if (eight.isNull())
        throw Failure(SystemErrorText(ENOMEM));
    return eight;
}

int ReductionFor(QSize full, QSize room) {
    if (full.isEmpty() || room.isEmpty())
        return 1;
    const bool fits = full.width() <= room.width() && full.height() <= room.height();
    const QSize shown = fits ? full : full.scaled(room, Qt::KeepAspectRatio);
    int chosen = 1;
    for (int reduction : kReductions) {
        const QSize reduced = ReducedSize(full, reduction);
        if (reduced.width() >= shown.width() && reduced.height() >= shown.height())
            chosen = reduction;
    }
    return chosen;
}

ReducedPicture DecodeReducedPicture(const QString& path, QSize room, qint64 maxPixels,
                                    const std::atomic<bool>* stop) {
    LimitQtDecoding(maxPixels);
    const std::unique_ptr<PictureReader> reader = PictureReader::open(path);
    const QSize stored = reader->size();
    if (qint64(stored.width()) * qint64(stored.height()) > maxPixels)
        throw Failure(TooLargeText(stored, maxPixels));
    reader->stopWhen(stop);
    ReducedPicture result;
    result.fullSize = OrientedSize(stored, reader->orientation());
    result.reduction = ReductionFor(result.fullSize, room);
    reader->useEightBits();
    QImage picture;
    if (result.reduction == 1 || reader->scaleDown(result.reduction))
        picture = reader->canStream() ? ReadReduced(*reader, 1, stop)
                                      : FlattenOntoWhite(reader->readAll());
    else if (reader->canStream())
        picture = ReadReduced(*reader, result.reduction, stop);
    else
        picture = FlattenOntoWhite(reader->readAll())
                      .scaled(ReducedSize(stored, result.reduction), Qt::IgnoreAspectRatio,
                              Qt::SmoothTransformation);
    CheckStop(stop);
    result.picture = Oriented(EightBits(picture), reader->orientation());
    result.profile = reader->colourProfile();
    return result;
}
