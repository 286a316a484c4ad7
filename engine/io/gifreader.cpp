// The GIF reader: giflib, the first frame decoded whole, the others read to the file's end.
#include "engine/io/gifwriter.h"
#include "engine/io/codecio.h"

#include "support/failure.h"

#include <gif_lib.h>

#include <cerrno>
#include <vector>

namespace {

int readFromFile(GifFileType* gif, GifByteType* data, int length) {
    return int(std::fread(data, 1, size_t(length), static_cast<std::FILE*>(gif->UserData)));
}

// giflib names the part it could not read, not why: a read that met the end of the file is a
// picture cut short.
[[noreturn]] void failWith(int error, std::FILE* file) {
    if (std::ferror(file))
        throw Failure(SystemErrorText(errno));
    if (std::feof(file))
        failDataEndsEarly();
    throw Failure(gifErrorText(error));
}

// Rows in the order an interlaced GIF stores them: every eighth from 0, every eighth from 4,
// every fourth from 2, every second from 1.
std::vector<int> rowOrder(int height, bool interlaced) {
    std::vector<int> order;
    order.reserve(size_t(height));
    if (!interlaced) {
        for (int y = 0; y < height; ++y)
            order.push_back(y);
        return order;
    }
    constexpr int kStart[] = {0, 4, 2, 1};
    constexpr int kStep[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int y = kStart[pass]; y < height; y += kStep[pass])
            order.push_back(y);
    return order;
}

class GifReader final : public PictureReader {
public:
    explicit GifReader(PictureFile file) : file_(std::move(file)) {}
    ~GifReader() override {
        if (gif_)
            DGifCloseFile(gif_, nullptr);
    }

    void readHeader();

    PictureFormat format() const override { return PictureFormat::Gif; }
    QSize size() const override { return QSize(gif_->SWidth, gif_->SHeight); }
    bool hasAlpha() const override { return transparent_ != NO_TRANSPARENT_COLOR; }
    const PictureMetadata& metadata() const override { return metadata_; }
    int orientation() const override { return 1; }
    bool canStream() const override { return false; }
    void readRows(uchar* rows, qsizetype bytesPerLine, int count) override {
        held_.copy(*this, rows, bytesPerLine, count);
    }
    QImage readAll() override;

private:
    void check(int result) const {
        if (result == GIF_ERROR)
            failWith(gif_->Error, file_.get());
    }
    void skipExtension(int code, GifByteType* block);
    void skipToEnd();
    QRgb colorOf(int index) const;
    void decodeFrame(QImage& image);

    HeldRows held_;

    PictureFile file_;
    GifFileType* gif_ = nullptr;
    int transparent_ = NO_TRANSPARENT_COLOR;
    PictureMetadata metadata_;
};

// Reads up to the first image's descriptor, taking its transparent colour from the graphic
// control extension before it, so that size and transparency are known before any pixel.
void GifReader::readHeader() {
    int error = 0;
    gif_ = DGifOpen(file_.get(), readFromFile, &error);
    if (!gif_)
        failWith(error, file_.get());
    for (GifRecordType record = UNDEFINED_RECORD_TYPE; record != IMAGE_DESC_RECORD_TYPE;) {
        check(DGifGetRecordType(gif_, &record));
        if (record == TERMINATE_RECORD_TYPE)
            throw Failure(gifErrorText(D_GIF_ERR_NO_IMAG_DSCR));
        if (record == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* block = nullptr;
            check(DGifGetExtension(gif_, &code, &block));
            skipExtension(code, block);
        }
    }
    check(DGifGetImageDesc(gif_));
}

void GifReader::skipExtension(int code, GifByteType* block) {
    GraphicsControlBlock control{};
    if (code == GRAPHICS_EXT_FUNC_CODE && block && transparent_ == NO_TRANSPARENT_COLOR &&
        DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK)
        transparent_ = control.TransparentColor;
    while (block)
        check(DGifGetExtensionNext(gif_, &block));
}

// The frames after the first are not shown, but a file cut anywhere is refused all the same.
void GifReader::skipToEnd() {
    for (GifRecordType record = UNDEFINED_RECORD_TYPE; record != TERMINATE_RECORD_TYPE;) {
        check(DGifGetRecordType(gif_, &record));
        int code = 0;
        GifByteType* block = nullptr;
        if (record == IMAGE_DESC_RECORD_TYPE) {
            check(DGifGetImageDesc(gif_));
            check(DGifGetCode(gif_, &code, &block));
            while (block)
                check(DGifGetCodeNext(gif_, &block));
        } else if (record == EXTENSION_RECORD_TYPE) {
            check(DGifGetExtension(gif_, &code, &block));
            skipExtension(code, block);
        }
    }
}

// As Qt reads GIF: the transparent index keeps its colour with alpha 0.
QRgb GifReader::colorOf(int index) const {
    const ColorMapObject* map = gif_->Image.ColorMap ? gif_->Image.ColorMap : gif_->SColorMap;
    if (!map || index >= map->ColorCount)
        return qRgb(0, 0, 0);
    const GifColorType& color = map->Colors[index];
    const QRgb rgb = qRgb(color.Red, color.Green, color.Blue);
    return index == transparent_ ? rgb & RGB_MASK : rgb;
}

void GifReader::decodeFrame(QImage& image) {
    const GifImageDesc& frame = gif_->Image;
    const int background = gif_->SColorMap ? gif_->SBackGroundColor : -1;
    image.fill(hasAlpha() ? 0u : background >= 0 ? colorOf(background) | 0xFF000000u : 0xFF000000u);
    std::vector<GifPixelType> line(size_t(std::max(frame.Width, 0)));
    for (const int y : rowOrder(frame.Height, frame.Interlace)) {
        check(DGifGetLine(gif_, line.data(), frame.Width));
        const int row = frame.Top + y;
        if (row < 0 || row >= image.height())
            continue;
        auto* pixels = reinterpret_cast<QRgb*>(image.scanLine(row));
        for (int x = 0; x < frame.Width; ++x)
            if (frame.Left + x >= 0 && frame.Left + x < image.width())
                pixels[frame.Left + x] = colorOf(line[size_t(x)]);
    }
}

QImage GifReader::readAll() {
    QImage image = newPicture(size(), hasAlpha());
    decodeFrame(image);
    skipToEnd();
    return image;
}

} // namespace

std::unique_ptr<PictureReader> openGif(PictureFile file) {
    return readerWithHeader<GifReader>(std::move(file));
}
