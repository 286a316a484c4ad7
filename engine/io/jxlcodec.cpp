// JPEG XL in and out with libjxl: the picture's own orientation applied like EXIF's, the Exif and
// XMP boxes of the container, and the colour profile.
#include "engine/io/codecio.h"
#include "engine/io/metadata.h"

#include "support/failure.h"

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

const QString kJxlDamagedText = QStringLiteral("damaged JPEG XL picture");
const QString kJxlEncoderText = QStringLiteral("JPEG XL encoder error %1");

// Pixels as the engine holds them, four 8-bit samples in R, G, B, A order; Qt turns them into its
// own layout in place.
constexpr JxlPixelFormat kRgba = {4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};

// More than any camera's EXIF or editor's XMP: a compressed box that would grow beyond it is left
// out rather than inflated without end.
constexpr qsizetype kLargestBox = 16 * 1024 * 1024;

// The Exif and XMP boxes, decompressed when they were stored with Brotli ("brob"). Only boxes are
// asked for, so the decoder passes over the codestream without decoding it.
void readBoxes(const QByteArray& bytes, PictureMetadata& metadata) {
    const JxlDecoderPtr decoder = JxlDecoderMake(nullptr);
    if (!decoder || JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BOX) != JXL_DEC_SUCCESS)
        return;
    JxlDecoderSetDecompressBoxes(decoder.get(), JXL_TRUE);
    JxlDecoderSetInput(decoder.get(), reinterpret_cast<const uint8_t*>(bytes.constData()),
                       size_t(bytes.size()));
    JxlDecoderCloseInput(decoder.get());
    QByteArray* box = nullptr;
    QByteArray buffer;
    const auto finishBox = [&] {
        if (!box)
            return;
        const size_t left = JxlDecoderReleaseBoxBuffer(decoder.get());
        *box = buffer.left(buffer.size() - qsizetype(left));
        box = nullptr;
    };
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(decoder.get());
        if (status == JXL_DEC_BOX_NEED_MORE_OUTPUT) {
            if (buffer.size() >= kLargestBox)
                break;
            const size_t left = JxlDecoderReleaseBoxBuffer(decoder.get());
            const qsizetype used = buffer.size() - qsizetype(left);
            buffer.resize(buffer.size() * 2);
            JxlDecoderSetBoxBuffer(decoder.get(), reinterpret_cast<uint8_t*>(buffer.data()) + used,
                                   size_t(buffer.size() - used));
            continue;
        }
        finishBox();
        if (status != JXL_DEC_BOX)
            break;
        JxlBoxType type;
        if (JxlDecoderGetBoxType(decoder.get(), type, JXL_TRUE) != JXL_DEC_SUCCESS)
            break;
        if (std::memcmp(type, "Exif", 4) == 0 && metadata.exif.isEmpty())
            box = &metadata.exif;
        else if (std::memcmp(type, "xml ", 4) == 0 && metadata.xmp.isEmpty())
            box = &metadata.xmp;
        if (box) {
            buffer = QByteArray(64 * 1024, '\0');
            JxlDecoderSetBoxBuffer(decoder.get(), reinterpret_cast<uint8_t*>(buffer.data()),
                                   size_t(buffer.size()));
        }
    }
    metadata.exif = exifFromTiffHeader(metadata.exif);
}

class JxlReader final : public PictureReader {
public:
    explicit JxlReader(PictureFile file) : file_(std::move(file)) {}

    void readHeader();

    PictureFormat format() const override { return PictureFormat::Jxl; }
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
        return animated_ ? QStringList{kAnimatedNote} : QStringList();
    }

private:
    JxlDecoderStatus next();
    void readProfile(bool lossy);

    PictureFile file_;
    QByteArray bytes_;
    JxlDecoderPtr decoder_;
    QSize size_;
    bool alpha_ = false;
    bool animated_ = false;
    int orientation_ = 1;
    PictureMetadata metadata_;
    HeldRows held_;
};

JxlDecoderStatus JxlReader::next() {
    const JxlDecoderStatus status = JxlDecoderProcessInput(decoder_.get());
    if (status == JXL_DEC_NEED_MORE_INPUT)
        failDataEndsEarly();
    if (status == JXL_DEC_ERROR)
        throw Failure(kJxlDamagedText);
    return status;
}

