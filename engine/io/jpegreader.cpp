// The JPEG reader: libjpeg-turbo decoding rows a band at a time, with the metadata markers.
#include "engine/io/codecio.h"
#include "engine/io/colourprofile.h"
#include "engine/io/libjpeg.h"
#include "engine/io/metadata.h"

#include "support/failure.h"

#include <QStringDecoder>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const QByteArray kExifPrefix("Exif\0\0", 6);
const QByteArray kXmpPrefix("http://ns.adobe.com/xap/1.0/\0", 29);
const QByteArray kPhotoshopPrefix("Photoshop 3.0\0", 14);

QByteArray bodyAfter(const jpeg_saved_marker_ptr marker, const QByteArray& prefix) {
    const auto* data = reinterpret_cast<const char*>(marker->data);
    const qsizetype length = qsizetype(marker->data_length);
    if (length < prefix.size() || std::memcmp(data, prefix.constData(), size_t(prefix.size())))
        return {};
    return QByteArray(data + prefix.size(), length - prefix.size());
}

class JpegReader final : public PictureReader {
public:
    explicit JpegReader(PictureFile file) : file_(std::move(file)) {}

    void readHeader();

    PictureFormat format() const override { return PictureFormat::Jpeg; }
    QSize size() const override {
        return scaled_ ? QSize(int(info_.output_width), int(info_.output_height))
                       : QSize(int(info_.image_width), int(info_.image_height));
    }
    bool hasAlpha() const override { return false; }
    const PictureMetadata& metadata() const override { return metadata_; }
    QByteArray colourProfile() const override {
        return cmykProfile_ ? SrgbProfile() : metadata_.icc;
    }
    int orientation() const override { return orientation_; }
    bool canStream() const override { return !cmyk_ && !multipleScans_; }
    void readRows(uchar* rows, qsizetype bytesPerLine, int count) override;
    bool cmyk() const override { return cmyk_; }
    QImage readCmyk() override;
    std::optional<JpegTables> jpegTables() const override;
    bool gray() const override { return info_.jpeg_color_space == JCS_GRAYSCALE; }
    bool scaleDown(int denominator) override;
    bool scaleToEighths(int eighths) override;
    void stopWhen(const std::atomic<bool>* stop) override { jpeg_.errors.stop = stop; }

private:
    template <typename Step> void run(const Step& step) { jpeg_.run(step); }
    void collectMetadata();
    void start();

    PictureFile file_;
    JpegDecompressor jpeg_;
    jpeg_decompress_struct& info_ = jpeg_.info;
    PictureMetadata metadata_;
    int orientation_ = 1;
    bool cmyk_ = false;
    // Progressive and multi-scan files keep every coefficient of the picture in libjpeg's memory
    // until the last scan is read: they are held whole, like any picture decoded whole.
    bool multipleScans_ = false;
    bool started_ = false;
    bool scaled_ = false;
    std::vector<uchar> cmykRow_;
    // A CMYK picture's own profile, through which its rows come out in sRGB.
    std::shared_ptr<const ColourConversion> cmykProfile_;
};

// A comment's bytes are meant as text in no stated encoding: UTF-8 where they are that,
// else Latin-1, and without the terminating zero some writers add.
QString CommentText(jpeg_saved_marker_ptr marker) {
    QByteArray bytes(reinterpret_cast<const char*>(marker->data), qsizetype(marker->data_length));
    while (bytes.endsWith('\0'))
        bytes.chop(1);
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8.decode(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : text;
}

// The JFIF header's density; 1 x 1 without a unit is what writers put when they know none.
std::optional<PixelDensity> DensityOf(const jpeg_decompress_struct& info) {
    if (!info.saw_JFIF_marker || info.X_density == 0 || info.Y_density == 0 ||
        (info.density_unit == 0 && info.X_density == info.Y_density))
        return std::nullopt;
    const double perInch = info.density_unit == 2 ? 2.54 : 1;
    return PixelDensity{info.X_density * perInch, info.Y_density * perInch, info.density_unit == 0};
}

void JpegReader::readHeader() {
    run([&] {
        jpeg_stdio_src(&info_, file_.get());
        jpeg_save_markers(&info_, JPEG_APP0 + 1, 0xFFFF);
        jpeg_save_markers(&info_, JPEG_APP0 + 2, 0xFFFF);
        jpeg_save_markers(&info_, JPEG_APP0 + 13, 0xFFFF);
        jpeg_save_markers(&info_, JPEG_COM, 0xFFFF);
        jpeg_read_header(&info_, TRUE);
    });
    cmyk_ = info_.jpeg_color_space == JCS_CMYK || info_.jpeg_color_space == JCS_YCCK;
    multipleScans_ = jpeg_has_multiple_scans(&info_);
    // Qt's own plug-in decodes with libjpeg's defaults (accurate integer DCT, fancy upsampling);
    // keeping them gives the same pixels.
    info_.out_color_space = cmyk_ ? JCS_CMYK : kRowColorSpace;
    collectMetadata();
    if (cmyk_)
        cmykProfile_ = AdobeCmykToSrgb(metadata_.icc);
}

void JpegReader::collectMetadata() {
    QByteArray photoshop;
    QList<QByteArray> extendedXmp;
    for (jpeg_saved_marker_ptr marker = info_.marker_list; marker; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 1 && metadata_.exif.isEmpty())
            metadata_.exif = bodyAfter(marker, kExifPrefix);
        if (marker->marker == JPEG_APP0 + 1 && metadata_.xmp.isEmpty())
            metadata_.xmp = bodyAfter(marker, kXmpPrefix);
        if (marker->marker == JPEG_APP0 + 1)
            if (const QByteArray part = bodyAfter(marker, kJpegXmpExtensionPrefix); !part.isEmpty())
                extendedXmp << part;
        if (marker->marker == JPEG_APP0 + 13)
            photoshop += bodyAfter(marker, kPhotoshopPrefix);
        if (marker->marker == JPEG_COM)
            metadata_.texts.append({kCommentKey, CommentText(marker)});
    }
    metadata_.density = DensityOf(info_);
    metadata_.iptc = iptcFromPhotoshop(photoshop);
    metadata_.photoshop = photoshopWithoutIptc(photoshop);
    if (!extendedXmp.isEmpty())
        metadata_.extendedXmp = extendedXmpOf(metadata_.xmp, extendedXmp);
    JOCTET* icc = nullptr;
    unsigned int iccLength = 0;
    run([&] { jpeg_read_icc_profile(&info_, &icc, &iccLength); });
    if (icc) {
        metadata_.icc = QByteArray(reinterpret_cast<const char*>(icc), qsizetype(iccLength));
        std::free(icc);
    }
    orientation_ = OrientationOf(metadata_);
}

