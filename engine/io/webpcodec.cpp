// WebP in and out with libwebp: the first frame of an animation, and the metadata chunks (ICCP,
// EXIF, XMP) through its demuxer and muxer.
#include "engine/io/codecio.h"
#include "engine/io/metadata.h"

#include "support/failure.h"

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <cerrno>

namespace {

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

QByteArray encodedPixels(const QImage& pixels, int quality) {
    WebPConfig config;
    if (!WebPConfigInit(&config))
        throw Failure(QStringLiteral("WebP encoder version mismatch"));
    config.quality = float(quality);
    WebPPicture picture;
    WebPPictureInit(&picture);
    picture.width = pixels.width();
    picture.height = pixels.height();
    picture.use_argb = 1;
    const bool alpha = pixels.format() == QImage::Format_ARGB32;
    const int imported =
        alpha ? WebPPictureImportBGRA(&picture, pixels.constBits(), int(pixels.bytesPerLine()))
              : WebPPictureImportBGRX(&picture, pixels.constBits(), int(pixels.bytesPerLine()));
    QByteArray bytes;
    picture.writer = writeToBytes;
    picture.custom_ptr = &bytes;
    const bool encoded = imported && WebPEncode(&config, &picture);
    const WebPEncodingError error = imported ? picture.error_code : VP8_ENC_ERROR_OUT_OF_MEMORY;
    WebPPictureFree(&picture);
    if (!encoded)
        throw Failure(encoderErrorText(error));
    return bytes;
}

} // namespace

std::unique_ptr<PictureReader> openWebp(PictureFile file) {
    return readerWithHeader<WebpReader>(std::move(file));
}

QByteArray encodeWebp(const QImage& pixels, int quality, const PictureMetadata& metadata) {
    const QByteArray image = encodedPixels(pixels, quality);
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
