// HEIC and the other HEIF pictures in with libheif: the primary image, turned and mirrored as it
// stores, with its EXIF, XMP and colour profile.
#include "engine/io/codecio.h"
#include "engine/io/metadata.h"

#include "support/failure.h"

#include <libheif/heif.h>

#include <cerrno>
#include <cstring>

namespace {

void check(const heif_error& error) {
    if (error.code == heif_error_Ok)
        return;
    if (error.code == heif_error_Memory_allocation_error)
        throw Failure(SystemErrorText(ENOMEM));
    if (error.subcode == heif_suberror_End_of_data)
        failDataEndsEarly();
    throw Failure(QString::fromUtf8(error.message));
}

struct ContextDeleter {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageDeleter {
    void operator()(heif_image* image) const { heif_image_release(image); }
};

// The metadata blocks of one kind ("Exif", or "mime" for XMP), the first of each.
QByteArray metadataBlock(const heif_image_handle* handle, const char* type,
                         const char* contentType = nullptr) {
    const int count = heif_image_handle_get_number_of_metadata_blocks(handle, type);
    std::vector<heif_item_id> ids(size_t(std::max(count, 0)));
    heif_image_handle_get_list_of_metadata_block_IDs(handle, type, ids.data(), count);
    for (const heif_item_id id : ids) {
        if (contentType &&
            std::strcmp(heif_image_handle_get_metadata_content_type(handle, id), contentType) != 0)
            continue;
        QByteArray block(qsizetype(heif_image_handle_get_metadata_size(handle, id)), '\0');
        if (heif_image_handle_get_metadata(handle, id, block.data()).code == heif_error_Ok)
            return block;
    }
    return {};
}

QByteArray profileOf(const heif_image_handle* handle) {
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
    if (type != heif_color_profile_type_prof && type != heif_color_profile_type_rICC)
        return {};
    QByteArray icc(qsizetype(heif_image_handle_get_raw_color_profile_size(handle)), '\0');
    return heif_image_handle_get_raw_color_profile(handle, icc.data()).code == heif_error_Ok
               ? icc
               : QByteArray();
}

class HeifReader final : public PictureReader {
public:
    explicit HeifReader(PictureFile file) : file_(std::move(file)) {}

    void readHeader();

    PictureFormat format() const override { return PictureFormat::Heif; }
    QSize size() const override { return size_; }
    bool hasAlpha() const override { return alpha_; }
    const PictureMetadata& metadata() const override { return metadata_; }
    // libheif turns and mirrors the picture as its file says while decoding it.
    int orientation() const override { return 1; }
    bool canStream() const override { return false; }
    void readRows(uchar* rows, qsizetype bytesPerLine, int count) override {
        held_.copy(*this, rows, bytesPerLine, count);
    }
    QImage readAll() override;

private:
    PictureFile file_;
    QByteArray bytes_;
    std::unique_ptr<heif_context, ContextDeleter> context_;
    std::unique_ptr<heif_image_handle, HandleDeleter> handle_;
    QSize size_;
    bool alpha_ = false;
    PictureMetadata metadata_;
    HeldRows held_;
};

void HeifReader::readHeader() {
    bytes_ = readWholeFile(file_.get());
    context_.reset(heif_context_alloc());
    if (!context_)
        throw Failure(SystemErrorText(ENOMEM));
    check(heif_context_read_from_memory_without_copy(context_.get(), bytes_.constData(),
                                                     size_t(bytes_.size()), nullptr));
    heif_image_handle* handle = nullptr;
    check(heif_context_get_primary_image_handle(context_.get(), &handle));
    handle_.reset(handle);
    // The size as shown: libheif gives it turned already.
    size_ = QSize(heif_image_handle_get_width(handle), heif_image_handle_get_height(handle));
    alpha_ = heif_image_handle_has_alpha_channel(handle);
    metadata_.exif = exifFromTiffHeader(metadataBlock(handle, "Exif"));
    metadata_.xmp = metadataBlock(handle, "mime", "application/rdf+xml");
    metadata_.icc = profileOf(handle);
    // The stored transform is applied, so the copy's EXIF must not turn it again.
    SetOrientation(metadata_, 1);
}

QImage HeifReader::readAll() {
    heif_decoding_options* options = heif_decoding_options_alloc();
    options->ignore_transformations = 0;
    heif_image* decoded = nullptr;
    const heif_error error = heif_decode_image(handle_.get(), &decoded, heif_colorspace_RGB,
                                               heif_chroma_interleaved_RGBA, options);
    heif_decoding_options_free(options);
    check(error);
    const std::unique_ptr<heif_image, ImageDeleter> image(decoded);
    int stride = 0;
    const uint8_t* plane =
        heif_image_get_plane_readonly(decoded, heif_channel_interleaved, &stride);
    if (!plane || heif_image_get_width(decoded, heif_channel_interleaved) != size_.width() ||
        heif_image_get_height(decoded, heif_channel_interleaved) != size_.height())
        throw Failure(QStringLiteral("damaged HEIF picture: its pixels are not the %1 x %2 its "
                                     "header declares")
                          .arg(size_.width())
                          .arg(size_.height()));
    const bool premultiplied = alpha_ && heif_image_handle_is_premultiplied_alpha(handle_.get());
    QImage picture(size_,
                   premultiplied ? QImage::Format_RGBA8888_Premultiplied : QImage::Format_RGBA8888);
    if (picture.isNull())
        throw Failure(SystemErrorText(ENOMEM));
    for (int y = 0; y < size_.height(); ++y)
        std::memcpy(picture.scanLine(y), plane + qsizetype(y) * stride, size_t(size_.width()) * 4);
    // The same four bytes a pixel: Qt converts in place, without a second picture.
    picture.convertTo(alpha_ ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    useDefaultResolution(picture);
    return picture;
}

} // namespace

std::unique_ptr<PictureReader> openHeif(PictureFile file) {
    return readerWithHeader<HeifReader>(std::move(file));
}
