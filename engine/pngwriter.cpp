#include "engine/codecio.h"
#include "engine/metadataio.h"
#include "engine/pngcommon.h"

#include "support/failure.h"

#include <QIODevice>

#include <cerrno>
#include <vector>

namespace {

// The device libpng writes to, and where its errors are kept.
struct PngSink {
    QIODevice* device;
    PngErrors errors;
    QString reason;
};

// False, with the device's reason kept, when the device takes fewer bytes than it was given.
bool writeAll(PngSink& sink, const char* data, qint64 length) {
    if (sink.device->write(data, length) == length)
        return true;
    const QString reason = sink.device->errorString();
    sink.reason = reason.isEmpty() ? SystemErrorText(EIO) : reason;
    return false;
}

// libpng's error jumps out of this function: it keeps no C++ object whose destructor would be
// skipped.
void writeToDevice(png_structp png, png_bytep data, size_t length) {
    auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
    if (!writeAll(*sink, reinterpret_cast<const char*>(data), qint64(length)))
        png_error(png, "write failed");
}

void flushNothing(png_structp) {}

// The text chunks: XMP under its registered keyword, uncompressed as readers expect it; IPTC as
// the compressed hexadecimal "raw profile" that exiv2 writes and reads.
struct PngTexts {
    QByteArray xmp;
    QByteArray iptc;
    std::vector<png_text> chunks;

    explicit PngTexts(const PictureMetadata& metadata) : xmp(metadata.xmp) {
        if (!metadata.iptc.isEmpty())
            iptc = encodeRawProfile(photoshopFromIptc(metadata.iptc), "iptc");
        if (!xmp.isEmpty())
            chunks.push_back(chunk(PNG_ITXT_COMPRESSION_NONE, "XML:com.adobe.xmp", xmp));
        if (!iptc.isEmpty())
            chunks.push_back(chunk(PNG_TEXT_COMPRESSION_zTXt, "Raw profile type iptc", iptc));
    }

    static png_text chunk(int compression, const char* key, QByteArray& text) {
        png_text chunk{};
        chunk.compression = compression;
        chunk.key = const_cast<char*>(key);
        chunk.text = text.data();
        chunk.text_length = size_t(text.size());
        return chunk;
    }
};

class PngRowWriter final : public RowWriter {
public:
    explicit PngRowWriter(QIODevice& device) {
        sink_.device = &device;
        sink_.errors = {{}, false, &sink_.reason};
    }
    ~PngRowWriter() override { png_destroy_write_struct(&png_, &info_); }

    void start(QSize size, bool alpha, const PictureMetadata& metadata);
    void writeRows(const uchar* rows, qsizetype bytesPerLine, int count) override {
        run([&] {
            for (int y = 0; y < count; ++y)
                png_write_row(png_, rows + y * bytesPerLine);
        });
    }
    void finish() override {
        run([&] { png_write_end(png_, nullptr); });
    }

private:
    template <typename Step> void run(const Step& step) { runPngStep(png_, sink_.errors, step); }
    void setMetadata(const PictureMetadata& metadata, PngTexts& texts);

    PngSink sink_{};
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};

void PngRowWriter::setMetadata(const PictureMetadata& metadata, PngTexts& texts) {
    if (!metadata.exif.isEmpty())
        png_set_eXIf_1(png_, info_, png_uint_32(metadata.exif.size()),
                       reinterpret_cast<png_bytep>(const_cast<char*>(metadata.exif.constData())));
    if (!texts.chunks.empty())
        png_set_text(png_, info_, texts.chunks.data(), int(texts.chunks.size()));
    if (!metadata.icc.isEmpty())
        png_set_iCCP(png_, info_, "ICC Profile", PNG_COMPRESSION_TYPE_BASE,
                     reinterpret_cast<png_const_bytep>(metadata.icc.constData()),
                     png_uint_32(metadata.icc.size()));
}

// 8-bit RGB, or RGBA for a picture with transparency, at libpng's defaults (zlib level 6 with
// adaptive filters), as Qt's writer wrote before: lower levels were measured to save time on
// photographs but to grow flat graphics by up to a quarter.
void PngRowWriter::start(QSize size, bool alpha, const PictureMetadata& metadata) {
    png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink_.errors, pngErrorHandler,
                                   pngWarningHandler);
    info_ = png_ ? png_create_info_struct(png_) : nullptr;
    if (!info_)
        throw Failure(SystemErrorText(ENOMEM));
    PngTexts texts(metadata);
    run([&] {
        png_set_write_fn(png_, &sink_, writeToDevice, flushNothing);
        png_set_IHDR(png_, info_, png_uint_32(size.width()), png_uint_32(size.height()), 8,
                     alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        setMetadata(metadata, texts);
        png_write_info(png_, info_);
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
        png_set_bgr(png_);
        if (!alpha)
            png_set_filler(png_, 0, PNG_FILLER_AFTER);
#else
        if (alpha)
            png_set_swap_alpha(png_);
        else
            png_set_filler(png_, 0, PNG_FILLER_BEFORE);
#endif
    });
}

} // namespace

std::unique_ptr<RowWriter> StartPngWriter(QIODevice& device, QSize size, bool alpha,
                                          const PictureMetadata& metadata) {
    auto writer = std::make_unique<PngRowWriter>(device);
    writer->start(size, alpha, metadata);
    return writer;
}
