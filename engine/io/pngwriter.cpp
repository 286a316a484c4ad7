// The PNG writer: libpng encoding rows a band at a time, compressed as the first rows suit.
#include "engine/io/codecio.h"
#include "engine/io/libpng.h"
#include "engine/io/metadata.h"

#include "support/failure.h"

#include <QIODevice>

#include <cmath>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
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
// The picture's other texts (Author, Copyright, a JPEG's comment ...) follow under their own
// keywords: in Latin-1 where they can be, else as UTF-8 international text.
struct PngTexts {
    QByteArray xmp;
    QByteArray iptc;
    std::vector<QByteArray> held; // the keywords and words of the other texts, kept alive
    std::vector<png_text> chunks;

    explicit PngTexts(const PictureMetadata& metadata) : xmp(metadata.xmp) {
        if (!metadata.iptc.isEmpty())
            iptc = encodeRawProfile(photoshopFromIptc(metadata.iptc), "iptc");
        if (!xmp.isEmpty())
            chunks.push_back(chunk(PNG_ITXT_COMPRESSION_NONE, "XML:com.adobe.xmp", xmp));
        if (!iptc.isEmpty())
            chunks.push_back(chunk(PNG_TEXT_COMPRESSION_zTXt, "Raw profile type iptc", iptc));
        held.reserve(2 * size_t(metadata.texts.size()));
        for (const PictureText& text : metadata.texts) {
            const QByteArray key = text.key.toLatin1();
            // A keyword is 1 to 79 printable Latin-1 characters.
            if (key.isEmpty() || key.size() > 79 || QString::fromLatin1(key) != text.key)
                continue;
            const bool latin1 = QString::fromLatin1(text.text.toLatin1()) == text.text;
            held.push_back(key);
            const char* keyData = held.back().constData();
            held.push_back(latin1 ? text.text.toLatin1() : text.text.toUtf8());
            chunks.push_back(chunk(latin1 ? PNG_TEXT_COMPRESSION_NONE : PNG_ITXT_COMPRESSION_NONE,
                                   keyData, held.back()));
        }
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

// The rows a writer looks at before it chooses how to compress the whole picture.
constexpr int kSampleRows = 64;

// What a PNG copy stores and the rows it is given: 8-bit RGB or RGBA from QImage's 32-bit
// pixels (grey, or grey and alpha, for a grey copy, whose pixels have equal channels), 16-bit RGB
// or RGBA from its RGBA64 or RGBX64, or indices into a palette from its Indexed8, packed into the
// fewest bits that hold the palette.
class PngShape {
public:
    static PngShape rgb(QSize size, bool alpha, int bitDepth, bool gray = false) {
        PngShape shape;
        shape.size_ = size;
        shape.alpha_ = alpha;
        shape.bitDepth_ = bitDepth;
        shape.gray_ = gray;
        return shape;
    }
    bool gray() const { return gray_; }
    static PngShape indexed(QSize size, const QList<QRgb>& palette) {
        PngShape shape;
        shape.size_ = size;
        shape.palette_ = palette;
        shape.bitDepth_ = palette.size() <= 2    ? 1
                          : palette.size() <= 4  ? 2
                          : palette.size() <= 16 ? 4
                                                 : 8;
        return shape;
    }

    QSize size() const { return size_; }
    // The same pixels for a picture of fewer rows: the first rows alone.
    PngShape withHeight(int height) const {
        PngShape shape = *this;
        shape.size_.setHeight(height);
        return shape;
    }
    // The bytes a row given takes.
    qsizetype rowBytes() const {
        const qsizetype perPixel = !palette_.isEmpty() ? 1 : bitDepth_ == 16 ? 8 : 4;
        return qsizetype(size_.width()) * perPixel;
    }

    // The header and palette, before png_write_info.
    void describe(png_structp png, png_infop info, std::vector<png_color>& colors,
                  std::vector<png_byte>& alphas) const {
        const int colorType = !palette_.isEmpty() ? PNG_COLOR_TYPE_PALETTE
                              : gray_ ? (alpha_ ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_GRAY)
                              : alpha_ ? PNG_COLOR_TYPE_RGB_ALPHA
                                       : PNG_COLOR_TYPE_RGB;
        png_set_IHDR(png, info, png_uint_32(size_.width()), png_uint_32(size_.height()), bitDepth_,
                     colorType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                     PNG_FILTER_TYPE_DEFAULT);
        if (palette_.isEmpty())
            return;
        colors.clear();
        alphas.clear();
        for (const QRgb color : palette_) {
            colors.push_back(
                png_color{png_byte(qRed(color)), png_byte(qGreen(color)), png_byte(qBlue(color))});
            alphas.push_back(png_byte(qAlpha(color)));
        }
        png_set_PLTE(png, info, colors.data(), int(colors.size()));
        // The alphas up to the last colour not opaque; the colours after it are.
        while (!alphas.empty() && alphas.back() == 255)
            alphas.pop_back();
        if (!alphas.empty())
            png_set_tRNS(png, info, alphas.data(), int(alphas.size()), nullptr);
    }

    // How the rows given become the file's, after png_write_info.
    void useLayout(png_structp png) const {
        if (!palette_.isEmpty()) {
            if (bitDepth_ < 8)
                png_set_packing(png);
        } else if (bitDepth_ == 16 && gray_) {
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
            png_set_swap(png);
#endif
        } else if (bitDepth_ == 16) {
            useRgba64Layout(png, alpha_);
        } else if (!gray_) {
            usePixelLayout(png, alpha_);
        }
    }

    // A row as libpng takes it: a grey copy's grey level (and alpha) alone, in `packed`, which
    // holds a row of two samples a pixel; any other row as given.
    const uchar* row(const uchar* given, std::vector<uchar>& packed) const {
        if (!gray_)
            return given;
        if (bitDepth_ == 16) {
            packed.resize(size_t(size_.width()) * 4);
            const auto* pixels = reinterpret_cast<const QRgba64*>(given);
            auto* to = reinterpret_cast<quint16*>(packed.data());
            for (int x = 0; x < size_.width(); ++x) {
                *to++ = pixels[x].red();
                if (alpha_)
                    *to++ = pixels[x].alpha();
            }
            return packed.data();
        }
        packed.resize(size_t(size_.width()) * 2);
        const auto* pixels = reinterpret_cast<const QRgb*>(given);
        uchar* to = packed.data();
        for (int x = 0; x < size_.width(); ++x) {
            *to++ = uchar(qRed(pixels[x]));
            if (alpha_)
                *to++ = uchar(qAlpha(pixels[x]));
        }
        return packed.data();
    }

private:
    QSize size_;
    bool alpha_ = false;
    bool gray_ = false;
    int bitDepth_ = 8;
    QList<QRgb> palette_;
};

void countOnly(png_structp png, png_bytep, size_t length) {
    *static_cast<size_t*>(png_get_io_ptr(png)) += length;
}

// How zlib compresses the filtered rows; -1 keeps libpng's default (level 6, its own strategy).
struct Compression {
    int level = -1;
    int strategy = -1;
};
constexpr Compression kFullSearch{};
constexpr Compression kRuns{-1, Z_RLE};

void setCompression(png_structp png, Compression compression) {
    if (compression.level >= 0)
        png_set_compression_level(png, compression.level);
    if (compression.strategy >= 0)
        png_set_compression_strategy(png, compression.strategy);
}

// The bytes the rows take as a PNG compressed that way.
size_t compressedSize(const std::vector<uchar>& rows, const PngShape& shape,
                      Compression compression) {
    PngErrors errors{{}, false, nullptr};
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &errors, pngErrorHandler, pngWarningHandler);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    size_t size = 0;
    const qsizetype bytesPerLine = shape.rowBytes();
    const int height = int(qsizetype(rows.size()) / bytesPerLine);
    const PngShape sample = shape.withHeight(height);
    std::vector<png_color> colors;
    std::vector<png_byte> alphas;
    if (info && setjmp(png_jmpbuf(png)) == 0) {
        png_set_write_fn(png, &size, countOnly, flushNothing);
        sample.describe(png, info, colors, alphas);
        setCompression(png, compression);
        png_write_info(png, info);
        sample.useLayout(png);
        std::vector<uchar> packed;
        for (int y = 0; y < height; ++y)
            png_write_row(png, sample.row(rows.data() + y * bytesPerLine, packed));
        png_write_end(png, nullptr);
    } else {
        size = std::numeric_limits<size_t>::max();
    }
    png_destroy_write_struct(&png, &info);
    return size;
}

class PngRowWriter final : public RowWriter {
public:
    explicit PngRowWriter(QIODevice& device) {
        sink_.device = &device;
        sink_.errors = {{}, false, &sink_.reason};
    }
    ~PngRowWriter() override { png_destroy_write_struct(&png_, &info_); }

