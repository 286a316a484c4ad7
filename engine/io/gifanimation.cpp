// The GIF writer of animations: each frame stored as what changed since the one before it.
#include "engine/io/codecio.h"
#include "engine/io/gifcodec.h"

#include "support/failure.h"

#include <QIODevice>
#include <QImage>

#include <cstring>

namespace {
constexpr int kColorResolution = 8;

bool isShown(QRgb pixel) {
    return qAlpha(pixel) >= kShownAlpha;
}

// Whether a viewer shows the two pixels alike: both hidden, or both shown in one colour.
bool showAlike(QRgb a, QRgb b) {
    const bool shown = isShown(a);
    return shown == isShown(b) && (!shown || ((a ^ b) & RGB_MASK) == 0);
}

// The smallest rectangle holding every pixel where `test` holds, rows that `skipRow` names left
// out unseen.
template <typename Test, typename Skip> QRect boundsWhere(QSize size, Test test, Skip skipRow) {
    int left = size.width(), right = -1, top = -1, bottom = -1;
    for (int y = 0; y < size.height(); ++y) {
        if (skipRow(y))
            continue;
        int first = -1, last = -1;
        for (int x = 0; x < size.width(); ++x)
            if (test(x, y)) {
                if (first < 0)
                    first = x;
                last = x;
            }
        if (first < 0)
            continue;
        left = std::min(left, first);
        right = std::max(right, last);
        if (top < 0)
            top = y;
        bottom = y;
    }
    return top < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

QRgb pixelAt(const QImage& image, int x, int y) {
    return reinterpret_cast<const QRgb*>(image.constScanLine(y))[x];
}

QImage asWritten(const QImage& frame) {
    return frame.convertToFormat(frame.hasAlphaChannel() ? QImage::Format_ARGB32
                                                         : QImage::Format_RGB32);
}

using ColorMap = std::unique_ptr<ColorMapObject, decltype(&GifFreeMapObject)>;

ColorMap makeMap(std::vector<GifColorType>& colors) {
    return ColorMap(colors.empty() ? nullptr : GifMakeMapObject(int(colors.size()), colors.data()),
                    GifFreeMapObject);
}

bool sameColors(const std::vector<GifColorType>& a, const std::vector<GifColorType>& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](GifColorType x, GifColorType y) {
               return x.Red == y.Red && x.Green == y.Green && x.Blue == y.Blue;
           });
}
} // namespace

GifAnimationWriter::GifAnimationWriter(QIODevice& device, const GifScreen& screen)
    : device_(device), size_(screen.size), globalColors_(screen.colors) {
    int error = E_GIF_SUCCEEDED;
    gif_ = EGifOpen(&device_, gifWriteToDevice, &error);
    if (!gif_)
        throw Failure(gifErrorText(error));
    EGifSetGifVersion(gif_, true);
    const ColorMap global = makeMap(globalColors_);
    check(EGifPutScreenDesc(gif_, size_.width(), size_.height(), kColorResolution,
                            global ? screen.background : 0, global.get()));
    if (screen.loops)
        putLoops(*screen.loops);
}

GifAnimationWriter::~GifAnimationWriter() {
    if (gif_)
        EGifCloseFile(gif_, nullptr);
}

void GifAnimationWriter::check(int result) {
    if (result != GIF_ERROR)
        return;
    const int error = gif_->Error;
    throw Failure(gifFailureText(error, device_));
}

// The application extension that makes a viewer play the animation again: NETSCAPE2.0 with its
// count of repeats, 0 for ever.
void GifAnimationWriter::putLoops(int loops) {
    static const char kApplication[] = "NETSCAPE2.0";
    const GifByteType count[] = {1, GifByteType(loops & 0xFF), GifByteType((loops >> 8) & 0xFF)};
    check(EGifPutExtensionLeader(gif_, APPLICATION_EXT_FUNC_CODE));
    check(EGifPutExtensionBlock(gif_, int(sizeof kApplication) - 1, kApplication));
    check(EGifPutExtensionBlock(gif_, int(sizeof count), count));
    check(EGifPutExtensionTrailer(gif_));
}

