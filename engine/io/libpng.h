#pragma once

// The one wrapper of libpng, for the PNG reader and writer: its error handling turned into
// Failures, and QImage's pixel layout.

#include <QString>

#include <csetjmp>

#include <png.h>

// libpng reports an error by calling the error function, which must not return: it jumps back
// to the step that was running, which then raises a Failure in C++ where destructors run. A step
// keeps no C++ object of its own alive across libpng calls, so the jump skips no destructor.
struct PngErrors {
    char message[256];
    bool endedEarly;
    QString* deviceReason; // the device's reason when a write failed; may be null
};

void pngErrorHandler(png_structp png, png_const_charp text);
void pngWarningHandler(png_structp png, png_const_charp text);

// Raises the Failure for an error libpng reported: the data ended early, the device's reason,
// or libpng's own words.
[[noreturn]] void throwPngFailure(const PngErrors& errors);

// Runs one step of libpng calls; raises a Failure when libpng gave up on it.
template <typename Step>
void runPngStep(png_structp png, const PngErrors& errors, const Step& step) {
    if (setjmp(png_jmpbuf(png)) != 0)
        throwPngFailure(errors);
    step();
}

// QImage's 32-bit pixels as libpng's rows: 8-bit blue, green, red and alpha bytes in memory, the
// alpha byte a filler for a picture without transparency (0xFF read, left out when written).
void usePixelLayout(png_structp png, bool alpha);
// QImage's RGBA64 pixels as libpng's rows of 16-bit samples: red, green, blue and alpha, the
// alpha a filler for a picture without transparency (65535 read, left out when written).
void useRgba64Layout(png_structp png, bool alpha);