    void start(const PngShape& shape, const PictureMetadata& metadata) {
        shape_ = shape;
        metadata_ = metadata;
    }
    void writeRows(const uchar* rows, qsizetype bytesPerLine, int count) override;
    void finish() override {
        if (!png_)
            begin();
        run([&] { png_write_end(png_, nullptr); });
    }

private:
    template <typename Step> void run(const Step& step) { runPngStep(png_, sink_.errors, step); }
    void begin();
    void setMetadata(const PictureMetadata& metadata, PngTexts& texts);
    void writeDirect(const uchar* rows, qsizetype bytesPerLine, int count) {
        run([&] {
            for (int y = 0; y < count; ++y)
                png_write_row(png_, shape_.row(rows + y * bytesPerLine, packed_));
        });
    }

    PngSink sink_{};
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    PngShape shape_;
    std::vector<png_color> colors_; // the palette's, alive until the header is written
    std::vector<png_byte> alphas_;
    std::vector<uchar> packed_; // one grey row
    PictureMetadata metadata_;
    // The first rows, held until the compression is chosen.
    std::vector<uchar> sample_;
};

void PngRowWriter::writeRows(const uchar* rows, qsizetype bytesPerLine, int count) {
    if (png_) {
        writeDirect(rows, bytesPerLine, count);
        return;
    }
    const qsizetype rowBytes = shape_.rowBytes();
    for (int y = 0; y < count; ++y)
        sample_.insert(sample_.end(), rows + y * bytesPerLine, rows + y * bytesPerLine + rowBytes);
    const qsizetype held = qsizetype(sample_.size()) / rowBytes;
    if (held >= std::min(kSampleRows, shape_.size().height()))
        begin();
}

void PngRowWriter::setMetadata(const PictureMetadata& metadata, PngTexts& texts) {
    if (!metadata.exif.isEmpty())
        png_set_eXIf_1(png_, info_, png_uint_32(metadata.exif.size()),
                       reinterpret_cast<png_bytep>(const_cast<char*>(metadata.exif.constData())));
    if (!texts.chunks.empty())
        png_set_text(png_, info_, texts.chunks.data(), int(texts.chunks.size()));
    const bool profile = !metadata.icc.isEmpty() && PngProfileRefusal(metadata.icc, shape_.gray()).isEmpty();
    if (profile)
        png_set_iCCP(png_, info_, "ICC Profile", PNG_COMPRESSION_TYPE_BASE,
                     reinterpret_cast<png_const_bytep>(metadata.icc.constData()),
                     png_uint_32(metadata.icc.size()));
    if (const std::optional<PixelDensity>& density = metadata.density) {
        const double perUnit = density->aspectOnly ? 1 : 1 / 0.0254;
        png_set_pHYs(png_, info_, png_uint_32(std::lround(density->x * perUnit)),
                     png_uint_32(std::lround(density->y * perUnit)),
                     density->aspectOnly ? PNG_RESOLUTION_UNKNOWN : PNG_RESOLUTION_METER);
    }
    const PngColorChunks& color = metadata.pngColor;
    if (color.gamma)
        png_set_gAMA_fixed(png_, info_, png_fixed_point(*color.gamma));
    if (const auto& c = color.chromaticities)
        png_set_cHRM_fixed(png_, info_, (*c)[0], (*c)[1], (*c)[2], (*c)[3], (*c)[4], (*c)[5],
                           (*c)[6], (*c)[7]);
    // The sRGB chunk and a profile exclude each other; the profile says more.
    if (color.srgbIntent && !profile)
        png_set_sRGB(png_, info_, *color.srgbIntent);
}

// How the whole picture is compressed, from its first rows. Photographs, whose filtered rows hold
// few long repeats, mostly compress as small and several times faster by runs alone (Z_RLE);
// flat graphics and text keep zlib's full search (level 6, what Qt's writer used), which finds
// their repeats. Runs are taken when they cost at most 3 % more on the first rows. Measured on
// photographs, lower levels or a wider margin grow the copies that the first rows misjudge by
// up to a tenth, and flat graphics by a fifth.
Compression chooseCompression(const std::vector<uchar>& sample, const PngShape& shape) {
    if (sample.empty())
        return kFullSearch;
    const double full = double(compressedSize(sample, shape, kFullSearch));
    const double runs = double(compressedSize(sample, shape, kRuns));
    return runs <= 1.03 * full ? kRuns : kFullSearch;
}

// RGB, or RGBA for a picture with transparency, or a palette, with adaptive filters, as Qt's
// writer wrote before, compressed as the first rows say.
void PngRowWriter::begin() {
    const qsizetype rowBytes = shape_.rowBytes();
    const Compression compression = chooseCompression(sample_, shape_);
    png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink_.errors, pngErrorHandler,
                                   pngWarningHandler);
    info_ = png_ ? png_create_info_struct(png_) : nullptr;
    if (!info_)
        throw Failure(SystemErrorText(ENOMEM));
    PngTexts texts(metadata_);
    run([&] {
        png_set_write_fn(png_, &sink_, writeToDevice, flushNothing);
        shape_.describe(png_, info_, colors_, alphas_);
        setCompression(png_, compression);
        setMetadata(metadata_, texts);
        png_write_info(png_, info_);
        shape_.useLayout(png_);
    });
    std::vector<uchar> sample = std::move(sample_);
    writeDirect(sample.data(), rowBytes,
                int(qsizetype(sample.size()) / std::max<qsizetype>(rowBytes, 1)));
}

} // namespace

