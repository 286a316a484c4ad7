// The whole-picture decode shared by the preview, the run and the tests.
#include "engine/stamping/decode.h"

#include "engine/io/picturereader.h"
#include "engine/stamping/stamp.h"
#include "support/failure.h"

#include <limits>
#include <memory>

#include <unistd.h>

namespace {
constexpr qint64 kBytesPerPixel = 4;
} // namespace

qint64 DefaultMaxPixels() {
    const qint64 memory = qint64(::sysconf(_SC_PHYS_PAGES)) * qint64(::sysconf(_SC_PAGESIZE));
    return memory > 0 ? memory / 4 / kBytesPerPixel : std::numeric_limits<qint64>::max();
}

QImage DecodePicture(const QString& path, bool keepAlpha, qint64 maxPixels) {
    LimitQtDecoding(maxPixels);
    const std::unique_ptr<PictureReader> reader = PictureReader::open(path);
    const QSize size = reader->size();
    if (qint64(size.width()) * qint64(size.height()) > maxPixels)
        throw Failure(TooLargeText(size, maxPixels));
    return DecodePicture(*reader, keepAlpha);
}

QImage DecodePicture(PictureReader& reader, bool keepAlpha) {
    QImage picture = Oriented(reader.readAll(), reader.orientation());
    return keepAlpha ? picture : FlattenOntoWhite(std::move(picture));
}
