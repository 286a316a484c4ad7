// WebP in and out with libwebp: the first frame of an animation, and the metadata chunks (ICCP,
// EXIF, XMP) through its demuxer and muxer.
#include "engine/io/codecio.h"
#include "engine/io/metadata.h"
#include "engine/io/picturewriter.h"

#include "support/failure.h"

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <cerrno>

namespace {

// The encoded picture with the metadata's chunks, through the muxer.
QByteArray withMetadata(const QByteArray& image, const PictureMetadata& metadata);

const QString kWebpDamagedText = QStringLiteral("damaged WebP picture");

WebPData dataOf(const QByteArray& bytes) {
    return WebPData{reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size())};
}

QByteArray chunkOf(WebPDemuxer* demux, const char* fourcc) {
    WebPChunkIterator chunk;
    if (!WebPDemuxGetChunk(demux, fourcc, 1, &chunk))
        return {};
    QByteArray bytes(reinterpret_cast<const char*>(chunk.chunk.bytes), qsizetype(chunk.chunk.size));
    WebPDemuxReleaseChunkIterator(&chunk);
    return bytes;
}

class WebpReader final : public PictureReader {
public:
    explicit WebpReader(PictureFile file) : file_(std::move(file)) {}
    ~WebpReader() override { WebPDemuxDelete(demux_); }

    void readHeader();

    PictureFormat format() const override { return PictureFormat::Webp; }
    QSize size() const override { return size_; }
    bool hasAlpha() const override { return alpha_; }
    const PictureMetadata& metadata() const override { return metadata_; }
    int orientation() const override { return OrientationOf(metadata_); }
    bool canStream() const override { return false; }
    void readRows(uchar* rows, qsizetype bytesPerLine, int count) override {
        held_.copy(*this, rows, bytesPerLine, count);
    }
    QImage readAll() override;
    QStringList notes() const override {
        return frames_ > 1 ? QStringList{kFirstFrameNote.arg(frames_)} : QStringList();
    }

private:
    QImage firstFrame();

    PictureFile file_;
    QByteArray bytes_;
    WebPDemuxer* demux_ = nullptr;
    QSize size_;
    bool alpha_ = false;
    int frames_ = 1;
    PictureMetadata metadata_;
    HeldRows held_;
};

void WebpReader::readHeader() {
    bytes_ = readWholeFile(file_.get());
    const WebPData data = dataOf(bytes_);
    WebPDemuxState state = WEBP_DEMUX_PARSE_ERROR;
    demux_ = WebPDemuxPartial(&data, &state);
    if (!demux_ || state == WEBP_DEMUX_PARSE_ERROR)
        throw Failure(kWebpDamagedText);
    if (state != WEBP_DEMUX_DONE)
        failDataEndsEarly();
    size_ = QSize(int(WebPDemuxGetI(demux_, WEBP_FF_CANVAS_WIDTH)),
                  int(WebPDemuxGetI(demux_, WEBP_FF_CANVAS_HEIGHT)));
    alpha_ = (WebPDemuxGetI(demux_, WEBP_FF_FORMAT_FLAGS) & ALPHA_FLAG) != 0;
    frames_ = int(WebPDemuxGetI(demux_, WEBP_FF_FRAME_COUNT));
    if (frames_ == 1) {
        // A simple (lossy or lossless) WebP has no extended header to say it holds alpha.
        WebPBitstreamFeatures features;
        if (WebPGetFeatures(data.bytes, data.size, &features) == VP8_STATUS_OK)
            alpha_ = alpha_ || features.has_alpha;
    }
    metadata_.icc = chunkOf(demux_, "ICCP");
    metadata_.exif = exifFromTiffHeader(chunkOf(demux_, "EXIF"));
    metadata_.xmp = chunkOf(demux_, "XMP ");
}

// An animation's first frame is composed on its canvas by the animation decoder, as a viewer
// shows it; a still picture is decoded straight into the engine's rows (BGRA in memory is
// ARGB32 on the little-endian machines this runs on).
QImage WebpReader::firstFrame() {
    QImage image = newPicture(size_, alpha_);
    const WebPData data = dataOf(bytes_);
    if (frames_ <= 1) {
        if (!WebPDecodeBGRAInto(data.bytes, data.size, image.bits(), size_t(image.sizeInBytes()),
                                int(image.bytesPerLine())))
            throw Failure(kWebpDamagedText);
        return image;
    }
    WebPAnimDecoderOptions options;
    WebPAnimDecoderOptionsInit(&options);
    options.color_mode = MODE_BGRA;
    options.use_threads = 0;
    WebPAnimDecoder* decoder = WebPAnimDecoderNew(&data, &options);
    uint8_t* canvas = nullptr;
    int timestamp = 0;
    const bool decoded = decoder && WebPAnimDecoderGetNext(decoder, &canvas, &timestamp);
    if (decoded)
        for (int y = 0; y < image.height(); ++y)
            std::copy_n(canvas + size_t(y) * size_t(size_.width()) * 4, size_t(size_.width()) * 4,
                        image.scanLine(y));
    WebPAnimDecoderDelete(decoder);
    if (!decoded)
        throw Failure(kWebpDamagedText);
    return image;
}

