// The GIF reader: giflib, the first frame decoded whole, the others read to the file's end; for a
// GIF copy of an animation, every frame composed as a viewer shows it.
#include "engine/io/codecio.h"
#include "engine/io/gifcodec.h"

#include "support/failure.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <optional>
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

// The count of repeats of an application extension that names one (NETSCAPE2.0, or ANIMEXTS1.0
// as some programs wrote it), whose first block is `block`; reads the extension's blocks to its
// end. Nothing for any other application.
std::optional<int> loopsIn(GifFileType* gif, GifByteType* block) {
    constexpr int kNameBytes = 11;
    const bool loops = block && block[0] == kNameBytes &&
                       (std::memcmp(block + 1, "NETSCAPE2.0", kNameBytes) == 0 ||
                        std::memcmp(block + 1, "ANIMEXTS1.0", kNameBytes) == 0);
    std::optional<int> count;
    while (block) {
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR)
            return count;
        if (loops && !count && block && block[0] >= 3 && block[1] == 1)
            count = block[2] | (block[3] << 8);
    }
    return count;
}

// What one pass over a GIF's records finds without decoding a pixel: how many frames it holds
// whole, whether any has a transparent colour, and how many times it plays.
struct GifOutline {
    int frames = 0;
    bool transparent = false;
    std::optional<int> loops;
};

// Reads the records from the file's start up to its end or the first fault, which the decoding
// pass reports in its turn; the file is left where it was, for the decoding pass to go on.
GifOutline outlineOf(std::FILE* file) {
    const long at = std::ftell(file);
    std::rewind(file);
    GifOutline outline;
    int error = 0;
    GifFileType* gif = DGifOpen(file, readFromFile, &error);
    for (GifRecordType record = UNDEFINED_RECORD_TYPE; gif && record != TERMINATE_RECORD_TYPE;) {
        if (DGifGetRecordType(gif, &record) == GIF_ERROR)
            break;
        int code = 0;
        GifByteType* block = nullptr;
        if (record == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageDesc(gif) == GIF_ERROR || DGifGetCode(gif, &code, &block) == GIF_ERROR)
                break;
            while (block && DGifGetCodeNext(gif, &block) != GIF_ERROR) {
            }
            if (block)
                break;
            ++outline.frames;
        } else if (record == EXTENSION_RECORD_TYPE) {
            if (DGifGetExtension(gif, &code, &block) == GIF_ERROR)
                break;
            GraphicsControlBlock control{};
            if (code == GRAPHICS_EXT_FUNC_CODE && block &&
                DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK &&
                control.TransparentColor != NO_TRANSPARENT_COLOR)
                outline.transparent = true;
            if (code == APPLICATION_EXT_FUNC_CODE) {
                const std::optional<int> loops = loopsIn(gif, block);
                if (!outline.loops)
                    outline.loops = loops;
                continue;
            }
            while (block && DGifGetExtensionNext(gif, &block) != GIF_ERROR) {
            }
            if (block)
                break;
        }
    }
    if (gif)
        DGifCloseFile(gif, nullptr);
    std::clearerr(file);
    std::fseek(file, at, SEEK_SET);
    return outline;
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
    QStringList notes() const override;
    std::unique_ptr<FrameSequence> frames(PictureFormat output) override;
    qint64 framesBytes(PictureFormat output) const override;

    // The frames' way, one after the other, for the sequence. The outline is read at the first
    // question, from a copy in GIF alone: another copy takes the first frame
    // and learns the count of the others as it reads past them.
    const GifOutline& outline() const {
        if (!outline_)
            outline_ = outlineOf(file_.get());
        return *outline_;
    }
    GifScreen screen() const;
    // What a viewer shows where nothing is drawn: transparent in an animation with any
    // transparency, the screen's background colour otherwise.
    QRgb background() const;
    // Moves on to the next frame's descriptor, with the graphic control before it.
    void nextImage();
    // The frame at hand: its rectangle within the screen, its control and its colours.
    QRect frameRect() const;
    const GraphicsControlBlock& control() const { return control_; }
    GifPalette framePalette() const;
    // Draws the frame at hand over the picture, leaving its transparent pixels as they were.
    void drawFrame(QImage& canvas);
    void skipToEnd();

