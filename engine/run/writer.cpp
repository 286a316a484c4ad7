#include "engine/run/writer.h"

#include "engine/run/outputfile.h"
#include "engine/io/picture.h"
#include "support/failure.h"

#include <QImage>

#include <array>
#include <cerrno>
#include <new>

namespace {
struct Encoder {
    const QString* mimeType;
    PictureFormat format;
};

// The encoders the program writes with, found by MIME type before every write.
const std::array<Encoder, 4> kEncoders = {{
    {&kMimeJpeg, PictureFormat::Jpeg},
    {&kMimeGif, PictureFormat::Gif},
    {&kMimePng, PictureFormat::Png},
    {&kMimeTiff, PictureFormat::Tiff},
}};

const QString kNoEncoderText = QStringLiteral("No encoder writes the image type \"%1\"");

// Encodes into a temporary file that replaces the target only once it is complete.
void Save(const QImage& bitmap, const QString& path, PictureFormat format) {
    OutputFile file(path);
    // The program's outputs are opaque colour images, whatever format the bitmap arrived in.
    WritePicture(bitmap.convertToFormat(QImage::Format_RGB32), format, file, JpegSettings{},
                 PictureMetadata{});
    file.commit();
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
        if (!LookupEncoderClsid(mimeType, clsid)) {
            reason = kNoEncoderText.arg(mimeType);
        } else {
            Save(bitmap, path, kEncoders[size_t(clsid.index)].format);
            saved = true;
        }
    } catch (const Failure& failure) {
        reason = failure.text();
    } catch (const std::bad_alloc&) {
        reason = SystemErrorText(ENOMEM);
    }
    if (errorText)
        *errorText = saved ? QString() : reason;
    return saved;
}

void SavePicture(const QImage& bitmap, const QString& path) {
    Save(bitmap, path, PictureFormat::Bmp);
}
