// The GIF writer: giflib, with the picture's own palette or one quantised to 256 colours.
#include "engine/io/codecio.h"
#include "engine/io/gifcodec.h"

#include "support/failure.h"

#include <QHash>
#include <QIODevice>
#include <QImage>

#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

namespace {

const QString kTooLargeForGifText =
    QStringLiteral("Image is too large for GIF (at most 65535 pixels each way)");

// A GIF stores each side of the picture in 16 bits.
constexpr int kGifMaxSide = 0xFFFF;
constexpr int kGifMaxColors = 256;
constexpr int kGifColorResolution = 8;
// The transparent colour takes the first palette entry, when the picture has any.
constexpr int kTransparentIndex = 0;

GifColorType gifColor(QRgb rgb) {
    return {GifByteType(qRed(rgb)), GifByteType(qGreen(rgb)), GifByteType(qBlue(rgb))};
}

bool isHidden(QRgb pixel) {
    return qAlpha(pixel) < kShownAlpha;
}

bool hasHiddenPixel(const QImage& image) {
    if (!image.hasAlphaChannel())
        return false;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        if (std::any_of(line, line + image.width(), isHidden))
            return true;
    }
    return false;
}

void padPalette(IndexedImage& indexed) {
    size_t tableSize = 2; // the smallest colour table a GIF has
    while (tableSize < indexed.palette.size())
        tableSize *= 2;
    indexed.palette.resize(tableSize, GifColorType{0, 0, 0});
}

// The picture with its own colours, or nothing when it has more than a GIF palette holds.
std::optional<IndexedImage> exactPalette(const QImage& image, bool transparent) {
    IndexedImage indexed;
    indexed.pixels.reserve(size_t(image.width()) * size_t(image.height()));
    if (transparent) {
        indexed.transparent = kTransparentIndex;
        indexed.palette.push_back(GifColorType{0, 0, 0});
    }
    QHash<QRgb, GifByteType> indexOf;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (transparent && isHidden(line[x])) {
                indexed.pixels.push_back(kTransparentIndex);
                continue;
            }
            const QRgb rgb = line[x] | 0xFF000000u;
            auto found = indexOf.constFind(rgb);
            if (found == indexOf.cend()) {
                if (indexed.palette.size() == kGifMaxColors)
                    return std::nullopt;
                found = indexOf.insert(rgb, GifByteType(indexed.palette.size()));
                indexed.palette.push_back(gifColor(rgb));
            }
            indexed.pixels.push_back(found.value());
        }
    }
    padPalette(indexed);
    return indexed;
}

// Reduces a picture of many colours to the 256 that represent it best, or 255 beside the
// transparent colour.
bool quantizedPalette(const QImage& image, bool transparent, IndexedImage& indexed) {
    const size_t count = size_t(image.width()) * size_t(image.height());
    std::vector<GifByteType> red(count), green(count), blue(count);
    size_t i = 0;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x, ++i) {
            red[i] = GifByteType(qRed(line[x]));
            green[i] = GifByteType(qGreen(line[x]));
            blue[i] = GifByteType(qBlue(line[x]));
        }
    }
    const int reserved = transparent ? 1 : 0;
    indexed.palette.assign(kGifMaxColors, GifColorType{0, 0, 0});
    indexed.pixels.resize(count);
    int colorCount = kGifMaxColors - reserved;
    // giflib's quantiser sorts through a global variable: one picture at a time.
    static std::mutex quantizerLock;
    const std::lock_guard<std::mutex> lock(quantizerLock);
    if (GifQuantizeBuffer(unsigned(image.width()), unsigned(image.height()), &colorCount,
                          red.data(), green.data(), blue.data(), indexed.pixels.data(),
                          indexed.palette.data() + reserved) != GIF_OK)
        return false;
    if (!transparent)
        return true;
    indexed.transparent = kTransparentIndex;
    i = 0;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x, ++i)
            indexed.pixels[i] = isHidden(line[x]) ? GifByteType(kTransparentIndex)
                                                  : GifByteType(indexed.pixels[i] + reserved);
    }
    return true;
}

// A graphic control extension naming the transparent colour, which makes the file a GIF89a.
int putTransparency(GifFileType* gif, int index) {
    GraphicsControlBlock control{};
    control.DisposalMode = DISPOSAL_UNSPECIFIED;
    control.TransparentColor = index;
    GifByteType extension[4];
    const size_t length = EGifGCBToExtension(&control, extension);
    return EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(length), extension);
}

