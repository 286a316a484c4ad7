// The TIFF reader: libtiff on the file's descriptor. RGB, RGBA, grey (with or without alpha),
// 8-bit palette and 8-bit CMYK pages of 8 or 16 bits a sample, stored in strips or tiles with
// their samples together, are read sample by sample; every other kind (YCbCr, CMYK with alpha,
// bilevel, 2- and 4-bit, separate planes, floating-point samples) through libtiff's RGBA
// interface, at 8 bits.
#include "engine/io/codecio.h"
#include "engine/io/colourprofile.h"
#include "engine/io/libtiff.h"
#include "engine/io/metadata.h"

#include "support/failure.h"

#include <QIODevice>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <vector>

namespace {

const QString kUnreadableText = QStringLiteral("libtiff could not read the picture's pixels");
const QString kHugeTileText =
    QStringLiteral("the picture declares tiles of %1 x %2 pixels, far larger than itself");
const QString kHugeSizeText =
    QStringLiteral("the picture declares a size of %1 x %2 pixels, more than a picture can have");

// What one page (directory) holds and how it is read.
struct TiffPage {
    tdir_t directory = 0;
    QSize size;
    uint16_t samples = 1;
    uint16_t bits = 8;
    uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    int colours = 1;         // colour samples before the extra ones
    bool alpha = false;      // the first extra sample is alpha
    bool associated = false; // and premultiplied
    bool direct = false;     // read by samples; otherwise through libtiff's RGBA interface
    bool gray = false;
    bool cmyk = false; // CMYK inks, 8 bits each, without alpha
    int orientation = 1;
    TiffSettings settings;
    std::optional<PixelDensity> density;
};

uint16_t fieldOr(TIFF* tiff, ttag_t tag, uint16_t otherwise) {
    uint16_t value = otherwise;
    TIFFGetFieldDefaulted(tiff, tag, &value);
    return value;
}

TiffPage pageOf(const TiffHandle& handle, tdir_t directory) {
    TIFF* tiff = handle.get();
    TiffPage page;
    page.directory = directory;
    uint32_t width = 0, height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    if (width == 0 || height == 0)
        throw Failure(kEmptyImageText);
    constexpr uint32_t kLargest = std::numeric_limits<int>::max();
    if (width > kLargest || height > kLargest)
        throw Failure(kHugeSizeText.arg(width).arg(height));
    page.size = QSize(int(width), int(height));
    page.samples = fieldOr(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    page.bits = fieldOr(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    page.photometric = fieldOr(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    const uint16_t planar = fieldOr(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    const uint16_t format = fieldOr(tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    const uint16_t orientation = fieldOr(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    page.orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
    const bool grey =
        page.photometric == PHOTOMETRIC_MINISBLACK || page.photometric == PHOTOMETRIC_MINISWHITE;
    page.colours = page.photometric == PHOTOMETRIC_RGB ? 3 : 1;
    uint16_t extras = 0;
    uint16_t* kinds = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &extras, &kinds) && extras > 0 &&
        page.samples > page.colours) {
        page.associated = kinds[0] == EXTRASAMPLE_ASSOCALPHA;
        page.alpha = page.associated || kinds[0] == EXTRASAMPLE_UNASSALPHA;
    }
    const bool known = grey || page.photometric == PHOTOMETRIC_RGB ||
                       (page.photometric == PHOTOMETRIC_PALETTE && page.bits == 8);
    page.cmyk = page.photometric == PHOTOMETRIC_SEPARATED &&
                fieldOr(tiff, TIFFTAG_INKSET, INKSET_CMYK) == INKSET_CMYK && page.samples == 4 &&
                page.bits == 8 && format == SAMPLEFORMAT_UINT && planar == PLANARCONFIG_CONTIG;
    page.direct = page.cmyk || (known && page.samples >= page.colours &&
                                (page.bits == 8 || page.bits == 16) && format == SAMPLEFORMAT_UINT &&
                                (planar == PLANARCONFIG_CONTIG || page.samples == 1));
    page.gray = grey && page.samples - (page.alpha ? 1 : 0) == 1;
    page.settings = tiffSettingsOf(tiff, page.gray);
    page.density = tiffDensityOf(tiff);
    if (!page.direct) {
        char message[1024] = {};
        if (!TIFFRGBAImageOK(tiff, message))
            throw Failure(QString::fromLocal8Bit(message));
        // libtiff's RGBA interface reports alpha only once it has begun.
        TIFFRGBAImage image{};
        if (TIFFRGBAImageBegin(&image, tiff, 0, message)) {
            page.alpha = image.alpha != 0;
            TIFFRGBAImageEnd(&image);
        }
    }
    return page;
}

// One row of stored samples into the picture's row: QRgb values, or four 16-bit samples a pixel.
template <typename Sample>
void convertRow(const Sample* in, uchar* out, int width, const TiffPage& page,
                const uint16_t* const map[3]) {
    constexpr int kMax = std::numeric_limits<Sample>::max();
    const bool inverted = page.photometric == PHOTOMETRIC_MINISWHITE;
    for (int x = 0; x < width; ++x) {
        const Sample* pixel = in + qsizetype(x) * page.samples;
        int r = 0, g = 0, b = 0;
        if (page.photometric == PHOTOMETRIC_PALETTE) {
            const int index = pixel[0];
            r = map[0][index] >> 8, g = map[1][index] >> 8, b = map[2][index] >> 8;
        } else if (page.colours == 3) {
            r = pixel[0], g = pixel[1], b = pixel[2];
        } else {
            r = g = b = inverted ? kMax - pixel[0] : pixel[0];
        }
        const int a = page.alpha ? pixel[page.colours] : kMax;
        if constexpr (sizeof(Sample) == 1) {
            const QRgb rgb = qRgba(r, g, b, a);
            reinterpret_cast<QRgb*>(out)[x] = page.associated ? qUnpremultiply(rgb) : rgb;
        } else {
            QRgba64 rgb = QRgba64::fromRgba64(quint16(r), quint16(g), quint16(b), quint16(a));
            if (page.associated)
                rgb = rgb.unpremultiplied();
            quint16* target = reinterpret_cast<quint16*>(out) + qsizetype(x) * 4;
            target[0] = rgb.red(), target[1] = rgb.green(), target[2] = rgb.blue();
            target[3] = rgb.alpha();
        }
    }
}

void convertRow(const uchar* in, uchar* out, const TiffPage& page, const uint16_t* const map[3]) {
    // CMYK comes out as readCmyk gives it, the light each ink leaves, as Adobe stores it.
    if (page.cmyk)
        for (qsizetype i = 0; i < qsizetype(page.size.width()) * 4; ++i)
            out[i] = uchar(255 - in[i]);
    else if (page.bits == 16)
        convertRow(reinterpret_cast<const quint16*>(in), out, page.size.width(), page, map);
    else
        convertRow(in, out, page.size.width(), page, map);
}

// The page's samples, a row or a row of tiles at a time, converted into the picture's rows.
void readSamples(const TiffHandle& handle, const TiffPage& page, QImage& image) {
    TIFF* tiff = handle.get();
    const uint16_t* map[3] = {nullptr, nullptr, nullptr};
    if (page.photometric == PHOTOMETRIC_PALETTE)
        handle.check(TIFFGetField(tiff, TIFFTAG_COLORMAP, &map[0], &map[1], &map[2]),
                     QStringLiteral("a palette picture without its palette"));
    const qsizetype pixelBytes = qsizetype(page.samples) * (page.bits / 8);
    const int width = page.size.width(), height = page.size.height();
    if (!TIFFIsTiled(tiff)) {
        std::vector<uchar> row(size_t(TIFFScanlineSize(tiff)));
        handle.check(qsizetype(row.size()) >= pixelBytes * width, kUnreadableText);
        for (int y = 0; y < height; ++y) {
            handle.check(TIFFReadScanline(tiff, row.data(), uint32_t(y), 0) >= 0, kUnreadableText);
            convertRow(row.data(), image.scanLine(y), page, map);
        }
        return;
    }
    uint32_t tileWidth = 0, tileHeight = 0;
    TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileHeight);
    // Tiles far larger than the picture would take memory its size does not account for.
    constexpr qint64 kSmallTilePixels = 1 << 20;
    if (qint64(tileWidth) * tileHeight >
        std::max(kSmallTilePixels, 4 * qint64(width) * qint64(height)))
        throw Failure(kHugeTileText.arg(tileWidth).arg(tileHeight));
    const tmsize_t tileBytes = TIFFTileSize(tiff);
    handle.check(tileWidth > 0 && tileHeight > 0 &&
                     tileBytes >= tmsize_t(pixelBytes * tileWidth * tileHeight),
                 kUnreadableText);
    std::vector<uchar> tile(static_cast<size_t>(tileBytes));
    std::vector<uchar> band(size_t(pixelBytes * width) * tileHeight);
    const qsizetype bandLine = pixelBytes * width;
    for (uint32_t top = 0; top < uint32_t(height); top += tileHeight) {
        const int rows = int(std::min<uint32_t>(tileHeight, uint32_t(height) - top));
        for (uint32_t left = 0; left < uint32_t(width); left += tileWidth) {
            handle.check(TIFFReadTile(tiff, tile.data(), left, top, 0, 0) >= 0, kUnreadableText);
            const qsizetype across = pixelBytes * std::min<uint32_t>(tileWidth, width - left);
            for (int y = 0; y < rows; ++y)
                std::copy_n(tile.data() + pixelBytes * tileWidth * y, across,
                            band.data() + bandLine * y + pixelBytes * left);
        }
        for (int y = 0; y < rows; ++y)
            convertRow(band.data() + bandLine * y, image.scanLine(int(top) + y), page, map);
    }
}

// A page of a kind read through libtiff's RGBA interface, as it stores it (not oriented).
void readRgba(const TiffHandle& handle, const TiffPage& page, QImage& image) {
    char message[1024] = {};
    TIFFRGBAImage rgba{};
    if (!TIFFRGBAImageBegin(&rgba, handle.get(), 0, message))
        throw Failure(QString::fromLocal8Bit(message));
    // The page's rows as stored: the picture's orientation is applied by the run.
    rgba.orientation = ORIENTATION_TOPLEFT;
    rgba.req_orientation = ORIENTATION_TOPLEFT;
    const int width = page.size.width(), height = page.size.height();
    std::vector<uint32_t> raster(size_t(width) * size_t(height));
    const bool read = TIFFRGBAImageGet(&rgba, raster.data(), uint32_t(width), uint32_t(height));
    TIFFRGBAImageEnd(&rgba);
    handle.check(read, kUnreadableText);
    for (int y = 0; y < height; ++y) {
        const uint32_t* in = raster.data() + size_t(y) * size_t(width);
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            out[x] = qUnpremultiply(qRgba(int(TIFFGetR(in[x])), int(TIFFGetG(in[x])),
                                          int(TIFFGetB(in[x])), int(TIFFGetA(in[x]))));
    }
}

// A CMYK page as readCmyk gives it.
QImage readInks(const TiffHandle& handle, const TiffPage& page) {
    handle.check(TIFFSetDirectory(handle.get(), page.directory), kUnreadableText);
    QImage inks(page.size, QImage::Format_RGBA8888);
    if (inks.isNull())
        throw Failure(SystemErrorText(ENOMEM));
    readSamples(handle, page, inks);
    return inks;
}

// The page in RGB; a CMYK one through `toSrgb`, or the plain reading without it.
QImage readPage(const TiffHandle& handle, const TiffPage& page, const ColourConversion* toSrgb) {
    if (page.cmyk)
        return CmykShown(readInks(handle, page), toSrgb);
    handle.check(TIFFSetDirectory(handle.get(), page.directory), kUnreadableText);
    const bool deep = page.direct && page.bits == 16;
    QImage image =
        deep ? QImage(page.size, QImage::Format_RGBA64) : newPicture(page.size, page.alpha);
    if (image.isNull())
        throw Failure(SystemErrorText(ENOMEM));
    if (deep)
        useDefaultResolution(image);
    if (page.direct)
        readSamples(handle, page, image);
    else
        readRgba(handle, page, image);
    return image;
}

// Reduced-resolution images and an EXIF thumbnail's directory (a JPEG without strips or tiles)
// are previews, not pages of the picture.
bool isPage(TIFF* tiff) {
    uint32_t kind = 0;
    TIFFGetField(tiff, TIFFTAG_SUBFILETYPE, &kind);
    uint64_t* offsets = nullptr;
    return !(kind & FILETYPE_REDUCEDIMAGE) && (TIFFGetField(tiff, TIFFTAG_STRIPOFFSETS, &offsets) ||
                                               TIFFGetField(tiff, TIFFTAG_TILEOFFSETS, &offsets));
}

// The pages of a multi-page TIFF whose copy is a TIFF: each read whole from the reader's file
// and written as its own page with its own compression and resolution.
class TiffPages final : public FrameSequence {
public:
    TiffPages(const TiffHandle& handle, std::vector<TiffPage> pages,
              const ColourConversion* toSrgb)
        : handle_(handle), pages_(std::move(pages)), toSrgb_(toSrgb) {}

    int count() const override { return int(pages_.size()); }
    QImage frame(int index) override {
        return readPage(handle_, pages_.at(size_t(index)), toSrgb_);
    }
    void startWriting(QIODevice& device, const PictureMetadata& metadata) override {
        device_ = &device;
        writer_ = std::make_unique<TiffPagesWriter>(metadata, count());
    }
    void writeFrame(const QImage& stamped) override {
        const TiffPage& page = pages_.at(size_t(written_++));
        // The first page's density is the picture's, as the run passes it on in its metadata.
        writer_->add(stamped, page.settings, page.density);
    }
    void finish() override {
        const QByteArray bytes = writer_->finish();
        writeAllToDevice(*device_, bytes.constData(), bytes.size());
    }

private:
    const TiffHandle& handle_;
    std::vector<TiffPage> pages_;
    const ColourConversion* toSrgb_;
    QIODevice* device_ = nullptr;
    std::unique_ptr<TiffPagesWriter> writer_;
    int written_ = 0;
};

class TiffReader final : public PictureReader {
public:
    TiffReader(PictureFile file, const QString& path)
        : file_(std::move(file)), handle_(TiffHandle::readFile(::fileno(file_.get()))) {
        first_ = pageOf(handle_, 0);
        pageDirectories_.push_back(0);
        for (tdir_t directory = 1; TIFFReadDirectory(handle_.get()); ++directory) {
            if (isPage(handle_.get()))
                pageDirectories_.push_back(directory);
        }
        metadata_ = readFileMetadata(path);
        metadata_.density = first_.density;
        if (first_.cmyk)
            cmykToSrgb_ = AdobeCmykToSrgb(metadata_.icc);
    }

    PictureFormat format() const override { return PictureFormat::Tiff; }
    QSize size() const override { return first_.size; }
    bool hasAlpha() const override { return first_.alpha; }
    const PictureMetadata& metadata() const override { return metadata_; }
    QByteArray colourProfile() const override {
        return cmykToSrgb_ ? SrgbProfile() : metadata_.icc;
    }
    int orientation() const override { return first_.orientation; }
    bool canStream() const override { return false; }
    bool cmyk() const override { return first_.cmyk; }
    QImage readCmyk() override { return first_.cmyk ? readInks(handle_, first_) : QImage(); }
    int depth() const override { return first_.direct && first_.bits == 16 ? 16 : 8; }
    bool gray() const override { return first_.gray; }
    std::optional<TiffSettings> tiffSettings() const override { return first_.settings; }
    QStringList notes() const override {
        if (pageDirectories_.size() < 2 || framesTaken_)
            return {};
        return {kFirstPageNote.arg(pageDirectories_.size())};
    }

    // Not kept: the picture the caller stamps is then its only copy.
    QImage readAll() override { return readPage(handle_, first_, cmykToSrgb_.get()); }

    void readRows(uchar* rows, qsizetype bytesPerLine, int count) override {
        if (rows8_.isNull()) {
            const QImage whole = readAll();
            rows8_ = whole.format() == QImage::Format_RGBA64
                         ? whole.convertToFormat(first_.alpha ? QImage::Format_ARGB32
                                                              : QImage::Format_RGB32)
                         : whole;
            if (rows8_.isNull())
                throw Failure(SystemErrorText(ENOMEM));
        }
        if (count > rows8_.height() - copied_)
            failDataEndsEarly();
        for (int y = 0; y < count; ++y)
            std::copy_n(rows8_.constScanLine(copied_ + y), rows8_.bytesPerLine(),
                        rows + y * bytesPerLine);
        copied_ += count;
    }

    std::unique_ptr<FrameSequence> frames(PictureFormat output) override {
        if (output != PictureFormat::Tiff || pageDirectories_.size() < 2)
            return nullptr;
        // The run places the marks once, for the first page: pages of another size or
        // orientation keep the first page alone, with its note.
        std::vector<TiffPage> pages{first_};
        for (size_t i = 1; i < pageDirectories_.size(); ++i) {
            handle_.check(TIFFSetDirectory(handle_.get(), pageDirectories_[i]), kUnreadableText);
            TiffPage page = pageOf(handle_, pageDirectories_[i]);
            if (page.size != first_.size || page.orientation != first_.orientation)
                return nullptr;
            pages.push_back(page);
        }
        framesTaken_ = true;
        return std::make_unique<TiffPages>(handle_, std::move(pages), cmykToSrgb_.get());
    }

private:
    PictureFile file_;
    TiffHandle handle_;
    TiffPage first_;
    std::vector<tdir_t> pageDirectories_;
    PictureMetadata metadata_;
    // A CMYK picture's own profile, through which its pages come out in sRGB.
    std::shared_ptr<const ColourConversion> cmykToSrgb_;
    QImage rows8_;
    int copied_ = 0;
    bool framesTaken_ = false;
};

} // namespace

std::unique_ptr<PictureReader> openTiff(PictureFile file, const QString& path) {
    return std::make_unique<TiffReader>(std::move(file), path);
}
