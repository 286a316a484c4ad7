#pragma once

// What the JPEG reader and writer share: libjpeg's error handling turned into Failures.

#include <QString>
#include <QtGlobal>

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

// QImage's 32-bit pixels as bytes in memory: libjpeg-turbo reads and writes them directly.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr J_COLOR_SPACE kRowColorSpace = JCS_EXT_BGRX;
#else
constexpr J_COLOR_SPACE kRowColorSpace = JCS_EXT_XRGB;
#endif

// libjpeg reports an error by calling error_exit, which must not return: it jumps back to the
// step that was running, which then raises a Failure in C++ where destructors run. A step keeps
// no C++ object of its own alive across libjpeg calls, so the jump skips no destructor.
struct JpegErrors {
    jpeg_error_mgr manager; // first, so that libjpeg's pointer to it leads back here
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool endedEarly;
};

// Installs the handlers on a libjpeg object before it is created.
jpeg_error_mgr* installJpegErrors(JpegErrors& errors);

// Why the last step failed: the data ended early, or libjpeg's own words.
QString jpegFailureText(const JpegErrors& errors);

// Runs one step of libjpeg calls; false when libjpeg gave up on it.
template <typename Step> bool runJpegStep(JpegErrors& errors, const Step& step) {
    if (setjmp(errors.jump) != 0)
        return false;
    step();
    return true;
}
