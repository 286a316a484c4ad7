// The libpng wrapper: errors and harmful warnings turned into Failures, the pixel layout.
#include "engine/io/libpng.h"

#include "engine/io/picture.h"
#include "support/failure.h"

#include <cstring>

void pngErrorHandler(png_structp png, png_const_charp text) {
    auto* errors = static_cast<PngErrors*>(png_get_error_ptr(png));
    std::strncpy(errors->message, text ? text : "", sizeof errors->message - 1);
    errors->message[sizeof errors->message - 1] = '\0';
    png_longjmp(png, 1);
}

// A warning leaves the picture whole (an ancillary chunk libpng skips, for instance): as Qt, the
// picture is read on. Except one: of a chunk longer than its limit libpng only warns, and then
// reads the whole chunk into memory it clears first, so that a 700-byte file declaring a text
// chunk of 2 GB would take 2 GB. Such a chunk fails the picture before anything is allocated.
void pngWarningHandler(png_structp png, png_const_charp text) {
    if (text && std::strstr(text, "chunk data is too large"))
        pngErrorHandler(png, text);
}

void throwPngFailure(const PngErrors& errors) {
    if (errors.endedEarly)
        throw Failure(kDataEndsEarlyText);
    if (errors.deviceReason && !errors.deviceReason->isEmpty())
        throw Failure(*errors.deviceReason);
    throw Failure(QString::fromLatin1(errors.message));
}

void usePixelLayout(png_structp png, bool alpha) {
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    png_set_bgr(png);
    if (!alpha)
        png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
#else
    if (alpha)
        png_set_swap_alpha(png);
    else
        png_set_filler(png, 0xFF, PNG_FILLER_BEFORE);
#endif
}

// A QRgba64 holds red in its lowest 16 bits: on a little-endian machine the samples in memory are
// red, green, blue, alpha, each with its low byte first, where PNG puts the high byte first; on a
// big-endian one they are alpha, blue, green, red.
void useRgba64Layout(png_structp png, bool alpha) {
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    png_set_swap(png);
    if (!alpha)
        png_set_filler(png, 0xFFFF, PNG_FILLER_AFTER);
#else
    png_set_bgr(png);
    if (alpha)
        png_set_swap_alpha(png);
    else
        png_set_filler(png, 0xFFFF, PNG_FILLER_BEFORE);
#endif
}