private:
    void check(int result) const {
        if (result == GIF_ERROR)
            failWith(gif_->Error, file_.get());
    }
    void skipExtension(int code, GifByteType* block);
    // Reads the records up to the next image's descriptor and the descriptor itself, the graphic
    // control before it taken; a file that ends first fails with `endedText`.
    void readToImage(const QString& endedText);
    const ColorMapObject* colorMap() const {
        return gif_->Image.ColorMap ? gif_->Image.ColorMap : gif_->SColorMap;
    }
    QRgb colorOf(int index) const;
    void decodeFrame(QImage& image);
    template <typename Put> void readLines(Put put);

    HeldRows held_;

    PictureFile file_;
    GifFileType* gif_ = nullptr;
    int transparent_ = NO_TRANSPARENT_COLOR;
    GraphicsControlBlock control_{};
    mutable std::optional<GifOutline> outline_;
    int framesSeen_ = 1; // by the first frame's way, which reads past the others
    bool sequenceGiven_ = false;
    PictureMetadata metadata_;
};

GraphicsControlBlock noControl() {
    GraphicsControlBlock control{};
    control.DisposalMode = DISPOSAL_UNSPECIFIED;
    control.TransparentColor = NO_TRANSPARENT_COLOR;
    return control;
}

// Reads up to the first image's descriptor, taking its transparent colour from the graphic
// control extension before it, so that size and transparency are known before any pixel.
void GifReader::readHeader() {
    control_ = noControl();
    int error = 0;
    gif_ = DGifOpen(file_.get(), readFromFile, &error);
    if (!gif_)
        failWith(error, file_.get());
    readToImage(gifErrorText(D_GIF_ERR_NO_IMAG_DSCR));
}

void GifReader::readToImage(const QString& endedText) {
    for (GifRecordType record = UNDEFINED_RECORD_TYPE; record != IMAGE_DESC_RECORD_TYPE;) {
        check(DGifGetRecordType(gif_, &record));
        if (record == TERMINATE_RECORD_TYPE)
            throw Failure(endedText);
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
    GraphicsControlBlock control = noControl();
    if (code == GRAPHICS_EXT_FUNC_CODE && block &&
        DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK) {
        control_ = control;
        if (transparent_ == NO_TRANSPARENT_COLOR)
            transparent_ = control.TransparentColor;
    }
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
            ++framesSeen_;
        } else if (record == EXTENSION_RECORD_TYPE) {
            check(DGifGetExtension(gif_, &code, &block));
            skipExtension(code, block);
        }
    }
}

// As Qt reads GIF: the transparent index keeps its colour with alpha 0.
QRgb GifReader::colorOf(int index) const {
    const ColorMapObject* map = colorMap();
    if (!map || index >= map->ColorCount)
        return qRgb(0, 0, 0);
    const GifColorType& color = map->Colors[index];
    const QRgb rgb = qRgb(color.Red, color.Green, color.Blue);
    return index == transparent_ ? rgb & RGB_MASK : rgb;
}

// Calls put(pixel, index) for each pixel of the frame at hand that falls on the screen.
template <typename Put> void GifReader::readLines(Put put) {
    const GifImageDesc& frame = gif_->Image;
    const QSize screen = size();
    std::vector<GifPixelType> line(size_t(std::max(frame.Width, 0)));
    for (const int y : rowOrder(frame.Height, frame.Interlace)) {
        check(DGifGetLine(gif_, line.data(), frame.Width));
        const int row = frame.Top + y;
        if (row < 0 || row >= screen.height())
            continue;
        for (int x = std::max(0, -frame.Left); x < frame.Width && frame.Left + x < screen.width();
             ++x)
            put(QPoint(frame.Left + x, row), line[size_t(x)]);
    }
}

QRgb GifReader::background() const {
    if (outline().transparent)
        return 0u;
    const int index = gif_->SColorMap ? gif_->SBackGroundColor : -1;
    return index >= 0 ? colorOf(index) | 0xFF000000u : 0xFF000000u;
}

void GifReader::decodeFrame(QImage& image) {
    const int background = gif_->SColorMap ? gif_->SBackGroundColor : -1;
    image.fill(hasAlpha() ? 0u : background >= 0 ? colorOf(background) | 0xFF000000u : 0xFF000000u);
    readLines([&](QPoint at, int index) {
        reinterpret_cast<QRgb*>(image.scanLine(at.y()))[at.x()] = colorOf(index);
    });
}

void GifReader::drawFrame(QImage& canvas) {
    const int hidden = control_.TransparentColor;
    readLines([&](QPoint at, int index) {
        if (index != hidden)
            reinterpret_cast<QRgb*>(canvas.scanLine(at.y()))[at.x()] = colorOf(index) | 0xFF000000u;
    });
}

void GifReader::nextImage() {
    control_ = noControl();
    readToImage(kDataEndsEarlyText);
}

QRect GifReader::frameRect() const {
    const GifImageDesc& frame = gif_->Image;
    return QRect(frame.Left, frame.Top, frame.Width, frame.Height)
        .intersected(QRect(QPoint(0, 0), size()));
}

