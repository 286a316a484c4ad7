// Temporary stand-in for the codec layer while it is being built on its own branch.
#include "engine/picture.h"

#include "support/failure.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>

#include <sys/stat.h>

namespace {
class QtReader : public PictureReader {
public:
    explicit QtReader(const QString& path) : reader_(path) {
        reader_.setDecideFormatFromContent(true);
        reader_.setAutoTransform(false);
        size_ = reader_.size();
        if (!reader_.canRead())
            throw Failure(reader_.errorString());
    }
    PictureFormat format() const override { return PictureFormat::Other; }
    QSize size() const override { return size_; }
    bool hasAlpha() const override { return false; }
    const PictureMetadata& metadata() const override { return metadata_; }
    int orientation() const override { return 1; }
    bool canStream() const override { return false; }
    void readRows(uchar*, qsizetype, int) override { throw Failure("no streaming"); }
    QImage readAll() override {
        QImage image;
        if (!reader_.read(&image))
            throw Failure(reader_.errorString());
        return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32
                                                             : QImage::Format_RGB32);
    }

private:
    QImageReader reader_;
    QSize size_;
    PictureMetadata metadata_;
};

class QtRowWriter : public RowWriter {
public:
    QtRowWriter(QIODevice& device, QSize size, const char* format)
        : device_(device), image_(size, QImage::Format_RGB32), format_(format) {}
    void writeRows(const uchar* rows, qsizetype bytesPerLine, int count) override {
        for (int i = 0; i < count; ++i, ++row_)
            memcpy(image_.scanLine(row_), rows + i * bytesPerLine, size_t(image_.width()) * 4);
    }
    void finish() override {
        QImageWriter writer(&device_, format_);
        writer.setQuality(75);
        if (!writer.write(image_))
            throw Failure(device_.errorString().isEmpty() ? writer.errorString()
                                                          : device_.errorString());
    }

private:
    QIODevice& device_;
    QImage image_;
    const char* format_;
    int row_ = 0;
};
} // namespace

std::unique_ptr<PictureReader> PictureReader::open(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        throw Failure(SystemErrorText(errno));
    if (!S_ISREG(info.st_mode))
        throw Failure(kNotRegularFileText);
    return std::make_unique<QtReader>(path);
}

std::unique_ptr<RowWriter> StartJpegWriter(QIODevice& device, QSize size, const JpegSettings&,
                                           const PictureMetadata&) {
    return std::make_unique<QtRowWriter>(device, size, "jpeg");
}

std::unique_ptr<RowWriter> StartPngWriter(QIODevice& device, QSize size, bool,
                                          const PictureMetadata&) {
    return std::make_unique<QtRowWriter>(device, size, "png");
}

void WritePicture(const QImage& image, PictureFormat format, QIODevice& device,
                  const JpegSettings&, const PictureMetadata&) {
    const char* name = format == PictureFormat::Jpeg  ? "jpeg"
                       : format == PictureFormat::Png ? "png"
                       : format == PictureFormat::Bmp ? "bmp"
                       : format == PictureFormat::Tiff ? "tiff"
                                                       : "gif";
    QImageWriter writer(&device, name);
    writer.setQuality(format == PictureFormat::Jpeg ? 75 : -1);
    QImage opaque = format == PictureFormat::Png || format == PictureFormat::Tiff
                        ? image
                        : image.convertToFormat(QImage::Format_RGB32);
    if (!writer.write(opaque))
        throw Failure(device.errorString().isEmpty() ? writer.errorString()
                                                     : device.errorString());
}

int OrientationOf(const PictureMetadata&) {
    return 1;
}

PictureMetadata MetadataForOutput(const PictureMetadata& input, QSize, bool strip) {
    PictureMetadata out;
    out.icc = input.icc;
    if (!strip) {
        out.exif = input.exif;
        out.xmp = input.xmp;
        out.iptc = input.iptc;
    }
    return out;
}
