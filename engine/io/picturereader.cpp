// Opening a picture: regular files only, the decoder chosen by content; rows and bytes read whole.
#include "engine/io/codecio.h"
#include "engine/io/plausible.h"

#include "support/failure.h"

#include <QFile>
#include <QIODevice>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kReadBufferBytes = 64 * 1024;

constexpr std::array<uchar, 3> kJpegMagic = {0xFF, 0xD8, 0xFF};
constexpr std::array<uchar, 8> kPngMagic = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

bool startsWith(const QByteArray& head, const uchar* magic, size_t size) {
    return size_t(head.size()) >= size && std::memcmp(head.constData(), magic, size) == 0;
}

template <size_t N> bool startsWith(const QByteArray& head, const std::array<uchar, N>& magic) {
    return startsWith(head, magic.data(), N);
}

constexpr std::array<uchar, 2> kJxlCodestreamMagic = {0xFF, 0x0A};
constexpr std::array<uchar, 12> kJxlContainerMagic = {0,   0,   0,    0x0C, 'J',  'X',
                                                      'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};
// The bytes read to tell a format: an ISO file's type box names its brands in them.
constexpr qsizetype kHeadBytes = 64;

// An ISO base media file (HEIF, AVIF) says what it is in its first box, "ftyp": a major brand and
// the brands it is compatible with. AVIF is told first, as libheif would read it too.
PictureFormat isoFormatOf(const QByteArray& head) {
    if (head.size() < 16 || head.mid(4, 4) != "ftyp")
        return PictureFormat::Other;
    const qsizetype end = std::min<qsizetype>(head.size(), qFromBigEndian<quint32>(head.data()));
    QList<QByteArray> brands{head.mid(8, 4)};
    for (qsizetype at = 16; at + 4 <= end; at += 4)
        brands << head.mid(at, 4);
    if (brands.contains("avif") || brands.contains("avis"))
        return PictureFormat::Avif;
    for (const char* heif : {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1"})
        if (brands.contains(heif))
            return PictureFormat::Heif;
    return PictureFormat::Other;
}

PictureFormat formatOf(const QByteArray& head) {
    if (startsWith(head, kJpegMagic))
        return PictureFormat::Jpeg;
    if (startsWith(head, kPngMagic))
        return PictureFormat::Png;
    if (head.startsWith("GIF87a") || head.startsWith("GIF89a"))
        return PictureFormat::Gif;
    if (head.startsWith("BM"))
        return PictureFormat::Bmp;
    if (head.startsWith(QByteArray("II*\0", 4)) || head.startsWith(QByteArray("MM\0*", 4)))
        return PictureFormat::Tiff;
    if (head.startsWith("RIFF") && head.mid(8, 4) == "WEBP")
        return PictureFormat::Webp;
    if (startsWith(head, kJxlCodestreamMagic) || startsWith(head, kJxlContainerMagic))
        return PictureFormat::Jxl;
    return isoFormatOf(head);
}

// A pipe, a device or a folder is refused from its directory entry, before it is opened at all;
// the descriptor is checked again, since the entry may change between the two looks.
int openRegularFile(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat status {};
    if (::stat(name.constData(), &status) != 0)
        throw Failure(SystemErrorText(errno));
    if (!S_ISREG(status.st_mode))
        throw Failure(kNotRegularFileText);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw Failure(SystemErrorText(errno));
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int error = errno;
        ::close(fd);
        throw Failure(S_ISREG(status.st_mode) ? SystemErrorText(error) : kNotRegularFileText);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        const int error = errno;
        ::close(fd);
        throw Failure(SystemErrorText(error));
    }
    return fd;
}

PictureFile fileOn(int fd) {
    std::FILE* file = ::fdopen(fd, "rb");
    if (!file) {
        const int error = errno;
        ::close(fd);
        throw Failure(SystemErrorText(error));
    }
    // Larger reads than stdio's default 4 KB: fewer system calls per picture.
    std::setvbuf(file, nullptr, _IOFBF, kReadBufferBytes);
    return PictureFile(file);
}

QByteArray headOf(std::FILE* file) {
    QByteArray head(kHeadBytes, '\0');
    const size_t got = std::fread(head.data(), 1, size_t(head.size()), file);
    if (std::ferror(file))
        throw Failure(SystemErrorText(errno));
    head.truncate(qsizetype(got));
    std::rewind(file);
    return head;
}

} // namespace

namespace {
std::unique_ptr<PictureReader> openAs(PictureFormat format, PictureFile file, const QString& path) {
    switch (format) {
    case PictureFormat::Jpeg:
        return openJpeg(std::move(file));
    case PictureFormat::Png:
        return openPng(std::move(file));
    case PictureFormat::Gif:
        return openGif(std::move(file));
    case PictureFormat::Tiff:
        return openTiff(std::move(file), path);
#ifdef TINTOREL_HAS_WEBP
    case PictureFormat::Webp:
        return openWebp(std::move(file));
#endif
#ifdef TINTOREL_HAS_AVIF
    case PictureFormat::Avif:
        return openAvif(std::move(file));
#endif
#ifdef TINTOREL_HAS_HEIF
    case PictureFormat::Heif:
        return openHeif(std::move(file));
#endif
#ifdef TINTOREL_HAS_JXL
    case PictureFormat::Jxl:
        return openJxl(std::move(file));
#endif
    default:
        return openWithQt(std::move(file), format, path);
    }
}
} // namespace

std::unique_ptr<PictureReader> PictureReader::open(const QString& path) {
    PictureFile file = fileOn(openRegularFile(path));
    const int fd = ::fileno(file.get());
    const PictureFormat format = formatOf(headOf(file.get()));
    std::unique_ptr<PictureReader> reader = openAs(format, std::move(file), path);
    // The reader keeps the file open: its descriptor is still this file's.
    CheckPlausibleSize(fd, format, reader->size());
    return reader;
}

QByteArray ReadPictureFile(const QString& path) {
    const PictureFile file = fileOn(openRegularFile(path));
    return readWholeFile(file.get());
}

QByteArray readWholeFile(std::FILE* file) {
    std::rewind(file);
    QByteArray bytes;
    struct stat status {};
    if (::fstat(::fileno(file), &status) == 0)
        bytes.reserve(qsizetype(status.st_size));
    std::array<char, kReadBufferBytes> chunk;
    size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0)
        bytes.append(chunk.data(), qsizetype(got));
    if (std::ferror(file))
        throw Failure(SystemErrorText(errno));
    return bytes;
}