GifPalette GifReader::framePalette() const {
    GifPalette palette;
    if (const ColorMapObject* map = colorMap())
        palette.colors.assign(map->Colors, map->Colors + map->ColorCount);
    palette.transparent = control_.TransparentColor;
    return palette;
}

GifScreen GifReader::screen() const {
    GifScreen screen;
    screen.size = size();
    if (gif_->SColorMap) {
        screen.colors.assign(gif_->SColorMap->Colors,
                             gif_->SColorMap->Colors + gif_->SColorMap->ColorCount);
        screen.background = gif_->SBackGroundColor;
    }
    screen.loops = outline().loops;
    return screen;
}

QImage GifReader::readAll() {
    QImage image = newPicture(size(), hasAlpha());
    decodeFrame(image);
    skipToEnd();
    return image;
}

// The frames of an animation written as a GIF: the screen as a viewer shows it after each frame,
// with what the frame before it left cleared or restored, and what its copy keeps of each.
class GifFrames final : public FrameSequence {
public:
    explicit GifFrames(GifReader& reader) : reader_(reader) {}

    int count() const override { return reader_.outline().frames; }
    QImage frame(int index) override;
    void startWriting(QIODevice& device, const PictureMetadata& metadata) override {
        Q_UNUSED(metadata); // a GIF holds none
        writer_.emplace(device, reader_.screen());
    }
    void writeFrame(const QImage& stamped) override {
        writer_->add(stamped, facts_.front());
        facts_.pop_front();
    }
    void finish() override { writer_->finish(); }

private:
    void disposePrevious();

    GifReader& reader_;
    int next_ = 0;
    QImage canvas_;
    // Beneath the frame before, for a frame to be taken away again (disposal "previous").
    QImage beneath_;
    QRect previousRect_;
    int previousDisposal_ = DISPOSAL_UNSPECIFIED;
    std::deque<GifFrameFacts> facts_;
    std::optional<GifAnimationWriter> writer_;
};

void GifFrames::disposePrevious() {
    if (previousDisposal_ == DISPOSE_BACKGROUND) {
        const QRgb background = reader_.background();
        for (int y = previousRect_.top(); y <= previousRect_.bottom(); ++y)
            std::fill_n(reinterpret_cast<QRgb*>(canvas_.scanLine(y)) + previousRect_.left(),
                        previousRect_.width(), background);
    } else if (previousDisposal_ == DISPOSE_PREVIOUS && !beneath_.isNull()) {
        for (int y = 0; y < beneath_.height(); ++y)
            std::copy_n(reinterpret_cast<const QRgb*>(beneath_.constScanLine(y)), beneath_.width(),
                        reinterpret_cast<QRgb*>(canvas_.scanLine(previousRect_.top() + y)) +
                            previousRect_.left());
    }
}

QImage GifFrames::frame(int index) {
    if (index != next_)
        throw Failure(QStringLiteral("the frames of a GIF are read in order"));
    if (index == 0) {
        canvas_ = newPicture(reader_.size(), reader_.outline().transparent);
        canvas_.fill(reader_.background());
    } else {
        disposePrevious();
        reader_.nextImage();
    }
    const QRect rect = reader_.frameRect();
    const int disposal = reader_.control().DisposalMode;
    beneath_ = disposal == DISPOSE_PREVIOUS && !rect.isEmpty() ? canvas_.copy(rect) : QImage();
    reader_.drawFrame(canvas_);
    previousRect_ = rect;
    previousDisposal_ = disposal;
    facts_.push_back(GifFrameFacts{reader_.control().DelayTime, reader_.framePalette()});
    if (++next_ == count())
        reader_.skipToEnd();
    return canvas_;
}

QStringList GifReader::notes() const {
    if (framesSeen_ > 1 && !sequenceGiven_)
        return {kFirstFrameNote.arg(framesSeen_)};
    return {};
}

std::unique_ptr<FrameSequence> GifReader::frames(PictureFormat output) {
    if (output != PictureFormat::Gif || outline().frames < 2)
        return nullptr;
    sequenceGiven_ = true;
    return std::make_unique<GifFrames>(*this);
}

// Besides the frame being stamped: the screen the frames are composed on, what lies beneath a
// frame to be taken away, the first stamped frame kept for a preview, and the writer's frame
// held back and what a viewer shows before it, with the changed part copied for its indices.
qint64 GifReader::framesBytes(PictureFormat output) const {
    if (output != PictureFormat::Gif || outline().frames < 2)
        return 0;
    constexpr qint64 kHeldPictures = 6;
    constexpr qint64 kPixelBytes = 4;
    return kHeldPictures * kPixelBytes * qint64(size().width()) * qint64(size().height());
}
} // namespace

std::unique_ptr<PictureReader> openGif(PictureFile file) {
    return readerWithHeader<GifReader>(std::move(file));
}
