#pragma once

// What the GIF reader and the GIF writers share: a picture as palette indices and the writing of
// an animation's frames. The rest of the engine sees only gifwriter.h.

#include "engine/io/gifwriter.h"

#include <QRect>
#include <QSize>

#include <gif_lib.h>

#include <memory>
#include <optional>
#include <vector>

class QImage;
class QIODevice;

// A picture as palette indices, the palette padded to the power of two a GIF colour table needs.
struct IndexedImage {
    std::vector<GifColorType> palette;
    std::vector<GifByteType> pixels;
    int transparent = NO_TRANSPARENT_COLOR;
};

// A GIF pixel is either shown or not: the half-transparent ones go the nearer way.
inline constexpr int kShownAlpha = 128;

// The colours a frame of the picture was stored with: a copy of the frame whose colours still
// fit them keeps them.
struct GifPalette {
    std::vector<GifColorType> colors;
    int transparent = NO_TRANSPARENT_COLOR;
};

// An ARGB32 or RGB32 picture as indices: in `preferred` when its colours all fit there, else with
// its own colours when it has at most 256, else reduced to the 256 that represent it best. With
// a transparent index when it has hidden pixels or `transparent` asks for one. Nothing when
// giflib cannot reduce it.
std::optional<IndexedImage> indexedImage(const QImage& image, const GifPalette* preferred,
                                         bool transparent);

// giflib's output function for a QIODevice passed as its user data.
int gifWriteToDevice(GifFileType* gif, const GifByteType* data, int length);
// The device's reason for a failed write, giflib's words for any other failure.
QString gifFailureText(int error, const QIODevice& device);

// What an animation's copy keeps of the whole: the logical screen's colours and how many times
// it plays (nothing: once, as the picture said no more; 0: for ever).
struct GifScreen {
    QSize size;
    std::vector<GifColorType> colors; // the global colour table, empty when there is none
    int background = 0;
    std::optional<int> loops;
};

// One frame as the animation holds it before its copy is written.
struct GifFrameFacts {
    int delay = 0; // in hundredths of a second
    GifPalette palette;
};

// Writes an animation frame after frame, each as the rectangle that changed since the frame
// before it, so that a viewer shows every frame exactly as it was given. A frame is held back
// until the next one comes: whether it must be cleared after it is shown depends on the next.
// Raises a Failure with the device's reason or giflib's.
class GifAnimationWriter {
public:
    GifAnimationWriter(QIODevice& device, const GifScreen& screen);
    ~GifAnimationWriter();
    GifAnimationWriter(const GifAnimationWriter&) = delete;
    GifAnimationWriter& operator=(const GifAnimationWriter&) = delete;

    // The frame, as large as the screen, ARGB32 or RGB32.
    void add(const QImage& frame, const GifFrameFacts& facts);
    void finish();

private:
    void check(int result);
    void writeHeld(int disposal);
    void putLoops(int loops);

    QIODevice& device_;
    GifFileType* gif_ = nullptr;
    QSize size_;
    std::vector<GifColorType> globalColors_;
    // What a viewer shows before the held frame; null before the first frame, when it shows
    // nothing.
    QImage shown_;
    QImage held_;
    QRect heldRect_;
    GifFrameFacts heldFacts_;
};
