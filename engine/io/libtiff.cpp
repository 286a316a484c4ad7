// libtiff reading the program's files and writing into memory, its messages kept per handle.
#include "engine/io/libtiff.h"

#include "support/failure.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr double kCentimetresPerInch = 2.54;

TiffSource& sourceOf(thandle_t handle) {
    return *static_cast<TiffSource*>(handle);
}

tmsize_t readSource(thandle_t handle, void* data, tmsize_t size) {
    TiffSource& source = sourceOf(handle);
    if (source.bytes) {
        const qsizetype available =
            std::max<qsizetype>(source.bytes->size() - qsizetype(source.at), 0);
        const qsizetype got = std::min<qsizetype>(available, qsizetype(size));
        if (got > 0)
            std::memcpy(data, source.bytes->constData() + source.at, size_t(got));
        source.at += toff_t(got);
        return tmsize_t(got);
    }
    tmsize_t total = 0;
    while (total < size) {
        const ssize_t got = ::pread(source.fd, static_cast<char*>(data) + total,
                                    size_t(size - total), off_t(source.at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        total += got;
        source.at += toff_t(got);
    }
    return total;
}

tmsize_t writeSource(thandle_t handle, void* data, tmsize_t size) {
    TiffSource& source = sourceOf(handle);
    if (!source.bytes)
        return -1;
    const qsizetype end = qsizetype(source.at) + qsizetype(size);
    if (end > source.bytes->size())
        source.bytes->resize(end, '\0');
    std::memcpy(source.bytes->data() + source.at, data, size_t(size));
    source.at = toff_t(end);
    return size;
}

toff_t sizeOf(thandle_t handle) {
    const TiffSource& source = sourceOf(handle);
    if (source.bytes)
        return toff_t(source.bytes->size());
    struct stat status {};
    return ::fstat(source.fd, &status) == 0 ? toff_t(status.st_size) : 0;
}

toff_t seekSource(thandle_t handle, toff_t offset, int whence) {
    TiffSource& source = sourceOf(handle);
    const toff_t base = whence == SEEK_CUR ? source.at : whence == SEEK_END ? sizeOf(handle) : 0;
    source.at = base + offset;
    return source.at;
}

int closeSource(thandle_t) {
    return 0;
}

int noMapping(thandle_t, void**, toff_t*) {
    return 0;
}

void noUnmapping(thandle_t, void*, toff_t) {}

int keepError(TIFF*, void* data, const char*, const char* format, va_list arguments) {
    auto* errors = static_cast<TiffErrors*>(data);
    if (errors->first.isEmpty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, arguments);
        errors->first = QString::fromLocal8Bit(text);
    }
    return 1;
}

// Warnings (an unknown tag, a field of an odd type) leave the picture readable: not shown.
int ignoreWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

} // namespace

TiffHandle TiffHandle::readFile(int fd) {
    TiffHandle handle;
    handle.source_ = std::make_unique<TiffSource>();
    handle.source_->fd = fd;
    handle.open("r");
    return handle;
}

TiffHandle TiffHandle::inMemory(QByteArray& bytes, const char* mode) {
    TiffHandle handle;
    handle.source_ = std::make_unique<TiffSource>();
    handle.source_->bytes = &bytes;
    handle.open(mode);
    return handle;
}

void TiffHandle::open(const char* mode) {
    errors_ = std::make_unique<TiffErrors>();
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, keepError, errors_.get());
    TIFFOpenOptionsSetWarningHandlerExtR(options, ignoreWarning, nullptr);
    tiff_.reset(TIFFClientOpenExt("picture", mode, source_.get(), readSource, writeSource,
                                  seekSource, closeSource, sizeOf, noMapping, noUnmapping,
                                  options));
    TIFFOpenOptionsFree(options);
    if (!tiff_)
        fail(QStringLiteral("not a TIFF libtiff reads"));
}

void TiffHandle::close() {
    TIFF* tiff = tiff_.get();
    const bool flushed = TIFFFlush(tiff) != 0;
    tiff_.reset();
    if (!flushed || !errors_->first.isEmpty())
        fail(QStringLiteral("libtiff could not end the file"));
}

void TiffHandle::fail(const QString& otherwise) const {
    throw Failure(errors_->first.isEmpty() ? otherwise : errors_->first);
}

TiffSettings tiffSettingsOf(TIFF* tiff, bool gray) {
    TiffSettings settings;
    uint16_t compression = COMPRESSION_NONE, predictor = PREDICTOR_NONE;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    // Only the codecs that predict know the tag; asking the others is an error in libtiff.
    if (compression == COMPRESSION_LZW || compression == COMPRESSION_ADOBE_DEFLATE ||
        compression == COMPRESSION_DEFLATE)
        TIFFGetFieldDefaulted(tiff, TIFFTAG_PREDICTOR, &predictor);
    switch (compression) {
    case COMPRESSION_NONE:
    case COMPRESSION_LZW:
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
    case COMPRESSION_PACKBITS:
        settings.compression = TiffCompression(compression);
        break;
    default:
        // JPEG inside TIFF and the rarer codecs: the copy is lossless, as LZW.
        settings.compression = TiffCompression::Lzw;
        predictor = PREDICTOR_HORIZONTAL;
        break;
    }
    // A floating-point predictor has no meaning for the integer samples a copy holds.
    settings.predictor =
        predictor == PREDICTOR_NONE ? TiffPredictor::None : TiffPredictor::Horizontal;
    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_RESOLUTIONUNIT, &unit);
    settings.resolutionUnit = unit == RESUNIT_CENTIMETER ? TiffResolutionUnit::Centimetre
                              : unit == RESUNIT_NONE     ? TiffResolutionUnit::None
                                                         : TiffResolutionUnit::Inch;
    settings.gray = gray;
    return settings;
}

std::optional<PixelDensity> tiffDensityOf(TIFF* tiff) {
    float x = 0, y = 0;
    if (!TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &x) ||
        !TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &y) || !(x > 0) || !(y > 0) || !std::isfinite(x) ||
        !std::isfinite(y))
        return std::nullopt;
    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_RESOLUTIONUNIT, &unit);
    const double scale = unit == RESUNIT_CENTIMETER ? kCentimetresPerInch : 1.0;
    return PixelDensity{double(x) * scale, double(y) * scale, unit == RESUNIT_NONE};
}