// The profile the decoded pixels are in. Pictures in plain sRGB carry none, as a JPEG without a
// profile is taken to be sRGB. A lossy picture is stored in the codec's own colour space and can
// come out in any standard one: in the one it names, or in sRGB when it keeps an ICC profile
// instead, which libjxl would otherwise give as linear sRGB, too coarse in 8 bits. (An sRGB
// profile given to the encoder is stored as the standard sRGB it describes, so it comes back as
// none.)
void JxlReader::readProfile(bool lossy) {
    JxlColorEncoding encoding;
    if (lossy) {
        JxlColorEncoding shown;
        if (JxlDecoderGetColorAsEncodedProfile(decoder_.get(), &kRgba,
                                               JXL_COLOR_PROFILE_TARGET_ORIGINAL,
                                               &shown) != JXL_DEC_SUCCESS)
            JxlColorEncodingSetToSRGB(&shown, JXL_FALSE);
        JxlDecoderSetPreferredColorProfile(decoder_.get(), &shown);
    }
    if (JxlDecoderGetColorAsEncodedProfile(decoder_.get(), &kRgba, JXL_COLOR_PROFILE_TARGET_DATA,
                                           &encoding) == JXL_DEC_SUCCESS &&
        encoding.color_space == JXL_COLOR_SPACE_RGB &&
        encoding.white_point == JXL_WHITE_POINT_D65 && encoding.primaries == JXL_PRIMARIES_SRGB &&
        encoding.transfer_function == JXL_TRANSFER_FUNCTION_SRGB)
        return;
    size_t size = 0;
    if (JxlDecoderGetICCProfileSize(decoder_.get(), &kRgba, JXL_COLOR_PROFILE_TARGET_DATA, &size) !=
        JXL_DEC_SUCCESS)
        return;
    QByteArray icc(qsizetype(size), '\0');
    if (JxlDecoderGetColorAsICCProfile(decoder_.get(), &kRgba, JXL_COLOR_PROFILE_TARGET_DATA,
                                       reinterpret_cast<uint8_t*>(icc.data()),
                                       size) == JXL_DEC_SUCCESS)
        metadata_.icc = icc;
}

void JxlReader::readHeader() {
    bytes_ = readWholeFile(file_.get());
    decoder_ = JxlDecoderMake(nullptr);
    if (!decoder_)
        throw Failure(SystemErrorText(ENOMEM));
    // The engine turns the picture as it turns one by its EXIF orientation.
    JxlDecoderSetKeepOrientation(decoder_.get(), JXL_TRUE);
    JxlDecoderSubscribeEvents(decoder_.get(),
                              JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE);
    JxlDecoderSetInput(decoder_.get(), reinterpret_cast<const uint8_t*>(bytes_.constData()),
                       size_t(bytes_.size()));
    JxlDecoderCloseInput(decoder_.get());
    bool lossy = false;
    for (JxlDecoderStatus status = next(); status != JXL_DEC_COLOR_ENCODING; status = next()) {
        if (status != JXL_DEC_BASIC_INFO)
            continue;
        JxlBasicInfo info;
        if (JxlDecoderGetBasicInfo(decoder_.get(), &info) != JXL_DEC_SUCCESS)
            throw Failure(kJxlDamagedText);
        size_ = QSize(int(info.xsize), int(info.ysize));
        alpha_ = info.alpha_bits > 0;
        animated_ = info.have_animation;
        orientation_ = std::clamp(int(info.orientation), 1, 8);
        lossy = !info.uses_original_profile;
    }
    readProfile(lossy);
    readBoxes(bytes_, metadata_);
    SetOrientation(metadata_, orientation_);
}

QImage JxlReader::readAll() {
    QImage image = newPicture(size_, alpha_);
    image.reinterpretAsFormat(QImage::Format_RGBA8888);
    JxlPixelFormat format = kRgba;
    format.align = size_t(image.bytesPerLine());
    for (JxlDecoderStatus status = next(); status != JXL_DEC_FULL_IMAGE; status = next()) {
        if (status == JXL_DEC_SUCCESS)
            failDataEndsEarly();
        if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER &&
            JxlDecoderSetImageOutBuffer(decoder_.get(), &format, image.bits(),
                                        size_t(image.sizeInBytes())) != JXL_DEC_SUCCESS)
            throw Failure(kJxlDamagedText);
    }
    image.convertTo(alpha_ ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    useDefaultResolution(image);
    return image;
}

