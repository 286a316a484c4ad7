// The PNG reader: libpng decoding rows a band at a time (interlaced ones whole), metadata chunks.
#include "engine/io/codecio.h"
#include "engine/io/libpng.h"
#include "engine/io/metadata.h"

#include "support/failure.h"

#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <optional>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

const QByteArray kExifPrefix("Exif\0\0", 6);
constexpr png_alloc_size_t kMostChunkBytes = 64 << 20;
// A file of more chunks than this is not walked for the chunks after its image data.
constexpr int kMostChunks = 1 << 20;

// A compressed text's words, or nothing when the data is not zlib's or would inflate beyond the
// largest chunk.
std::optional<QByteArray> Inflated(const QByteArray& data) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return std::nullopt;
    QByteArray out;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = uInt(data.size());
    int status = Z_OK;
    while (status == Z_OK && out.size() < qsizetype(kMostChunkBytes)) {
        char buffer[16384];
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, qsizetype(sizeof buffer - stream.avail_out));
    }
    inflateEnd(&stream);
    return status == Z_STREAM_END ? std::optional(out) : std::nullopt;
}

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
    bool canStream() const override { return passes_ == 1 && depth() == 8; }
    void readRows(uchar* rows, qsizetype bytesPerLine, int count) override;
    QImage readAll() override;
    bool gray() const override { return gray_; }
    int depth() const override { return bitDepth_ == 16 && !eightBits_ ? 16 : 8; }
    void useEightBits() override {
        if (!started_)
            eightBits_ = true;
    }
    QList<QRgb> palette() const override { return palette_; }

private:
    template <typename Step> void run(const Step& step) { runPngStep(png_, source_.errors, step); }
    void startRows();
    void setTransforms();
    void collectPalette();
    QImage readAllSixteen();
    void readImageInto(QImage& image);
    void collectMetadata();
    void collectText(const png_text& text);
    void collectText(const QByteArray& key, const QByteArray& value, bool utf8);
    void collectLaterChunks();
    void collectPixelFacts();
    void collectLaterChunk(const QByteArray& type, const QByteArray& data);
    void copyRows(uchar* rows, qsizetype bytesPerLine, int count);

    PictureFile file_;
    PngSource source_{};
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    QSize size_;
    bool alpha_ = false;
    bool gray_ = false;
    int bitDepth_ = 8;
    bool eightBits_ = false;
    bool started_ = false; // the transforms are set and rows may be read
    QList<QRgb> palette_;
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
    });
    size_ = QSize(int(png_get_image_width(png_, info_)), int(png_get_image_height(png_, info_)));
    const int colorType = png_get_color_type(png_, info_);
    alpha_ = (colorType & PNG_COLOR_MASK_ALPHA) || png_get_valid(png_, info_, PNG_INFO_tRNS);
    gray_ = (colorType & PNG_COLOR_MASK_COLOR) == 0;
    bitDepth_ = png_get_bit_depth(png_, info_);
    passes_ = png_get_interlace_type(png_, info_) == PNG_INTERLACE_NONE ? 1 : 7;
    if (colorType == PNG_COLOR_TYPE_PALETTE)
        collectPalette();
    collectMetadata();
}

// The transforms wait for the first row, so that a copy of 8 bits may still ask for them.
void PngReader::startRows() {
    if (started_)
        return;
    started_ = true;
    run([&] {
        setTransforms();
        png_read_update_info(png_, info_);
    });
}

// Every kind of PNG arrives as 8-bit blue, green, red, alpha bytes: QImage's 32-bit pixels, or
// for 16 bits kept as 16-bit red, green, blue, alpha: QImage's RGBA64. No gamma correction, as in
// Qt; 16-bit samples made 8 bits are rounded, not cut.
void PngReader::setTransforms() {
    png_set_expand(png_);
    png_set_gray_to_rgb(png_);
    if (depth() == 16) {
        useRgba64Layout(png_, alpha_);
    } else {
        png_set_scale_16(png_);
        usePixelLayout(png_, alpha_);
    }
    png_set_interlace_handling(png_);
}

void PngReader::collectPalette() {
    png_colorp colors = nullptr;
    int count = 0;
    if (!png_get_PLTE(png_, info_, &colors, &count) || !colors)
        return;
    png_bytep alphas = nullptr;
    int alphaCount = 0;
    if (!png_get_tRNS(png_, info_, &alphas, &alphaCount, nullptr) || !alphas)
        alphaCount = 0;
    for (int i = 0; i < count; ++i)
        palette_ << qRgba(colors[i].red, colors[i].green, colors[i].blue,
                          i < alphaCount ? alphas[i] : 255);
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
    collectPixelFacts();
    collectLaterChunks();
    orientation_ = OrientationOf(metadata_);
}

// The density and PNG's own colour chunks.
void PngReader::collectPixelFacts() {
    png_uint_32 x = 0, y = 0;
    int unit = 0;
    if (png_get_pHYs(png_, info_, &x, &y, &unit) && x > 0 && y > 0)
        metadata_.density = PixelDensity{unit == PNG_RESOLUTION_METER ? x * 0.0254 : double(x),
                                         unit == PNG_RESOLUTION_METER ? y * 0.0254 : double(y),
                                         unit != PNG_RESOLUTION_METER};
    PngColorChunks& color = metadata_.pngColor;
    png_fixed_point gamma = 0;
    if (png_get_gAMA_fixed(png_, info_, &gamma))
        color.gamma = quint32(gamma);
    std::array<png_fixed_point, 8> c{};
    if (png_get_cHRM_fixed(png_, info_, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]))
        color.chromaticities =
            std::array<qint32, 8>{c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]};
    int intent = 0;
    if (png_get_sRGB(png_, info_, &intent))
        color.srgbIntent = intent;
}