QImage WebpReader::readAll() {
    QImage image = firstFrame();
    if (!alpha_)
        for (int y = 0; y < image.height(); ++y) {
            auto* pixels = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                pixels[x] |= 0xFF000000u;
        }
    return image;
}

int writeToBytes(const uint8_t* data, size_t size, const WebPPicture* picture) {
    static_cast<QByteArray*>(picture->custom_ptr)
        ->append(reinterpret_cast<const char*>(data), qsizetype(size));
    return 1;
}

QString encoderErrorText(WebPEncodingError error) {
    return error == VP8_ENC_ERROR_OUT_OF_MEMORY
               ? SystemErrorText(ENOMEM)
               : QStringLiteral("WebP encoder error %1").arg(int(error));
}

WebPConfig configAt(int quality) {
    WebPConfig config;
    if (!WebPConfigInit(&config))
        throw Failure(QStringLiteral("WebP encoder version mismatch"));
    config.quality = float(quality);
    return config;
}

// Encodes the picture and frees it.
QByteArray encodedPicture(const WebPConfig& config, WebPPicture& picture) {
    QByteArray bytes;
    picture.writer = writeToBytes;
    picture.custom_ptr = &bytes;
    const bool encoded = WebPEncode(&config, &picture);
    const WebPEncodingError error = picture.error_code;
    WebPPictureFree(&picture);
    if (!encoded)
        throw Failure(encoderErrorText(error));
    return bytes;
}

// Lossy WebP codes YUV: rows are imported straight into its planes, so the picture is not held a
// second time as ARGB beside them.
bool importRows(WebPPicture& picture, const uchar* rows, qsizetype bytesPerLine, bool alpha) {
    picture.use_argb = 0;
    return alpha ? WebPPictureImportBGRA(&picture, rows, int(bytesPerLine))
                 : WebPPictureImportBGRX(&picture, rows, int(bytesPerLine));
}

QByteArray encodedPixels(const QImage& pixels, int quality) {
    const WebPConfig config = configAt(quality);
    WebPPicture picture;
    WebPPictureInit(&picture);
    picture.width = pixels.width();
    picture.height = pixels.height();
    if (!importRows(picture, pixels.constBits(), pixels.bytesPerLine(),
                    pixels.format() == QImage::Format_ARGB32)) {
        WebPPictureFree(&picture);
        throw Failure(encoderErrorText(VP8_ENC_ERROR_OUT_OF_MEMORY));
    }
    return encodedPicture(config, picture);
}

// The picture's YUV planes filled a band of rows at a time, each band converted by libwebp on its
// own: its chroma is made from pairs of rows, so bands that start on even rows give the planes
// that the whole picture gives. An odd row at a band's end waits for the next band.
class WebpRowWriter final : public RowWriter {
public:
    WebpRowWriter(QIODevice& device, QSize size, bool alpha, int quality,
                  const PictureMetadata& metadata)
        : device_(device), alpha_(alpha), config_(configAt(quality)), metadata_(metadata) {
        WebPPictureInit(&picture_);
        picture_.use_argb = 0;
        picture_.width = size.width();
        picture_.height = size.height();
        picture_.colorspace = alpha ? WEBP_YUV420A : WEBP_YUV420;
        if (!WebPPictureAlloc(&picture_))
            throw Failure(SystemErrorText(ENOMEM));
    }
    ~WebpRowWriter() override { WebPPictureFree(&picture_); }

    void writeRows(const uchar* rows, qsizetype bytesPerLine, int count) override {
        const qsizetype rowBytes = qsizetype(picture_.width) * 4;
        if (!carry_.empty()) {
            std::vector<uchar> joined(carry_);
            joined.resize(size_t(rowBytes) * size_t(count + 1));
            for (int y = 0; y < count; ++y)
                std::copy_n(rows + y * bytesPerLine, rowBytes,
                            joined.begin() + qsizetype(y + 1) * rowBytes);
            carry_.clear();
            return writeEven(joined.data(), rowBytes, count + 1);
        }
        writeEven(rows, bytesPerLine, count);
    }

