// The libjpeg wrapper: errors and damage turned into Failures, output to a device, the markers.
#include "engine/io/libjpeg.h"

#include "engine/io/metadata.h"
#include "engine/io/picture.h"
#include "support/failure.h"

#include <QIODevice>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include <jerror.h>

namespace {

const QByteArray kExifPrefix("Exif\0\0", 6);
const QByteArray kXmpPrefix("http://ns.adobe.com/xap/1.0/\0", 29);
const QByteArray kPhotoshopPrefix("Photoshop 3.0\0", 14);
// A marker's length field counts itself: 65535 - 2 bytes remain for its contents.
constexpr qsizetype kMarkerCapacity = 65533;

DeviceDestination& destinationOf(j_compress_ptr info) {
    return *reinterpret_cast<DeviceDestination*>(info->dest);
}

// False, with the device's reason kept, when the device takes fewer bytes than it was given.
bool flush(DeviceDestination& self, size_t count) {
    const auto written =
        self.device->write(reinterpret_cast<const char*>(self.buffer.data()), qint64(count));
    if (written == qint64(count))
        return true;
    *self.reason =
        self.device->errorString().isEmpty() ? SystemErrorText(EIO) : self.device->errorString();
    return false;
}

void initDestination(j_compress_ptr info) {
    DeviceDestination& self = destinationOf(info);
    self.manager.next_output_byte = self.buffer.data();
    self.manager.free_in_buffer = self.buffer.size();
}

boolean emptyDestination(j_compress_ptr info) {
    DeviceDestination& self = destinationOf(info);
    if (!flush(self, self.buffer.size()))
        std::longjmp(self.errors->jump, 1);
    initDestination(info);
    return TRUE;
}

void termDestination(j_compress_ptr info) {
    DeviceDestination& self = destinationOf(info);
    if (!flush(self, self.buffer.size() - self.manager.free_in_buffer))
        std::longjmp(self.errors->jump, 1);
}

JpegErrors& errorsOf(j_common_ptr info) {
    return *reinterpret_cast<JpegErrors*>(info->err);
}

[[noreturn]] void leave(j_common_ptr info) {
    JpegErrors& errors = errorsOf(info);
    info->err->format_message(info, errors.message);
    std::longjmp(errors.jump, 1);
}

// A picture needs a handful of scans, ten for libjpeg's own progressive coding; a few hundred are
// far beyond any encoder's. A file repeating a scan thousands of times would keep a worker busy
// for minutes on every repeat of the whole picture's coefficients, and is damaged or made to harm.
constexpr int kMostScans = 500;

bool arithmeticCoded(j_common_ptr info) {
    return info->is_decompressor && reinterpret_cast<j_decompress_ptr>(info)->arith_code;
}

// A file cut short makes libjpeg warn and fill the rest with grey; damaged entropy data makes it
// warn and guess; a scan that contradicts the ones before it makes it warn and go on with
// coefficients of no meaning. Each would give a stamped copy of a damaged picture, so each ends
// the decode. Stray bytes before a marker leave a Huffman-coded picture whole and are ignored; in
// an arithmetic-coded one they come from damaged data the decoder read past, and end it too.
void onMessage(j_common_ptr info, int level) {
    if (level != -1)
        return;
    switch (info->err->msg_code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
        errorsOf(info).endedEarly = true;
        leave(info);
    case JWRN_HUFF_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_BOGUS_PROGRESSION:
        leave(info);
    case JWRN_EXTRANEOUS_DATA:
        if (arithmeticCoded(info))
            leave(info);
        [[fallthrough]];
    default:
        info->err->num_warnings++;
    }
}

// libjpeg calls this between pieces of its work, and at every row read.
void onProgress(j_common_ptr info) {
    JpegErrors& stopping = errorsOf(info);
    if (stopping.stop && stopping.stop->load()) {
        std::snprintf(stopping.message, sizeof stopping.message, "%s",
                      kNoLongerWantedText.toLocal8Bit().constData());
        std::longjmp(stopping.jump, 1);
    }
    if (!info->is_decompressor ||
        reinterpret_cast<j_decompress_ptr>(info)->input_scan_number <= kMostScans)
        return;
    JpegErrors& errors = errorsOf(info);
    std::snprintf(errors.message, sizeof errors.message, "Corrupt JPEG data: more than %d scans",
                  kMostScans);
    std::longjmp(errors.jump, 1);
}

jpeg_error_mgr* installJpegErrors(JpegErrors& errors) {
    jpeg_error_mgr* manager = jpeg_std_error(&errors.manager);
    manager->error_exit = leave;
    manager->emit_message = onMessage;
    errors.progress.progress_monitor = onProgress;
    errors.message[0] = '\0';
    errors.endedEarly = false;
    return manager;
}

// Why the last step failed: the data ended early, or libjpeg's own words.
QString jpegFailureText(const JpegErrors& errors) {
    return errors.endedEarly ? kDataEndsEarlyText : QString::fromLocal8Bit(errors.message);
}

} // namespace