// XMP under its registered keyword; EXIF, IPTC and XMP as the hexadecimal "raw profiles" that
// exiv2 and ImageMagick write.
void PngReader::collectText(const png_text& text) {
    collectText(QByteArray(text.key), textOf(text), text.compression >= PNG_ITXT_COMPRESSION_NONE);
}

void PngReader::collectText(const QByteArray& key, const QByteArray& value, bool utf8) {
    if (key == "XML:com.adobe.xmp" && metadata_.xmp.isEmpty())
        metadata_.xmp = value;
    else if ((key == "Raw profile type exif" || key == "Raw profile type APP1") &&
             metadata_.exif.isEmpty())
        metadata_.exif = withoutPrefix(decodeRawProfile(value), kExifPrefix);
    else if (key == "Raw profile type iptc" && metadata_.iptc.isEmpty())
        metadata_.iptc = iptcOf(decodeRawProfile(value));
    else if (key == "Raw profile type xmp" && metadata_.xmp.isEmpty())
        metadata_.xmp = decodeRawProfile(value);
    else if (!key.startsWith("Raw profile type ") && key != "XML:com.adobe.xmp")
        metadata_.texts.append({QString::fromLatin1(key),
                                utf8 ? QString::fromUtf8(value) : QString::fromLatin1(value)});
}

// The chunks after the image data, which libpng gives only once every row is read: EXIF that
// some writers put there, and texts. They are found by walking the chunks' headers in the file,
// which leaves the position libpng reads from alone.
void PngReader::collectLaterChunks() {
    const int fd = ::fileno(source_.file);
    qint64 at = 8;
    bool pastData = false;
    for (int chunks = 0; chunks < kMostChunks; ++chunks) {
        unsigned char header[8];
        if (::pread(fd, header, 8, off_t(at)) != 8)
            return;
        const quint32 length = qFromBigEndian<quint32>(header);
        const QByteArray type(reinterpret_cast<const char*>(header + 4), 4);
        if (length > 0x7FFFFFFFu || type == "IEND")
            return;
        if (type == "IDAT")
            pastData = true;
        else if (pastData && length <= kMostChunkBytes &&
                 (type == "eXIf" || type == "tEXt" || type == "zTXt" || type == "iTXt")) {
            QByteArray data(qsizetype(length), Qt::Uninitialized);
            if (::pread(fd, data.data(), length, off_t(at + 8)) != qsizetype(length))
                return;
            collectLaterChunk(type, data);
        }
        at += 12 + qint64(length);
    }
}

void PngReader::collectLaterChunk(const QByteArray& type, const QByteArray& data) {
    if (type == "eXIf") {
        if (metadata_.exif.isEmpty())
            metadata_.exif = data;
        return;
    }
    const qsizetype keyEnd = data.indexOf('\0');
    if (keyEnd <= 0 || keyEnd > 79)
        return;
    const QByteArray key = data.left(keyEnd);
    if (type == "tEXt")
        return collectText(key, data.mid(keyEnd + 1), false);
    if (type == "zTXt") {
        const std::optional<QByteArray> text = Inflated(data.mid(keyEnd + 2));
        if (text)
            collectText(key, *text, false);
        return;
    }
    // iTXt: compressed flag, method, language tag, translated keyword, then the text.
    if (data.size() < keyEnd + 3)
        return;
    const bool compressed = data[keyEnd + 1] != 0;
    const qsizetype languageEnd = data.indexOf('\0', keyEnd + 3);
    const qsizetype translatedEnd = languageEnd < 0 ? -1 : data.indexOf('\0', languageEnd + 1);
    if (translatedEnd < 0)
        return;
    const QByteArray body = data.mid(translatedEnd + 1);
    const std::optional<QByteArray> text = compressed ? Inflated(body) : std::optional(body);
    if (text)
        collectText(key, *text, true);
}

// Rows are 8 bits whatever the picture's depth: reading them asks for 8 bits.
void PngReader::readRows(uchar* rows, qsizetype bytesPerLine, int count) {
    useEightBits();
    startRows();
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
    if (depth() == 16)
        return readAllSixteen();
    startRows();
    if (passes_ == 1)
        return PictureReader::readAll();
    QImage image = newPicture(size_, alpha_);
    readImageInto(image);
    return image;
}

// The whole picture at 16 bits a channel: RGBA64, opaque where the PNG has no alpha.
QImage PngReader::readAllSixteen() {
    startRows();
    QImage image(size_, QImage::Format_RGBA64);
    if (image.isNull())
        throw Failure(size_.isEmpty() ? kEmptyImageText : SystemErrorText(ENOMEM));
    useDefaultResolution(image);
    readImageInto(image);
    return image;
}

// Every row at once, into a picture of the size and layout the transforms give.
void PngReader::readImageInto(QImage& image) {
    std::vector<png_bytep> rows(size_t(image.height()));
    for (int y = 0; y < image.height(); ++y)
        rows[size_t(y)] = image.scanLine(y);
    run([&] {
        png_read_image(png_, rows.data());
        png_read_end(png_, nullptr);
    });
    rowsRead_ = size_.height();
}

} // namespace

std::unique_ptr<PictureReader> openPng(PictureFile file) {
    return readerWithHeader<PngReader>(std::move(file));
}