// libjxl's own mapping of a JPEG quality to a distance (as cjxl takes --quality): 1.0, visually
// lossless, is about quality 90.
float distanceOf(int quality) {
    return quality >= 30 ? 0.1f + float(100 - quality) * 0.09f
                         : 6.4f + float(std::pow(2.5, (30 - quality) / 5.0) / 6.25);
}

void check(JxlEncoder* encoder, JxlEncoderStatus status) {
    if (status == JXL_ENC_SUCCESS)
        return;
    const JxlEncoderError error = JxlEncoderGetError(encoder);
    throw Failure(error == JXL_ENC_ERR_OOM ? SystemErrorText(ENOMEM)
                                           : kJxlEncoderText.arg(int(error)));
}

void addBox(JxlEncoder* encoder, const char* type, const QByteArray& data) {
    if (!data.isEmpty())
        check(encoder,
              JxlEncoderAddBox(encoder, type, reinterpret_cast<const uint8_t*>(data.constData()),
                               size_t(data.size()), JXL_FALSE));
}

} // namespace

// Measured on a 12-megapixel photo stamped from JPEG, one core, processor seconds of the whole
// run: effort 5 takes 1.7 s and 580 MB; 6 took 2.1 s, the default 7 took 3.7 s and 1.1 GB for a
// file 5% larger than at 5. Efforts 3 and 4 are faster still but visibly coarser.
constexpr int kJxlEffort = 5;

std::unique_ptr<PictureReader> openJxl(PictureFile file) {
    return readerWithHeader<JxlReader>(std::move(file));
}

QByteArray encodeJxl(const QImage& pixels, int quality, const PictureMetadata& metadata) {
    const bool alpha = pixels.format() == QImage::Format_ARGB32;
    // Without alpha the encoder takes three samples a pixel: a fourth would be an extra channel.
    const QImage rgba =
        pixels.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    if (rgba.isNull())
        throw Failure(SystemErrorText(ENOMEM));
    const JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
    if (!encoder)
        throw Failure(SystemErrorText(ENOMEM));
    JxlEncoder* enc = encoder.get();
    // The container holds the Exif and XMP boxes.
    check(enc, JxlEncoderUseContainer(enc, JXL_TRUE));
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = uint32_t(rgba.width());
    info.ysize = uint32_t(rgba.height());
    info.bits_per_sample = 8;
    info.num_color_channels = 3;
    info.alpha_bits = alpha ? 8 : 0;
    info.num_extra_channels = alpha ? 1 : 0;
    info.uses_original_profile = JXL_FALSE;
    check(enc, JxlEncoderSetBasicInfo(enc, &info));
    if (metadata.icc.isEmpty()) {
        JxlColorEncoding srgb;
        JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
        check(enc, JxlEncoderSetColorEncoding(enc, &srgb));
    } else {
        check(enc,
              JxlEncoderSetICCProfile(enc, reinterpret_cast<const uint8_t*>(metadata.icc.data()),
                                      size_t(metadata.icc.size())));
    }
    if (!metadata.exif.isEmpty() || !metadata.xmp.isEmpty()) {
        check(enc, JxlEncoderUseBoxes(enc));
        // The box holds the offset of the TIFF header within it before the EXIF itself.
        addBox(enc, "Exif", QByteArray(4, '\0') + metadata.exif);
        addBox(enc, "xml ", metadata.xmp);
        JxlEncoderCloseBoxes(enc);
    }
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(enc, nullptr);
    check(enc, JxlEncoderSetFrameDistance(settings, distanceOf(quality)));
    check(enc,
          JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, kJxlEffort));
    JxlPixelFormat format = kRgba;
    format.num_channels = alpha ? 4 : 3;
    format.align = size_t(rgba.bytesPerLine());
    check(enc,
          JxlEncoderAddImageFrame(settings, &format, rgba.constBits(), size_t(rgba.sizeInBytes())));
    JxlEncoderCloseInput(enc);
    QByteArray bytes(64 * 1024, '\0');
    qsizetype used = 0;
    for (;;) {
        auto* next = reinterpret_cast<uint8_t*>(bytes.data()) + used;
        size_t available = size_t(bytes.size() - used);
        const JxlEncoderStatus status = JxlEncoderProcessOutput(enc, &next, &available);
        used = bytes.size() - qsizetype(available);
        if (status != JXL_ENC_NEED_MORE_OUTPUT) {
            check(enc, status);
            break;
        }
        bytes.resize(bytes.size() * 2);
    }
    bytes.truncate(used);
    return bytes;
}
