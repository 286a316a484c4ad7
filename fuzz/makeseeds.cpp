// Writes small pictures of every format the program reads, made as the codec tests make them,
// into the folder named: the seeds of the stamping fuzz target, beside the PngSuite files.
#include "engine/io/picturereader.h"
#include "tests/codecsamples.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QImageWriter>

#include <cstdio>

namespace {

// Small, so that each of them is stamped in a few milliseconds; odd sizes, so that no row or
// block ends evenly.
constexpr int kWidth = 37, kHeight = 23;

// A JPEG from a camera: EXIF with orientation 6 and a thumbnail, XMP, IPTC and a colour profile.
QByteArray cameraJpeg(const QString& folder) {
    const QString path = QDir(folder).filePath(QStringLiteral("camera.jpg"));
    writeFile(path, makeJpeg(photoLike(kWidth, kHeight), 2, 2));
    addSampleMetadata(path);
    return readFile(path);
}

QByteArray byQt(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    return writer.write(image) ? bytes : QByteArray();
}

QList<std::pair<QString, QByteArray>> seeds(const QString& folder) {
    const QImage photo = photoLike(kWidth, kHeight);
    const QImage clear = withTransparency(40).scaled(kWidth, kHeight);
    const PictureMetadata camera = MetadataForOutput(
        PictureReader::open(QDir(folder).filePath(QStringLiteral("camera.jpg")))->metadata(),
        QSize(kWidth, kHeight), false);
    return {
        {"420.jpg", makeJpeg(photo, 2, 2)},
        {"444.jpg", makeJpeg(photo, 1, 1, 95)},
        {"422.jpg", makeJpeg(photo, 2, 1, 40)},
        {"gray.jpg", makeJpeg(photo, 1, 1, 85, JpegKind::Gray)},
        {"progressive.jpg", makeJpeg(photo, 2, 2, 85, JpegKind::Progressive)},
        {"cmyk.jpg", makeJpeg(photo, 2, 2, 85, JpegKind::AdobeCmyk)},
        {"photo.png", encoded(photo, PictureFormat::Png)},
        {"alpha.png", encoded(clear, PictureFormat::Png)},
        {"metadata.png", encoded(photo, PictureFormat::Png, camera)},
        {"photo.gif", encoded(photo, PictureFormat::Gif)},
        {"alpha.gif", encoded(clear, PictureFormat::Gif)},
        {"photo.bmp", encoded(photo, PictureFormat::Bmp)},
        {"rle8.bmp", makeRle8Bmp(photo)},
        {"photo.tif", encoded(photo, PictureFormat::Tiff)},
        {"alpha.tif", encoded(clear, PictureFormat::Tiff)},
        {"metadata.tif", encoded(photo, PictureFormat::Tiff, camera)},
        {"icon.ico", byQt(clear, "ico")},
        {"photo.webp", byQt(photo, "webp")},
        {"photo.ppm", byQt(photo, "ppm")},
        {"photo.xpm", byQt(photo.convertToFormat(QImage::Format_Indexed8), "xpm")},
    };
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const QString folder = QFile::decodeName(argv[1]);
    QDir().mkpath(folder);
    cameraJpeg(folder);
    for (const auto& [name, bytes] : seeds(folder)) {
        if (bytes.isEmpty()) {
            std::fprintf(stderr, "%s: cannot be made\n", qPrintable(name));
            return 1;
        }
        writeFile(QDir(folder).filePath(name), bytes);
    }
    return 0;
}
