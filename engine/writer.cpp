#include "engine/writer.h"

#include "support/failure.h"

#include <QHash>
#include <QImage>
#include <QImageWriter>
#include <QSaveFile>

#include <gif_lib.h>

#include <array>
#include <cerrno>
#include <memory>
#include <new>
#include <optional>
#include <vector>

namespace {

enum class Codec { QtWriter, Giflib };

struct Encoder {
    const QString* mimeType;
    Codec codec;
    const char* qtFormat;
    int quality; // -1 keeps the encoder's own default
};

constexpr int kJpegQuality = 75;

// The encoders the program writes with, found by MIME type before every write.
const std::array<Encoder, 4> kEncoders = {{
    {&kMimeJpeg, Codec::QtWriter, "jpeg", kJpegQuality},
    {&kMimeGif, Codec::Giflib, nullptr, -1},
    {&kMimePng, Codec::QtWriter, "png", -1},
    {&kMimeTiff, Codec::QtWriter, "tiff", -1},
}};

const QString kNoEncoderText = QStringLiteral("No encoder writes the image type \"%1\"");
const QString kEmptyImageText = QStringLiteral("Image is empty");
const QString kTooLargeForGifText =
    QStringLiteral("Image is too large for GIF (at most 65535 pixels each way)");

// A GIF stores each side of the picture in 16 bits.
constexpr int kGifMaxSide = 0xFFFF;
constexpr int kGifMaxColors = 256;
constexpr int kGifColorResolution = 8;

// The program's outputs are opaque colour images, whatever format the bitmap arrived in.
QImage opaqueBitmap(const QImage& bitmap) {
    return bitmap.convertToFormat(QImage::Format_RGB32);
}

// Writes through a temporary file beside the target, which replaces the target only once the
// encoder and the file system both report success; otherwise the earlier file stays as it was.
template <typename Encode>
bool writeReplacing(const QString& path, const Encode& encode, QString& errorText) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        errorText = file.errorString();
        return false;
    }
    if (!encode(file, errorText)) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        errorText = file.errorString();
        return false;
    }
    return true;
}

bool encodeWithQt(const QImage& image, QIODevice& device, const char* format, int quality,
                  QString& errorText) {
    QImageWriter writer(&device, format);
    writer.setQuality(quality);
    if (writer.write(image))
        return true;
    errorText = writer.errorString();
    return false;
}

// A picture as palette indices, the palette padded to the power of two a GIF colour table needs.
struct IndexedImage {
    std::vector<GifColorType> palette;
    std::vector<GifByteType> pixels;
};

GifColorType gifColor(QRgb rgb) {
    return {GifByteType(qRed(rgb)), GifByteType(qGreen(rgb)), GifByteType(qBlue(rgb))};
}

// The picture with its own colours, or nothing when it has more than a GIF palette holds.
std::optional<IndexedImage> exactPalette(const QImage& image) {
    IndexedImage indexed;
    indexed.pixels.reserve(size_t(image.width()) * size_t(image.height()));
    QHash<QRgb, GifByteType> indexOf;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb rgb = line[x] | 0xFF000000u;
            auto found = indexOf.constFind(rgb);
            if (found == indexOf.cend()) {
                if (indexOf.size() == kGifMaxColors)
                    return std::nullopt;
                found = indexOf.insert(rgb, GifByteType(indexOf.size()));
                indexed.palette.push_back(gifColor(rgb));
            }
            indexed.pixels.push_back(found.value());
        }
    }
    size_t tableSize = 2; // the smallest colour table a GIF has
    while (tableSize < indexed.palette.size())
        tableSize *= 2;
    indexed.palette.resize(tableSize, GifColorType{0, 0, 0});
    return indexed;
}

// Reduces a picture of many colours to the 256 that represent it best.
bool quantizedPalette(const QImage& image, IndexedImage& indexed) {
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
    indexed.palette.assign(kGifMaxColors, GifColorType{0, 0, 0});
    indexed.pixels.resize(count);
    int colorCount = kGifMaxColors;
    return GifQuantizeBuffer(unsigned(image.width()), unsigned(image.height()), &colorCount,
                             red.data(), green.data(), blue.data(), indexed.pixels.data(),
                             indexed.palette.data()) == GIF_OK;
}

