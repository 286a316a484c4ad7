// The PNG reader: libpng decoding rows a band at a time (interlaced ones whole), metadata chunks.
#include "engine/io/codecio.h"
#include "engine/io/libpng.h"
#include "engine/io/metadata.h"

#include "support/failure.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

const QByteArray kExifPrefix("Exif\0\0", 6);
constexpr png_alloc_size_t kMostChunkBytes = 64 << 20;

// The file libpng reads from, and where its errors are kept.
struct PngSource {
    std::FILE* file;
    PngErrors errors;
};

void readFromFile(png_structp png, png_bytep data, size_t length) {
    auto* source = static_cast<PngSource*>(png_get_io_ptr(png));
    if (std::fread(data, 1, length, source->file) == length)
        return;
    if (std::ferror(source->file))
        png_error(png, std::strerror(errno));
    source->errors.endedEarly = true;
    png_error(png, "end of file");
}

QByteArray textOf(const png_text& text) {
    const size_t length =
        text.compression >= PNG_ITXT_COMPRESSION_NONE ? text.itxt_length : text.text_length;
    return QByteArray(text.text, qsizetype(length));
}

QByteArray withoutPrefix(const QByteArray& data, const QByteArray& prefix) {
    return data.startsWith(prefix) ? data.mid(prefix.size()) : data;
}

// IPTC written by exiv2 and ImageMagick comes as Photoshop resources; some writers store the
// bare data sets, which begin with their tag marker 0x1C.
QByteArray iptcOf(const QByteArray& profile) {
    return profile.startsWith('\x1C') ? profile : iptcFromPhotoshop(profile);
}

class PngReader final : public PictureReader {
public:
    explicit PngReader(PictureFile file) : file_(std::move(file)) {
        source_.file = file_.get();
        source_.errors = {{}, false, nullptr};
    }
    ~PngReader() override { png_destroy_read_struct(&png_, &info_, nullptr); }

    void readHeader();

    PictureFormat format() const override { return PictureFormat::Png; }
    QSize size() const override { return size_; }
    bool hasAlpha() const override { return alpha_; }
    const PictureMetadata& metadata() const override { return metadata_; }
    int orientation() const override { return orientation_; }
    bool canStream() const override { return passes_ == 1; }
    void readRows(uchar* rows, qsizetype bytesPerLine, int count) override;
    QImage readAll() override;

private:
    template <typename Step> void run(const Step& step) { runPngStep(png_, source_.errors, step); }
    void setTransforms();
    void collectMetadata();
    void collectText(const png_text& text);
    void copyRows(uchar* rows, qsizetype bytesPerLine, int count);

    PictureFile file_;
    PngSource source_{};
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    QSize size_;
    bool alpha_ = false;
    int passes_ = 1;
    int rowsRead_ = 0;
    PictureMetadata metadata_;
    int orientation_ = 1;
    HeldRows held_;
};

void PngReader::readHeader() {
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, &source_.errors, pngErrorHandler,
                                  pngWarningHandler);
    info_ = png_ ? png_create_info_struct(png_) : nullptr;
    if (!info_)
        throw Failure(SystemErrorText(ENOMEM));
    // Beyond libpng's 8 MB, for the XMP of an editor that keeps its whole history; no photograph's
    // metadata comes near it. Image data has a limit of its own, from the picture's size.
    png_set_chunk_malloc_max(png_, kMostChunkBytes);
    run([&] {
        png_set_read_fn(png_, &source_, readFromFile);
        png_read_info(png_, info_);
        setTransforms();
        png_read_update_info(png_, info_);
    });
    size_ = QSize(int(png_get_image_width(png_, info_)), int(png_get_image_height(png_, info_)));
    collectMetadata();
}

// Every kind of PNG arrives as 8-bit blue, green, red, alpha bytes: QImage's 32-bit pixels. No
// gamma correction, as in Qt; 16-bit samples are rounded to 8 bits, not cut.
void PngReader::setTransforms() {
    const int colorType = png_get_color_type(png_, info_);
    alpha_ = (colorType & PNG_COLOR_MASK_ALPHA) || png_get_valid(png_, info_, PNG_INFO_tRNS);
    png_set_expand(png_);
    png_set_scale_16(png_);
    png_set_gray_to_rgb(png_);
    usePixelLayout(png_, alpha_);
    passes_ = png_set_interlace_handling(png_);
}

void PngReader::collectMetadata() {
    png_bytep exif = nullptr;
    png_uint_32 exifLength = 0;
    if (png_get_eXIf_1(png_, info_, &exifLength, &exif) && exif)
        metadata_.exif = QByteArray(reinterpret_cast<const char*>(exif), qsizetype(exifLength));
    png_textp texts = nullptr;
    const int count = png_get_text(png_, info_, &texts, nullptr);
    for (int i = 0; i < count; ++i)
        collectText(texts[i]);
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 profileLength = 0;
    if (png_get_iCCP(png_, info_, &name, &compression, &profile, &profileLength) && profile)
        metadata_.icc =
            QByteArray(reinterpret_cast<const char*>(profile), qsizetype(profileLength));
    orientation_ = OrientationOf(metadata_);
}

// XMP under its registered keyword; EXIF, IPTC and XMP as the hexadecimal "raw profiles" that
// exiv2 and ImageMagick write.
void PngReader::collectText(const png_text& text) {
    const QByteArray key(text.key);
    if (key == "XML:com.adobe.xmp" && metadata_.xmp.isEmpty())
        metadata_.xmp = textOf(text);
    else if ((key == "Raw profile type exif" || key == "Raw profile type APP1") &&
             metadata_.exif.isEmpty())
        metadata_.exif = withoutPrefix(decodeRawProfile(textOf(text)), kExifPrefix);
    else if (key == "Raw profile type iptc" && metadata_.iptc.isEmpty())
        metadata_.iptc = iptcOf(decodeRawProfile(textOf(text)));
    else if (key == "Raw profile type xmp" && metadata_.xmp.isEmpty())
        metadata_.xmp = decodeRawProfile(textOf(text));
}

void PngReader::readRows(uchar* rows, qsizetype bytesPerLine, int count) {
    if (passes_ > 1)
        return copyRows(rows, bytesPerLine, count);
    if (count > size_.height() - rowsRead_)
        failDataEndsEarly();
    run([&] {
        for (int y = 0; y < count; ++y)
            png_read_row(png_, rows + y * bytesPerLine, nullptr);
    });
    rowsRead_ += count;
    // The end of the image data and the chunks after it: a file cut there is cut all the same.
    if (rowsRead_ == size_.height())
        run([&] { png_read_end(png_, nullptr); });
}

// An interlaced picture is complete only after its last pass: rows are handed out from the whole.
void PngReader::copyRows(uchar* rows, qsizetype bytesPerLine, int count) {
    held_.copy(*this, rows, bytesPerLine, count);
}

QImage PngReader::readAll() {
    if (passes_ == 1)
        return PictureReader::readAll();
    QImage image = newPicture(size_, alpha_);
    std::vector<png_bytep> rows(size_t(image.height()));
    for (int y = 0; y < image.height(); ++y)
        rows[size_t(y)] = image.scanLine(y);
    run([&] {
        png_read_image(png_, rows.data());
        png_read_end(png_, nullptr);
    });
    rowsRead_ = size_.height();
    return image;
}

} // namespace

std::unique_ptr<PictureReader> openPng(PictureFile file) {
    return readerWithHeader<PngReader>(std::move(file));
}
