#pragma once

// The one wrapper of libjpeg, for the JPEG reader, the JPEG writer and the lossless way: its
// decompressor and compressor objects with their errors turned into Failures, the destination
// that hands libjpeg's output to a device, and the metadata markers.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <array>
#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include <jpeglib.h>

class QIODevice;
struct PictureMetadata;
struct PixelDensity;

// QImage's 32-bit pixels as bytes in memory: libjpeg-turbo reads and writes them directly.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr J_COLOR_SPACE kRowColorSpace = JCS_EXT_BGRX;
#else
constexpr J_COLOR_SPACE kRowColorSpace = JCS_EXT_XRGB;
#endif

// libjpeg reports an error by calling error_exit, which must not return: it jumps back to the
// step that was running, which then raises a Failure in C++ where destructors run. A step keeps
// no C++ object of its own alive across libjpeg calls, so the jump skips no destructor. Warnings
// that mean the picture is damaged end the step the same way (see libjpeg.cpp).
struct JpegErrors {
    jpeg_error_mgr manager; // first, so that libjpeg's pointer to it leads back here
    jpeg_progress_mgr progress;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool endedEarly;
    // When set and true, the step gives up at libjpeg's next report of progress: the picture is
    // no longer wanted.
    const std::atomic<bool>* stop;
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

// Runs one step of libjpeg calls; false when libjpeg gave up on it.
template <typename Step> bool runJpegStep(JpegErrors& errors, const Step& step) {
    if (setjmp(errors.jump) != 0)
        return false;
    step();
    return true;
}

// What a libjpeg object of the program keeps beside libjpeg's own struct: its error handling,
// and the device's reason when a compressor's output could not be written. Every step raises a
// Failure: the device's reason, "image data ends early" for a file cut short, or libjpeg's words.
struct JpegObject {
    JpegObject() = default;
    JpegObject(const JpegObject&) = delete;
    JpegObject& operator=(const JpegObject&) = delete;

    template <typename Step> void run(const Step& step) {
        if (!runJpegStep(errors, step))
            fail();
    }
    [[noreturn]] void fail() const;

    JpegErrors errors{};
    QString reason;
};

// A libjpeg decompressor, created and ready for a source.
struct JpegDecompressor : JpegObject {
    JpegDecompressor();
    ~JpegDecompressor() { jpeg_destroy_decompress(&info); }

    jpeg_decompress_struct info{};
};

// A libjpeg compressor, created and writing into the device.
struct JpegCompressor : JpegObject {
    explicit JpegCompressor(QIODevice& device);
    ~JpegCompressor() { jpeg_destroy_compress(&info); }

    DeviceDestination destination{};
    jpeg_compress_struct info{};
};

// The namespace that opens each APP1 segment of a JPEG's extended XMP.
inline const QByteArray kJpegXmpExtensionPrefix("http://ns.adobe.com/xmp/extension/\0", 35);

// The metadata as the marker segments that carry it, each only when it fits in one, but for the
// Photoshop resources, which go on in as many APP13 segments as they need; the colour profile is
// written apart, split over several by libjpeg itself.
using JpegMarkers = std::vector<std::pair<int, QByteArray>>;
JpegMarkers markersFor(const PictureMetadata& metadata);
// Sets the JFIF header's density before jpeg_start_compress; without one, libjpeg's 1:1.
void setJpegDensity(jpeg_compress_struct& info, const std::optional<PixelDensity>& density);
// Writes the markers and the colour profile after jpeg_start_compress or jpeg_write_coefficients;
// only libjpeg calls, so it may run inside a step.
void writeJpegMarkers(jpeg_compress_struct& info, const JpegMarkers& markers,
                      const QByteArray& icc);