std::unique_ptr<RowWriter> StartPngWriter(QIODevice& device, QSize size, bool alpha,
                                          const PictureMetadata& metadata, bool gray) {
    auto writer = std::make_unique<PngRowWriter>(device);
    writer->start(PngShape::rgb(size, alpha, 8, gray), metadata);
    return writer;
}

void writePng(const QImage& image, QIODevice& device, const PictureMetadata& metadata,
              bool gray) {
    PngRowWriter writer(device);
    if (image.format() == QImage::Format_Indexed8)
        writer.start(PngShape::indexed(image.size(), image.colorTable()), metadata);
    else
        writer.start(
            PngShape::rgb(image.size(), image.format() == QImage::Format_RGBA64, 16, gray),
            metadata);
    writeRowsOf(writer, image);
}

namespace {
// The first warning is kept where an error's words go: it says why a profile was left out.
void noteWarning(png_structp png, png_const_charp text) {
    auto* errors = static_cast<PngErrors*>(png_get_error_ptr(png));
    if (errors->message[0] == '\0') {
        std::strncpy(errors->message, text ? text : "", sizeof errors->message - 1);
        errors->message[sizeof errors->message - 1] = '\0';
    }
}
} // namespace

QString PngProfileRefusal(const QByteArray& icc, bool gray) {
    // libpng judges a profile as it is set: with its benign errors turned into warnings it leaves
    // out a profile it refuses instead of failing the picture, and says why.
    PngErrors errors{{}, false, nullptr};
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &errors, pngErrorHandler, noteWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    QString refusal;
    if (!info) {
        refusal = SystemErrorText(ENOMEM);
    } else if (setjmp(png_jmpbuf(png)) == 0) {
        png_set_benign_errors(png, 1);
        png_set_IHDR(png, info, 1, 1, 8, gray ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_set_iCCP(png, info, "ICC Profile", PNG_COMPRESSION_TYPE_BASE,
                     reinterpret_cast<png_const_bytep>(icc.constData()), png_uint_32(icc.size()));
        if (png_get_valid(png, info, PNG_INFO_iCCP) == 0)
            refusal = errors.message[0] ? QString::fromLatin1(errors.message)
                                        : QStringLiteral("refused by libpng");
    } else {
        refusal = QString::fromLatin1(errors.message);
    }
    png_destroy_write_struct(&png, &info);
    return refusal;
}