void JpegReader::start() {
    if (started_)
        return;
    run([&] { jpeg_start_decompress(&info_); });
    started_ = true;
}

void JpegReader::readRows(uchar* rows, qsizetype bytesPerLine, int count) {
    if (!started_) {
        start();
        if (cmyk_)
            cmykRow_.resize(size_t(info_.output_width) * 4);
    }
    JDIMENSION got = 1;
    run([&] {
        for (int done = 0; done < count && got == 1; ++done) {
            uchar* target = rows + done * bytesPerLine;
            JSAMPROW row = cmyk_ ? cmykRow_.data() : target;
            got = jpeg_read_scanlines(&info_, &row, 1);
            if (got == 1 && cmyk_)
                AdobeCmykToRgb32(row, target, int(info_.output_width), cmykProfile_.get());
        }
    });
    if (got != 1)
        failDataEndsEarly();
    // The rest of the file up to its end marker: a file cut after the last row is cut all the same.
    if (info_.output_scanline == info_.output_height)
        run([&] { jpeg_finish_decompress(&info_); });
}

QImage JpegReader::readCmyk() {
    if (!cmyk_ || started_)
        return {};
    QImage picture(size(), QImage::Format_RGBA8888);
    if (picture.isNull())
        throw Failure(SystemErrorText(ENOMEM));
    start();
    JDIMENSION got = 1;
    run([&] {
        for (int y = 0; y < picture.height() && got == 1; ++y) {
            JSAMPROW row = picture.scanLine(y);
            got = jpeg_read_scanlines(&info_, &row, 1);
        }
    });
    if (got != 1)
        failDataEndsEarly();
    run([&] { jpeg_finish_decompress(&info_); });
    return picture;
}

bool JpegReader::scaleDown(int denominator) {
    if (started_ || (denominator != 2 && denominator != 4 && denominator != 8))
        return false;
    // The inverse DCT makes the smaller picture directly: at 1/8 each block gives one pixel, and
    // the picture's rows never exist at full size.
    info_.scale_num = 1;
    info_.scale_denom = unsigned(denominator);
    run([&] { jpeg_calc_output_dimensions(&info_); });
    scaled_ = true;
    return true;
}

bool JpegReader::scaleToEighths(int eighths) {
    if (started_ || eighths < 1 || eighths > 7)
        return false;
    // libjpeg-turbo's inverse DCT of M x M for each 8 x 8 block: a fraction of the work of the
    // full-size rows, and a proper low-pass of what the block holds.
    info_.scale_num = unsigned(eighths);
    info_.scale_denom = 8;
    run([&] { jpeg_calc_output_dimensions(&info_); });
    scaled_ = true;
    return true;
}

std::optional<JpegTables> JpegReader::jpegTables() const {
    if (info_.num_components < 1 || info_.num_components > kJpegTableComponents)
        return std::nullopt;
    JpegTables tables;
    tables.components = info_.num_components;
    tables.progressive = info_.progressive_mode;
    tables.ycck = info_.jpeg_color_space == JCS_YCCK;
    for (int slot = 0; slot < NUM_QUANT_TBLS; ++slot) {
        const JQUANT_TBL* table = info_.quant_tbl_ptrs[slot];
        tables.present[size_t(slot)] = table != nullptr;
        if (table)
            std::copy(table->quantval, table->quantval + DCTSIZE2,
                      tables.tables[size_t(slot)].begin());
    }
    for (int c = 0; c < info_.num_components; ++c) {
        const jpeg_component_info& component = info_.comp_info[c];
        tables.componentTable[size_t(c)] = component.quant_tbl_no;
        tables.hSampling[size_t(c)] = component.h_samp_factor;
        tables.vSampling[size_t(c)] = component.v_samp_factor;
    }
    return tables;
}

} // namespace

std::unique_ptr<PictureReader> openJpeg(PictureFile file) {
    return readerWithHeader<JpegReader>(std::move(file));
}
