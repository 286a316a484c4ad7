// AVIF in and out with libavif: the stored rotation and mirror as an EXIF orientation, the first
// frame of a sequence, and the EXIF, XMP and colour profile libavif keeps with the image.
#include "engine/io/codecio.h"
#include "engine/io/metadata.h"

#include "support/failure.h"

#include <avif/avif.h>

#include <cerrno>
#include <cmath>

namespace {

QString avifText(avifResult result) {
    return result == AVIF_RESULT_OUT_OF_MEMORY ? SystemErrorText(ENOMEM)
                                               : QString::fromUtf8(avifResultToString(result));
}

void check(avifResult result) {
    if (result == AVIF_RESULT_TRUNCATED_DATA)
        failDataEndsEarly();
    if (result != AVIF_RESULT_OK)
        throw Failure(avifText(result));
}

QByteArray bytesOf(const avifRWData& data) {
    return QByteArray(reinterpret_cast<const char*>(data.data), qsizetype(data.size));
}

class AvifReader final : public PictureReader {
public:
    explicit AvifReader(PictureFile file) : file_(std::move(file)) {}
    ~AvifReader() override {
        if (decoder_)
            avifDecoderDestroy(decoder_);
    }

    void readHeader();

    PictureFormat format() const override { return PictureFormat::Avif; }
    QSize size() const override { return size_; }
    bool hasAlpha() const override { return alpha_; }
    const PictureMetadata& metadata() const override { return metadata_; }
    int orientation() const override { return orientation_; }
    bool canStream() const override { return false; }
    void readRows(uchar* rows, qsizetype bytesPerLine, int count) override {
        held_.copy(*this, rows, bytesPerLine, count);
    }
    QImage readAll() override;
    QStringList notes() const override {
        return frames_ > 1 ? QStringList{kFirstFrameNote.arg(frames_)} : QStringList();
    }

private:
    PictureFile file_;
    QByteArray bytes_;
    avifDecoder* decoder_ = nullptr;
    QSize size_;
    bool alpha_ = false;
    int frames_ = 1;
    int orientation_ = 1;
    PictureMetadata metadata_;
    HeldRows held_;
};

void AvifReader::readHeader() {
    bytes_ = readWholeFile(file_.get());
    decoder_ = avifDecoderCreate();
    if (!decoder_)
        throw Failure(SystemErrorText(ENOMEM));
    // A whole-picture stamp takes one core a picture; the run's workers use the others.
    decoder_->maxThreads = 1;
    // Phones and editors write AVIFs that miss a property the strict reading asks for; what
    // decodes is read.
    decoder_->strictFlags = AVIF_STRICT_DISABLED;
    check(avifDecoderSetIOMemory(decoder_, reinterpret_cast<const uint8_t*>(bytes_.constData()),
                                 size_t(bytes_.size())));
    check(avifDecoderParse(decoder_));
    const avifImage* image = decoder_->image;
    size_ = QSize(int(image->width), int(image->height));
    alpha_ = decoder_->alphaPresent;
    frames_ = decoder_->imageCount;
    metadata_.icc = bytesOf(image->icc);
    metadata_.exif = exifFromTiffHeader(bytesOf(image->exif));
    metadata_.xmp = bytesOf(image->xmp);
    const int angle = image->transformFlags & AVIF_TRANSFORM_IROT ? image->irot.angle : 0;
    const int mirror = image->transformFlags & AVIF_TRANSFORM_IMIR ? image->imir.mode : -1;
    orientation_ = OrientationOfTransform(angle, mirror);
    // The stored transform says how the picture is turned; an EXIF orientation beside it does not.
    SetOrientation(metadata_, orientation_);
}

QImage AvifReader::readAll() {
    check(avifDecoderNextImage(decoder_));
    if (QSize(int(decoder_->image->width), int(decoder_->image->height)) != size_)
        throw Failure(QStringLiteral("damaged AVIF picture: its frames differ in size"));
    QImage image = newPicture(size_, alpha_);
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, decoder_->image);
    rgb.format = AVIF_RGB_FORMAT_BGRA; // ARGB32 in memory on a little-endian machine
    rgb.depth = 8;
    rgb.pixels = image.bits();
    rgb.rowBytes = uint32_t(image.bytesPerLine());
    check(avifImageYUVToRGB(decoder_->image, &rgb));
    return image;
}