    void finish() override {
        if (!carry_.empty())
            importBand(carry_.data(), qsizetype(carry_.size()), 1);
        carry_.clear();
        const QByteArray bytes = withMetadata(encodedPicture(config_, picture_), metadata_);
        writeAllToDevice(device_, bytes.constData(), bytes.size());
    }

private:
    void writeEven(const uchar* rows, qsizetype bytesPerLine, int count) {
        const int even = count & ~1;
        if (even > 0)
            importBand(rows, bytesPerLine, even);
        if (even < count)
            carry_.assign(rows + even * bytesPerLine,
                          rows + even * bytesPerLine + qsizetype(picture_.width) * 4);
    }

    void importBand(const uchar* rows, qsizetype bytesPerLine, int count) {
        if (done_ + count > picture_.height)
            throw Failure(QStringLiteral("more rows than the picture holds"));
        WebPPicture band;
        WebPPictureInit(&band);
        band.width = picture_.width;
        band.height = count;
        const bool imported = importRows(band, rows, bytesPerLine, alpha_);
        if (imported)
            copyPlanes(band);
        WebPPictureFree(&band);
        if (!imported)
            throw Failure(SystemErrorText(ENOMEM));
        done_ += count;
    }

    void copyPlanes(const WebPPicture& band) {
        const int width = picture_.width, chromaWidth = (width + 1) / 2;
        for (int y = 0; y < band.height; ++y) {
            std::copy_n(band.y + y * band.y_stride, width,
                        picture_.y + (done_ + y) * picture_.y_stride);
            // An opaque band is imported without its alpha plane.
            uint8_t* alpha = alpha_ ? picture_.a + (done_ + y) * picture_.a_stride : nullptr;
            if (alpha && band.a)
                std::copy_n(band.a + y * band.a_stride, width, alpha);
            else if (alpha)
                std::fill_n(alpha, width, uint8_t(0xFF));
        }
        for (int y = 0; y < (band.height + 1) / 2; ++y) {
            std::copy_n(band.u + y * band.uv_stride, chromaWidth,
                        picture_.u + (done_ / 2 + y) * picture_.uv_stride);
            std::copy_n(band.v + y * band.uv_stride, chromaWidth,
                        picture_.v + (done_ / 2 + y) * picture_.uv_stride);
        }
    }

    QIODevice& device_;
    bool alpha_;
    WebPConfig config_;
    PictureMetadata metadata_;
    WebPPicture picture_;
    std::vector<uchar> carry_; // an odd row kept for the next band
    int done_ = 0;             // rows in the planes
};

} // namespace

std::unique_ptr<PictureReader> openWebp(PictureFile file) {
    return readerWithHeader<WebpReader>(std::move(file));
}

QByteArray encodeWebp(const QImage& pixels, int quality, const PictureMetadata& metadata) {
    return withMetadata(encodedPixels(pixels, quality), metadata);
}

std::unique_ptr<RowWriter> startWebpWriter(QIODevice& device, QSize size, bool alpha, int quality,
                                           const PictureMetadata& metadata) {
    return std::make_unique<WebpRowWriter>(device, size, alpha, quality, metadata);
}

namespace {
QByteArray withMetadata(const QByteArray& image, const PictureMetadata& metadata) {
    if (metadata.icc.isEmpty() && metadata.exif.isEmpty() && metadata.xmp.isEmpty())
        return image;
    // The muxer writes the extended header that announces the chunks, in the order the format
    // asks: ICCP before the image, EXIF and XMP after it.
    WebPMux* mux = WebPMuxNew();
    const WebPData imageData = dataOf(image);
    bool ok = mux && WebPMuxSetImage(mux, &imageData, 0) == WEBP_MUX_OK;
    const QByteArray* const chunks[] = {&metadata.icc, &metadata.exif, &metadata.xmp};
    const char* const names[] = {"ICCP", "EXIF", "XMP "};
    for (size_t i = 0; ok && i < 3; ++i) {
        const WebPData chunk = dataOf(*chunks[i]);
        ok = chunks[i]->isEmpty() || WebPMuxSetChunk(mux, names[i], &chunk, 1) == WEBP_MUX_OK;
    }
    WebPData assembled{};
    ok = ok && WebPMuxAssemble(mux, &assembled) == WEBP_MUX_OK;
    WebPMuxDelete(mux);
    if (!ok)
        throw Failure(SystemErrorText(ENOMEM));
    QByteArray bytes(reinterpret_cast<const char*>(assembled.bytes), qsizetype(assembled.size));
    WebPDataClear(&assembled);
    return bytes;
}
} // namespace