QByteArray exifFromTiffHeader(const QByteArray& block) {
    // The header stands within the first few bytes: after a 4-byte offset, "Exif\0\0", or both.
    constexpr qsizetype kFarthest = 16;
    const qsizetype little = block.indexOf(QByteArray("II*\0", 4));
    const qsizetype big = block.indexOf(QByteArray("MM\0*", 4));
    const qsizetype at = little < 0 ? big : big < 0 ? little : std::min(little, big);
    return at < 0 || at > kFarthest ? QByteArray() : block.mid(at);
}

BuiltFormats NewerFormats() {
    BuiltFormats formats;
    const auto add = [&formats](bool built, const char* name) {
        (built ? formats.with : formats.without) << QString::fromLatin1(name);
    };
#ifdef TINTOREL_HAS_HEIF
    add(true, "HEIC/HEIF");
#else
    add(false, "HEIC/HEIF");
#endif
#ifdef TINTOREL_HAS_AVIF
    add(true, "AVIF");
#else
    add(false, "AVIF");
#endif
#ifdef TINTOREL_HAS_WEBP
    add(true, "WebP");
#else
    add(false, "WebP");
#endif
#ifdef TINTOREL_HAS_JXL
    add(true, "JPEG XL");
#else
    add(false, "JPEG XL");
#endif
    return formats;
}

QString TooLargeText(QSize size, qint64 maxPixels) {
    return QStringLiteral("picture too large: %1 x %2 pixels (%3 megapixels) is more than the %4 "
                          "megapixels allowed")
        .arg(size.width())
        .arg(size.height())
        .arg(double(size.width()) * double(size.height()) / 1e6, 0, 'f', 1)
        .arg(double(maxPixels) / 1e6, 0, 'f', 1);
}

void failDataEndsEarly() {
    throw Failure(kDataEndsEarlyText);
}

namespace {
constexpr int kDefaultDotsPerMeter = 2835; // 72 dots per inch
} // namespace

QImage newPicture(QSize size, bool alpha) {
    // A GIF may declare a screen of 0 x 0 pixels: no picture, not a lack of memory.
    if (size.isEmpty())
        throw Failure(kEmptyImageText);
    QImage image(size, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull())
        throw Failure(SystemErrorText(ENOMEM));
    useDefaultResolution(image);
    return image;
}

void useDefaultResolution(QImage& image) {
    image.setDotsPerMeterX(kDefaultDotsPerMeter);
    image.setDotsPerMeterY(kDefaultDotsPerMeter);
}

QImage PictureReader::readAll() {
    QImage image = newPicture(size(), hasAlpha());
    readRows(image.bits(), image.bytesPerLine(), image.height());
    return image;
}

void HeldRows::copy(PictureReader& reader, uchar* rows, qsizetype bytesPerLine, int count) {
    if (whole_.isNull())
        whole_ = reader.readAll();
    if (count > whole_.height() - copied_)
        failDataEndsEarly();
    for (int y = 0; y < count; ++y)
        std::copy_n(whole_.constScanLine(copied_ + y), whole_.bytesPerLine(),
                    rows + y * bytesPerLine);
    copied_ += count;
}

void writeAllToDevice(QIODevice& device, const char* data, qint64 size) {
    if (size == 0)
        return;
    if (device.write(data, size) != size) {
        const QString reason = device.errorString();
        throw Failure(reason.isEmpty() ? SystemErrorText(EIO) : reason);
    }
}
