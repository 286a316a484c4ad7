// Decoding, stamping and encoding one picture the way a run does: the input is written to a file
// and stamped through StampFile with a fixed watermark into a temporary folder. The output format
// follows from the input's length, so that the corpus meets every pairing of input and output
// formats without a byte of the picture spent on choosing it. A copy that is written must decode
// again, whole, at the input's upright size.
#include "engine/io/picturereader.h"
#include "engine/run/stampfile.h"
#include "fuzz/fuzzentry.h"
#include "support/failure.h"

#include <QFile>
#include <QTemporaryDir>

namespace {

// A fuzzed header declares any size. Beyond this the input is passed over, streamed or not, so
// that one input takes milliseconds and megabytes rather than minutes and gigabytes.
constexpr qint64 kMostPixels = 1'000'000;

constexpr PictureFormat kOutputFormats[] = {PictureFormat::Jpeg, PictureFormat::Png,
                                            PictureFormat::Gif, PictureFormat::Bmp,
                                            PictureFormat::Tiff};

// A mark with the transparent colour, soft edges and a scale, so that keying, blending and
// resizing all take part.
QImage markPicture() {
    QImage mark(24, 16, QImage::Format_ARGB32);
    mark.fill(qRgba(255, 255, 255, 255));
    for (int y = 4; y < 12; ++y)
        for (int x = 2; x < 22; ++x)
            mark.setPixel(x, y, qRgba(200, 30 + x * 8, 40, 60 + y * 12));
    return mark;
}

struct Fixture {
    QTemporaryDir folder;
    OutputChoices choices{75, true, false, false, {}};
    StampStyle style{.scale = 0.25, .margin = 2, .opacity = 70};
    RunWatermark watermark{StampMark(markPicture(), kWhite, style)};
};

Fixture& fixture() {
    static Fixture fixture;
    return fixture;
}

// The upright size of the picture, or nothing when it cannot be opened or is too large to try.
std::optional<QSize> uprightSize(const QString& path) {
    try {
        const std::unique_ptr<PictureReader> reader = PictureReader::open(path);
        const QSize size = reader->size();
        if (qint64(size.width()) * size.height() > kMostPixels)
            return std::nullopt;
        return OrientedSize(size, reader->orientation());
    } catch (const Failure&) {
        return std::nullopt;
    }
}

void checkCopy(const QString& path, QSize expected) {
    try {
        const QImage copy = PictureReader::open(path)->readAll();
        if (copy.size() != expected)
            fuzzPropertyFailed("the stamped copy has another size than its input");
    } catch (const Failure&) {
        fuzzPropertyFailed("the stamped copy cannot be decoded");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The command line stamps without a GUI.
    startFuzzApplication(false);
    fixture();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fixture& fixture = ::fixture();
    const QString input = fixture.folder.filePath(QStringLiteral("input"));
    QFile file(input);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
        fuzzPropertyFailed("the input cannot be written to a file");
    file.close();
    const std::optional<QSize> upright = uprightSize(input);
    if (!upright)
        return 0;
    StampRequest request;
    request.inputPath = input;
    request.output = {fixture.folder.filePath(QStringLiteral("output")),
                      kOutputFormats[size % std::size(kOutputFormats)]};
    request.placement = int(WatermarkPlacement::BottomRight);
    request.choices = &fixture.choices;
    request.style = &fixture.style;
    request.maxPixels = kMostPixels;
    const StampResult result = StampFile(request, fixture.watermark);
    if (result.written == !result.failures.isEmpty())
        fuzzPropertyFailed("a copy is written exactly when nothing failed");
    if (result.written) {
        checkCopy(request.output.path, *upright);
        QFile::remove(request.output.path);
    }
    return 0;
}