// Quality 100 is the finest quantiser, 0; quality 1 nearly the coarsest, 63.
int quantizerOf(int quality) {
    return std::clamp(int(std::lround((100.0 - quality) * AVIF_QUANTIZER_WORST_QUALITY / 100.0)),
                      AVIF_QUANTIZER_BEST_QUALITY, AVIF_QUANTIZER_WORST_QUALITY);
}

struct AvifImageDeleter {
    void operator()(avifImage* image) const { avifImageDestroy(image); }
};
struct AvifEncoderDeleter {
    void operator()(avifEncoder* encoder) const { avifEncoderDestroy(encoder); }
};

} // namespace

// Measured on a 12-megapixel photo stamped from JPEG, one core, processor seconds of the whole
// run: libaom's speed 6 took 2.1 s, 7 took 1.75 s, 8 takes 0.9 s; the file at 8 is no larger
// (589 KB against 615 KB at 6, at quality 75), so 8 keeps a slower machine under 2 s too.
constexpr int kAvifSpeed = 8;

std::unique_ptr<PictureReader> openAvif(PictureFile file) {
    return readerWithHeader<AvifReader>(std::move(file));
}

QByteArray encodeAvif(const QImage& pixels, int quality, const PictureMetadata& metadata) {
    const bool alpha = pixels.format() == QImage::Format_ARGB32;
    const std::unique_ptr<avifImage, AvifImageDeleter> image(avifImageCreate(
        uint32_t(pixels.width()), uint32_t(pixels.height()), 8, AVIF_PIXEL_FORMAT_YUV420));
    if (!image)
        throw Failure(SystemErrorText(ENOMEM));
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, image.get());
    rgb.format = AVIF_RGB_FORMAT_BGRA;
    rgb.depth = 8;
    rgb.ignoreAlpha = !alpha;
    rgb.pixels = const_cast<uint8_t*>(pixels.constBits()); // only read from
    rgb.rowBytes = uint32_t(pixels.bytesPerLine());
    check(avifImageRGBToYUV(image.get(), &rgb));
    if (!metadata.icc.isEmpty())
        avifImageSetProfileICC(image.get(), reinterpret_cast<const uint8_t*>(metadata.icc.data()),
                               size_t(metadata.icc.size()));
    if (!metadata.exif.isEmpty())
        avifImageSetMetadataExif(image.get(),
                                 reinterpret_cast<const uint8_t*>(metadata.exif.data()),
                                 size_t(metadata.exif.size()));
    if (!metadata.xmp.isEmpty())
        avifImageSetMetadataXMP(image.get(), reinterpret_cast<const uint8_t*>(metadata.xmp.data()),
                                size_t(metadata.xmp.size()));
    // The pixels are upright: libavif must not store a turn it read from the EXIF.
    image->transformFlags = AVIF_TRANSFORM_NONE;
    const std::unique_ptr<avifEncoder, AvifEncoderDeleter> encoder(avifEncoderCreate());
    if (!encoder)
        throw Failure(SystemErrorText(ENOMEM));
    encoder->maxThreads = 1;
    encoder->speed = kAvifSpeed;
    encoder->minQuantizer = encoder->maxQuantizer = quantizerOf(quality);
    encoder->minQuantizerAlpha = encoder->maxQuantizerAlpha = quantizerOf(quality);
    avifRWData output = AVIF_DATA_EMPTY;
    const avifResult result = avifEncoderWrite(encoder.get(), image.get(), &output);
    const QByteArray bytes = bytesOf(output);
    avifRWDataFree(&output);
    check(result);
    return bytes;
}