QString gifErrorText(int code) {
    const char* text = GifErrorString(code);
    return text ? QString::fromLatin1(text) : QStringLiteral("GIF error %1").arg(code);
}

int writeToDevice(GifFileType* gif, const GifByteType* data, int length) {
    auto* device = static_cast<QIODevice*>(gif->UserData);
    return int(device->write(reinterpret_cast<const char*>(data), length));
}

// Runs giflib's steps in order and returns the code of the first that fails.
int putGif(GifFileType* gif, IndexedImage& indexed, int width, int height) {
    std::unique_ptr<ColorMapObject, decltype(&GifFreeMapObject)> map(
        GifMakeMapObject(int(indexed.palette.size()), indexed.palette.data()), GifFreeMapObject);
    if (!map)
        return E_GIF_ERR_NOT_ENOUGH_MEM;
    if (EGifPutScreenDesc(gif, width, height, kGifColorResolution, 0, map.get()) != GIF_OK ||
        EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr) != GIF_OK)
        return gif->Error;
    for (int y = 0; y < height; ++y)
        if (EGifPutLine(gif, indexed.pixels.data() + size_t(y) * size_t(width), width) != GIF_OK)
            return gif->Error;
    return E_GIF_SUCCEEDED;
}

bool encodeGif(const QImage& image, QIODevice& device, QString& errorText) {
    if (image.isNull()) {
        errorText = kEmptyImageText;
        return false;
    }
    if (image.width() > kGifMaxSide || image.height() > kGifMaxSide) {
        errorText = kTooLargeForGifText;
        return false;
    }
    std::optional<IndexedImage> indexed = exactPalette(image);
    if (!indexed) {
        indexed.emplace();
        if (!quantizedPalette(image, *indexed)) {
            errorText = gifErrorText(E_GIF_ERR_NOT_ENOUGH_MEM);
            return false;
        }
    }
    int error = E_GIF_SUCCEEDED;
    GifFileType* gif = EGifOpen(&device, writeToDevice, &error);
    if (!gif) {
        errorText = gifErrorText(error);
        return false;
    }
    error = putGif(gif, *indexed, image.width(), image.height());
    int closeError = E_GIF_SUCCEEDED;
    if (EGifCloseFile(gif, &closeError) != GIF_OK && error == E_GIF_SUCCEEDED)
        error = closeError;
    if (error != E_GIF_SUCCEEDED)
        errorText = gifErrorText(error);
    return error == E_GIF_SUCCEEDED;
}

bool saveWith(const Encoder& encoder, const QImage& image, const QString& path,
              QString& errorText) {
    return writeReplacing(
        path,
        [&](QIODevice& device, QString& text) {
            if (encoder.codec == Codec::Giflib)
                return encodeGif(image, device, text);
            return encodeWithQt(image, device, encoder.qtFormat, encoder.quality, text);
        },
        errorText);
}

} // namespace

bool LookupEncoderClsid(const QString& mimeType, EncoderClsid& clsid) {
    for (size_t i = 0; i < kEncoders.size(); ++i) {
        if (mimeType.compare(*kEncoders[i].mimeType, Qt::CaseInsensitive) == 0) {
            clsid.index = int(i);
            return true;
        }
    }
    return false;
}

bool SaveBitmapWithEncoder(const QImage& bitmap, const QString& path, const QString& mimeType,
                           QString* errorText) {
    QString reason;
    bool saved = false;
    EncoderClsid clsid;
    try {
        if (!LookupEncoderClsid(mimeType, clsid))
            reason = kNoEncoderText.arg(mimeType);
        else
            saved = saveWith(kEncoders[size_t(clsid.index)], opaqueBitmap(bitmap), path, reason);
    } catch (const std::bad_alloc&) {
        reason = SystemErrorText(ENOMEM);
    }
    if (errorText)
        *errorText = saved ? QString() : reason;
    return saved;
}

void SavePicture(const QImage& bitmap, const QString& path) {
    // Qt's BMP encoder keeps an indexed bitmap at 8 bits; as RGB32 it writes the 24 bits asked for.
    const QImage image = opaqueBitmap(bitmap);
    QString reason;
    const auto encode = [&](QIODevice& device, QString& text) {
        return encodeWithQt(image, device, "bmp", -1, text);
    };
    if (!writeReplacing(path, encode, reason))
        throw Failure(reason);
}