JpegDecompressor::JpegDecompressor() {
    info.err = installJpegErrors(errors);
    run([&] { jpeg_create_decompress(&info); });
    info.progress = &errors.progress;
}

JpegCompressor::JpegCompressor(QIODevice& device) {
    info.err = installJpegErrors(errors);
    destination.attach(device, errors, reason);
    run([&] {
        jpeg_create_compress(&info);
        info.dest = &destination.manager;
    });
}

void JpegObject::fail() const {
    throw Failure(reason.isEmpty() ? jpegFailureText(errors) : reason);
}

void DeviceDestination::attach(QIODevice& target, JpegErrors& jumpTo, QString& failure) {
    device = &target;
    errors = &jumpTo;
    reason = &failure;
    manager.init_destination = initDestination;
    manager.empty_output_buffer = emptyDestination;
    manager.term_destination = termDestination;
}

JpegMarkers markersFor(const PictureMetadata& metadata) {
    JpegMarkers markers;
    const auto add = [&](int marker, const QByteArray& prefix, const QByteArray& body) {
        if (!body.isEmpty() && prefix.size() + body.size() <= kMarkerCapacity)
            markers.emplace_back(marker, prefix + body);
    };
    add(JPEG_APP0 + 1, kExifPrefix, metadata.exif);
    add(JPEG_APP0 + 1, kXmpPrefix, metadata.xmp);
    if (!metadata.xmp.isEmpty())
        for (const QByteArray& part : metadata.extendedXmp)
            add(JPEG_APP0 + 1, kJpegXmpExtensionPrefix, part);
    const QByteArray photoshop =
        metadata.photoshop +
        (metadata.iptc.isEmpty() ? QByteArray() : photoshopFromIptc(metadata.iptc));
    // Readers join the resources of consecutive APP13 segments again, as Photoshop splits them.
    const qsizetype photoshopPart = kMarkerCapacity - kPhotoshopPrefix.size();
    for (qsizetype at = 0; at < photoshop.size(); at += photoshopPart)
        add(JPEG_APP0 + 13, kPhotoshopPrefix, photoshop.mid(at, photoshopPart));
    // A picture's comment is the one text a JPEG has a place of its own for.
    for (const PictureText& text : metadata.texts)
        if (text.key == kCommentKey)
            add(JPEG_COM, {}, text.text.toUtf8());
    return markers;
}

void setJpegDensity(jpeg_compress_struct& info, const std::optional<PixelDensity>& density) {
    if (!density)
        return;
    const auto clamped = [](double value) {
        return UINT16(std::clamp(std::lround(value), 1L, 65535L));
    };
    info.density_unit = density->aspectOnly ? 0 : 1;
    info.X_density = clamped(density->x);
    info.Y_density = clamped(density->y);
}

void writeJpegMarkers(jpeg_compress_struct& info, const JpegMarkers& markers,
                      const QByteArray& icc) {
    for (const auto& [marker, body] : markers)
        jpeg_write_marker(&info, marker, reinterpret_cast<const JOCTET*>(body.constData()),
                          unsigned(body.size()));
    // More than 255 segments cannot be numbered; such a profile is left out (with a note, by the
    // caller that fitted the metadata).
    if (!icc.isEmpty() && icc.size() <= qsizetype(255) * 65519)
        jpeg_write_icc_profile(&info, reinterpret_cast<const JOCTET*>(icc.constData()),
                               unsigned(icc.size()));
}
