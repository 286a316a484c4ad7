#pragma once

// What the JPEG readers and writers share: libjpeg's error handling turned into Failures, the
// destination that hands libjpeg's output to a device, and the metadata markers.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <array>
#include <csetjmp>
#include <cstdio>
#include <utility>
#include <vector>

#include <jpeglib.h>

class QIODevice;
struct PictureMetadata;

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

// Hands libjpeg's output to a device a large buffer at a time. A device that takes fewer bytes
// than it was given ends the step, with the device's reason kept.
struct DeviceDestination {
    jpeg_destination_mgr manager; // first, so that libjpeg's pointer to it leads back here
    QIODevice* device;
    JpegErrors* errors;
    QString* reason;
    std::array<JOCTET, 64 * 1024> buffer;

    void attach(QIODevice& target, JpegErrors& jumpTo, QString& failure);
};

// The metadata as the marker segments that carry it, each only when it fits in one; the colour
// profile is written apart, split over several by libjpeg itself.
using JpegMarkers = std::vector<std::pair<int, QByteArray>>;
JpegMarkers markersFor(const PictureMetadata& metadata);
// Writes the markers and the colour profile after jpeg_start_compress or jpeg_write_coefficients;
// only libjpeg calls, so it may run inside a step.
void writeJpegMarkers(jpeg_compress_struct& info, const JpegMarkers& markers,
                      const QByteArray& icc);

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
