#include "engine/writer.h"

#include "engine/gifcodec.h"
#include "support/failure.h"

#include <QImage>
#include <QImageWriter>
#include <QSaveFile>

#include <array>
#include <cerrno>
#include <new>

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