void GifAnimationWriter::add(const QImage& given, const GifFrameFacts& facts) {
    QImage frame = asWritten(given);
    if (frame.size() != size_)
        throw Failure(QStringLiteral("a frame of %1 x %2 pixels in an animation of %3 x %4")
                          .arg(frame.width())
                          .arg(frame.height())
                          .arg(size_.width())
                          .arg(size_.height()));
    if (held_.isNull()) {
        held_ = std::move(frame);
        heldRect_ = QRect(QPoint(0, 0), size_);
        heldFacts_ = facts;
        return;
    }
    // A viewer cannot hide a pixel that a frame left shown: such pixels are cleared after the
    // held frame, so that the new one finds them hidden.
    const auto noRow = [](int) {
        return false;
    };
    const QRect uncovered =
        frame.hasAlphaChannel()
            ? boundsWhere(
                  size_,
                  [&](int x, int y) {
                      return !isShown(pixelAt(frame, x, y)) && isShown(pixelAt(held_, x, y));
                  },
                  noRow)
            : QRect();
    const bool clear = !uncovered.isEmpty();
    if (clear)
        heldRect_ = heldRect_.united(uncovered);
    writeHeld(clear ? DISPOSE_BACKGROUND : DISPOSE_DO_NOT);
    shown_ = std::move(held_);
    if (clear)
        for (int y = heldRect_.top(); y <= heldRect_.bottom(); ++y)
            std::fill_n(reinterpret_cast<QRgb*>(shown_.scanLine(y)) + heldRect_.left(),
                        heldRect_.width(), 0u);
    held_ = std::move(frame);
    heldFacts_ = facts;
    // Most rows of an animation are as they were.
    const size_t rowBytes = size_t(size_.width()) * sizeof(QRgb);
    const QRect changed = boundsWhere(
        size_,
        [&](int x, int y) { return !showAlike(pixelAt(shown_, x, y), pixelAt(held_, x, y)); },
        [&](int y) {
            return std::memcmp(shown_.constScanLine(y), held_.constScanLine(y), rowBytes) == 0;
        });
    // A frame that changes nothing still takes its place and delay: one pixel, as it was.
    heldRect_ = changed.isEmpty() ? QRect(0, 0, 1, 1) : changed;
}

void GifAnimationWriter::writeHeld(int disposal) {
    const QImage part = held_.copy(heldRect_);
    // Viewers clear a frame to the background colour when it has no transparent colour of its
    // own (Qt among them), to nothing when it has: the copy names one so that all of them clear
    // it to nothing.
    std::optional<IndexedImage> indexed =
        indexedImage(part, &heldFacts_.palette, disposal == DISPOSE_BACKGROUND);
    if (!indexed)
        throw Failure(gifErrorText(E_GIF_ERR_NOT_ENOUGH_MEM));
    GraphicsControlBlock control{};
    control.DisposalMode = disposal;
    control.UserInputFlag = false;
    control.DelayTime = heldFacts_.delay;
    control.TransparentColor = indexed->transparent;
    GifByteType extension[4];
    const size_t length = EGifGCBToExtension(&control, extension);
    check(EGifPutExtension(gif_, GRAPHICS_EXT_FUNC_CODE, int(length), extension));
    // The global colour table serves a frame in those very colours; others carry their own.
    const ColorMap local = sameColors(indexed->palette, globalColors_)
                               ? ColorMap(nullptr, GifFreeMapObject)
                               : makeMap(indexed->palette);
    // giflib forgets, without freeing it, the colour table of the frame before when this frame
    // has none of its own.
    if (!local && gif_->Image.ColorMap) {
        GifFreeMapObject(gif_->Image.ColorMap);
        gif_->Image.ColorMap = nullptr;
    }
    check(EGifPutImageDesc(gif_, heldRect_.x(), heldRect_.y(), heldRect_.width(),
                           heldRect_.height(), false, local.get()));
    for (int y = 0; y < heldRect_.height(); ++y)
        check(EGifPutLine(gif_, indexed->pixels.data() + size_t(y) * size_t(heldRect_.width()),
                          heldRect_.width()));
}

void GifAnimationWriter::finish() {
    if (!held_.isNull())
        writeHeld(DISPOSE_DO_NOT);
    held_ = QImage();
    shown_ = QImage();
    int error = E_GIF_SUCCEEDED;
    GifFileType* gif = std::exchange(gif_, nullptr);
    if (EGifCloseFile(gif, &error) != GIF_OK)
        throw Failure(gifFailureText(error, device_));
}
