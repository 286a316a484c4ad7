// The reader of the formats Qt decodes (BMP, TIFF and the rest), with its size checks.
#include "engine/io/codecio.h"
#include "engine/io/metadata.h"

#include "support/failure.h"

#include <QFile>
#include <QImageReader>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <mutex>

#include <sys/stat.h>

namespace {

// Qt decodes 16-bit samples into 8 bytes a pixel, the most any of its formats takes.
constexpr qint64 kWidestPixelBytes = 8;
constexpr qint64 kMegabyte = 1 << 20;

const QString kOtherSizeText =
    QStringLiteral("the picture's pixels are not the %1 x %2 its header declares");

// The ceiling of the run, for the pictures Qt decodes to learn what they hold.
std::atomic<qint64> decodeCeiling{std::numeric_limits<qint64>::max()};

// The fields of a BMP header that tell how many bytes of pixels must follow it.
constexpr qsizetype kBmpHeaderBytes = 34, kBmpCoreHeaderBytes = 26;
constexpr quint32 kBmpCoreHeaderSize = 12;
constexpr quint32 kBmpRle8 = 1, kBmpRle4 = 2;

// Reading through this device shows whether the decoder asked for bytes past the end of the
// file: Qt's BMP reader leaves the rest of a cut picture black without a word.
class EndWatch final : public QIODevice {
public:
    explicit EndWatch(QIODevice& inner) : inner_(inner) {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool reachedEnd() const { return reachedEnd_; }
    void forget() { reachedEnd_ = false; }
    qint64 size() const override { return inner_.size(); }
    bool seek(qint64 position) override {
        return QIODevice::seek(position) && inner_.seek(position);
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 got = inner_.read(data, maxSize);
        reachedEnd_ = reachedEnd_ || got < maxSize;
        return got;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QIODevice& inner_;
    bool reachedEnd_ = false;
};

// An uncompressed BMP declares how many bytes of pixels follow its header: a file shorter than
// that is refused before the picture's memory is taken. A compressed one is caught while read.
void checkBmpLength(std::FILE* file) {
    QByteArray header(kBmpHeaderBytes, '\0');
    header.truncate(qsizetype(std::fread(header.data(), 1, size_t(header.size()), file)));
    std::rewind(file);
    const auto* bytes = reinterpret_cast<const uchar*>(header.constData());
    const bool core = header.size() >= kBmpCoreHeaderBytes &&
                      qFromLittleEndian<quint32>(bytes + 14) == kBmpCoreHeaderSize;
    struct stat status {};
    if (header.size() < (core ? kBmpCoreHeaderBytes : kBmpHeaderBytes) ||
        ::fstat(fileno(file), &status) != 0)
        failDataEndsEarly();
    const quint32 offset = qFromLittleEndian<quint32>(bytes + 10);
    const qint64 width =
        core ? qFromLittleEndian<quint16>(bytes + 18) : qFromLittleEndian<qint32>(bytes + 18);
    const qint64 height =
        core ? qFromLittleEndian<quint16>(bytes + 20) : qFromLittleEndian<qint32>(bytes + 22);
    const quint16 bits = qFromLittleEndian<quint16>(bytes + (core ? 24 : 28));
    const quint32 compression = core ? 0 : qFromLittleEndian<quint32>(bytes + 30);
    if (compression == kBmpRle8 || compression == kBmpRle4)
        return;
    const qint64 rowBytes = (qAbs(width) * bits + 31) / 32 * 4;
    // Compared by a division: a header may declare more bytes of pixels than 64 bits can count.
    const qint64 available = qint64(status.st_size) - qint64(offset);
    if (available < 0 || (rowBytes > 0 && qAbs(height) > available / rowBytes))
        failDataEndsEarly();
}

class QtReader final : public PictureReader {
public:
    QtReader(PictureFile file, PictureFormat format) : file_(std::move(file)), format_(format) {}

    void readHeader(const QString& path);

    PictureFormat format() const override { return format_; }
    QSize size() const override { return size_; }
    bool hasAlpha() const override { return alpha_; }
    const PictureMetadata& metadata() const override { return metadata_; }
    int orientation() const override { return orientation_; }
    bool canStream() const override { return false; }
    void readRows(uchar* rows, qsizetype bytesPerLine, int count) override {
        held_.copy(*this, rows, bytesPerLine, count);
    }
    QImage readAll() override;
    bool scaleDown(int denominator) override;

private:
    PictureFile file_;
    PictureFormat format_;
    QFile device_;
    std::unique_ptr<EndWatch> watch_;
    QImageReader reader_;
    QSize size_;
    bool alpha_ = false;
    bool alphaKnown_ = false;
    PictureMetadata metadata_;
    int orientation_ = 1;
    QImage decoded_;
    HeldRows held_;
};

void QtReader::readHeader(const QString& path) {
    if (format_ == PictureFormat::Bmp)
        checkBmpLength(file_.get());
    if (!device_.open(file_.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        throw Failure(device_.errorString());
    if (format_ == PictureFormat::Bmp) {
        watch_ = std::make_unique<EndWatch>(device_);
        reader_.setDevice(watch_.get());
        reader_.setFormat("bmp");
    } else {
        reader_.setDevice(&device_);
        reader_.setDecideFormatFromContent(true);
    }
    reader_.setAutoTransform(false);
    if (!reader_.canRead())
        throw Failure(reader_.errorString());
    size_ = reader_.size();
    // Qt's JPEG plug-in answers with a format it never set for a file that starts like a JPEG but
    // whose header it cannot read: only a value of the enumeration is believed.
    const int declared = int(reader_.imageFormat());
    const bool formatKnown = declared > QImage::Format_Invalid && declared < QImage::NImageFormats;
    alphaKnown_ = size_.isValid() && formatKnown;
    alpha_ = formatKnown && QImage::toPixelFormat(QImage::Format(declared)).alphaUsage() ==
                                QPixelFormat::UsesAlpha;
    if (!alphaKnown_) {
        // A format whose header Qt cannot read on its own is decoded now to learn what it holds;
        // one whose size is known already is refused before that when it is beyond the ceiling.
        const qint64 ceiling = decodeCeiling.load();
        if (size_.isValid() && qint64(size_.width()) * size_.height() > ceiling)
            throw Failure(TooLargeText(size_, ceiling));
        readAll();
        size_ = decoded_.size();
    }
    if (format_ == PictureFormat::Tiff)
        metadata_ = readFileMetadata(path);
    orientation_ = OrientationOf(metadata_);
}

QImage QtReader::readAll() {
    if (!decoded_.isNull())
        return decoded_;
    if (watch_)
        watch_->forget();
    QImage image;
    if (!reader_.read(&image))
        throw Failure(reader_.errorString());
    if (watch_ && watch_->reachedEnd())
        failDataEndsEarly();
    // The watermark was placed, and the ceiling applied, for the size the header declared: pixels
    // of another size (an icon whose directory disagrees with its bitmap) make a damaged file.
    if (alphaKnown_ && image.size() != size_)
        throw Failure(kOtherSizeText.arg(size_.width()).arg(size_.height()));
    if (!alphaKnown_)
        alpha_ = image.hasAlphaChannel();
    decoded_ = image.convertToFormat(alpha_ ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (decoded_.isNull())
        throw Failure(SystemErrorText(ENOMEM));
    useDefaultResolution(decoded_);
    return decoded_;
}

bool QtReader::scaleDown(int denominator) {
    // Only a plug-in that decodes to a given size saves anything; the others would decode whole
    // and scale, which the caller does as well.
    if (!decoded_.isNull() || denominator < 2 || !size_.isValid() ||
        !reader_.supportsOption(QImageIOHandler::ScaledSize))
        return false;
    const QSize reduced((size_.width() + denominator - 1) / denominator,
                        (size_.height() + denominator - 1) / denominator);
    reader_.setScaledSize(reduced);
    size_ = reduced;
    return true;
}

} // namespace

void LimitQtDecoding(qint64 maxPixels) {
    // Rounded up, so that a picture at the ceiling itself is let through.
    const qint64 megabytes =
        std::clamp<qint64>(std::max<qint64>(maxPixels, 0) / (kMegabyte / kWidestPixelBytes) + 1, 1,
                           std::numeric_limits<int>::max());
    static std::mutex lock;
    static qint64 applied = 0;
    std::lock_guard guard(lock);
    if (applied != megabytes)
        QImageReader::setAllocationLimit(int(megabytes));
    applied = megabytes;
    decodeCeiling.store(maxPixels);
}

std::unique_ptr<PictureReader> openWithQt(PictureFile file, PictureFormat format,
                                          const QString& path) {
    auto reader = std::make_unique<QtReader>(std::move(file), format);
    reader->readHeader(path);
    return reader;
}