// Runs giflib's steps in order and returns the code of the first that fails.
int putGif(GifFileType* gif, IndexedImage& indexed, int width, int height) {
    std::unique_ptr<ColorMapObject, decltype(&GifFreeMapObject)> map(
        GifMakeMapObject(int(indexed.palette.size()), indexed.palette.data()), GifFreeMapObject);
    if (!map)
        return E_GIF_ERR_NOT_ENOUGH_MEM;
    const bool transparent = indexed.transparent != NO_TRANSPARENT_COLOR;
    EGifSetGifVersion(gif, transparent);
    if (EGifPutScreenDesc(gif, width, height, kGifColorResolution, 0, map.get()) != GIF_OK ||
        (transparent && putTransparency(gif, indexed.transparent) != GIF_OK) ||
        EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr) != GIF_OK)
        return gif->Error;
    for (int y = 0; y < height; ++y)
        if (EGifPutLine(gif, indexed.pixels.data() + size_t(y) * size_t(width), width) != GIF_OK)
            return gif->Error;
    return E_GIF_SUCCEEDED;
}

// The picture in the colours it was stored with, when all of its shown pixels have one there and
// its hidden ones a transparent index.
std::optional<IndexedImage> inPalette(const QImage& image, bool transparent,
                                      const GifPalette& preferred) {
    if (transparent && preferred.transparent == NO_TRANSPARENT_COLOR)
        return std::nullopt;
    QHash<QRgb, GifByteType> indexOf;
    for (int i = int(preferred.colors.size()) - 1; i >= 0; --i)
        if (i != preferred.transparent)
            indexOf.insert(qRgb(preferred.colors[size_t(i)].Red, preferred.colors[size_t(i)].Green,
                                preferred.colors[size_t(i)].Blue),
                           GifByteType(i));
    IndexedImage indexed;
    indexed.palette = preferred.colors;
    indexed.pixels.reserve(size_t(image.width()) * size_t(image.height()));
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (transparent && isHidden(line[x])) {
                indexed.pixels.push_back(GifByteType(preferred.transparent));
                continue;
            }
            const auto found = indexOf.constFind(line[x] | 0xFF000000u);
            if (found == indexOf.cend())
                return std::nullopt;
            indexed.pixels.push_back(found.value());
        }
    }
    if (transparent)
        indexed.transparent = preferred.transparent;
    padPalette(indexed);
    return indexed;
}
} // namespace

std::optional<IndexedImage> indexedImage(const QImage& image, const GifPalette* preferred,
                                         bool transparent) {
    transparent = transparent || hasHiddenPixel(image);
    std::optional<IndexedImage> indexed;
    if (preferred && !preferred->colors.empty())
        indexed = inPalette(image, transparent, *preferred);
    if (!indexed)
        indexed = exactPalette(image, transparent);
    if (!indexed) {
        indexed.emplace();
        if (!quantizedPalette(image, transparent, *indexed))
            return std::nullopt;
    }
    return indexed;
}

int gifWriteToDevice(GifFileType* gif, const GifByteType* data, int length) {
    auto* device = static_cast<QIODevice*>(gif->UserData);
    return int(device->write(reinterpret_cast<const char*>(data), length));
}

QString gifFailureText(int error, const QIODevice& device) {
    const bool deviceFailed = error == E_GIF_ERR_WRITE_FAILED || error == E_GIF_ERR_DISK_IS_FULL;
    return deviceFailed ? device.errorString() : gifErrorText(error);
}

QString gifErrorText(int code) {
    const char* text = GifErrorString(code);
    return text ? QString::fromLatin1(text) : QStringLiteral("GIF error %1").arg(code);
}

bool encodeGif(const QImage& picture, QIODevice& device, QString& errorText) {
    if (picture.isNull()) {
        errorText = kEmptyImageText;
        return false;
    }
    if (picture.width() > kGifMaxSide || picture.height() > kGifMaxSide) {
        errorText = kTooLargeForGifText;
        return false;
    }
    const QImage image = picture.convertToFormat(picture.hasAlphaChannel() ? QImage::Format_ARGB32
                                                                           : QImage::Format_RGB32);
    std::optional<IndexedImage> indexed = indexedImage(image, nullptr, false);
    if (!indexed) {
        errorText = gifErrorText(E_GIF_ERR_NOT_ENOUGH_MEM);
        return false;
    }
    int error = E_GIF_SUCCEEDED;
    GifFileType* gif = EGifOpen(&device, gifWriteToDevice, &error);
    if (!gif) {
        errorText = gifErrorText(error);
        return false;
    }
    error = putGif(gif, *indexed, image.width(), image.height());
    int closeError = E_GIF_SUCCEEDED;
    if (EGifCloseFile(gif, &closeError) != GIF_OK && error == E_GIF_SUCCEEDED)
        error = closeError;
    if (error != E_GIF_SUCCEEDED)
        errorText = gifFailureText(error, device);
    return error == E_GIF_SUCCEEDED;
}
