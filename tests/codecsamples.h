#pragma once

// Test pictures made in code for the codec tests: JPEGs of chosen sampling, pictures with
// metadata, a run-length BMP, and a device that runs out of room.

#include "engine/io/metadata.h"
#include "engine/io/picturereader.h"
#include "engine/io/picturewriter.h"
#include "support/failure.h"

#include <QByteArray>
#include <QIODevice>
#include <QImage>
#include <QList>
#include <QRect>
#include <QPair>
#include <QString>

#include <vector>

#include <exiv2/exiv2.hpp>

// A picture with smooth gradients, edges and fine noise, like a photograph in small, at an odd
// size so that no row or block ends evenly.
QImage photoLike(int width = 101, int height = 67);

enum class JpegKind { Color, Progressive, Gray, AdobeCmyk, Arithmetic, Restarts, Optimised };

// A JPEG written by libjpeg with the luminance sampling factors given (1x1 is 4:4:4, 2x1 4:2:2,
// 2x2 4:2:0).
QByteArray makeJpeg(const QImage& image, int hSampling, int vSampling, int quality = 85,
                    JpegKind kind = JpegKind::Color);

// A JPEG's quantised blocks as libjpeg reads them, and how the file codes them.
struct JpegBlocksRead {
    static constexpr int kBlockSize = 64;
    struct Component {
        int h = 1, v = 1;       // sampling factors
        int wide = 0, high = 0; // blocks that hold pixels of the picture
        std::vector<qint16> coefficients;
    };
    QSize mcu;
    bool progressive = false;
    bool arithmetic = false;
    unsigned restartInterval = 0;
    std::vector<Component> components; // none when libjpeg could not read the file

    const qint16* block(size_t c, int x, int y) const {
        const Component& k = components[c];
        return k.coefficients.data() + (size_t(y) * size_t(k.wide) + size_t(x)) * kBlockSize;
    }
};
JpegBlocksRead readJpegBlocks(const QString& path);

// The standard quantisation table libjpeg uses at this quality (0 luminance, 1 chrominance),
// in natural order.
std::array<quint16, 64> standardTable(int quality, int slot);

// The metadata every metadata test looks for.
struct SampleMetadata {
    static constexpr const char* artist = "Ana Example";
    static constexpr const char* copyright = "(c) Tintorel tests";
    static constexpr const char* make = "Tintorel Camera";
    static constexpr const char* creator = "Creator Example";
    static constexpr const char* byline = "Byline Example";
};

// The file with EXIF (artist, copyright, make, GPS position, orientation 6, a thumbnail), XMP
// (dc:creator), IPTC (by-line) and an sRGB ICC profile written into it by exiv2.
void addSampleMetadata(const QString& path);
QByteArray sampleIccProfile();

// The JPEG with the segments given, marker and body, put in after its JFIF header.
QByteArray jpegWithSegments(const QByteArray& jpeg, const QList<QPair<int, QByteArray>>& segments);
// A Photoshop image resource ("8BIM", no name) of that id holding the data.
QByteArray photoshopResource(quint16 id, const QByteArray& data);
// The body of a JPEG's APP13 segment holding these resources.
QByteArray photoshopSegment(const QByteArray& resources);
// A JPEG's EXIF segment body holding the EXIF block.
QByteArray exifSegment(const QByteArray& exif);

// An XMP packet (dc:creator) whose extension holds more keywords (dc:subject) than one JPEG
// segment holds, and the extension's APP1 segment bodies (their namespace included).
struct ExtendedXmpSample {
    static constexpr int keywords = 4000;
    QByteArray guid;
    QByteArray packet;
    QList<QByteArray> segments;
    static QString keyword(int i) { return QStringLiteral("keyword-%1").arg(i, 5, 10, QChar('0')); }
};
ExtendedXmpSample extendedXmpSample();
// A JPEG with the sample's packet and its extension.
QByteArray jpegWithExtendedXmp(const ExtendedXmpSample& sample);

// A BMP of 8 bits per pixel with run-length encoded rows, which Qt cannot write itself.
QByteArray makeRle8Bmp(const QImage& grayIndices);

void writeFile(const QString& path, const QByteArray& bytes);
QByteArray readFile(const QString& path);

// A device that takes `capacity` bytes and then refuses every write, as a full disk does.
class FullDevice final : public QIODevice {
public:
    static constexpr const char* reason = "No space left on device";
    explicit FullDevice(qint64 capacity) : capacity_(capacity) { open(QIODevice::WriteOnly); }
    QByteArray written;

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override;

private:
    qint64 capacity_;
};

// Compares every byte, the alpha byte of RGB32 included, which QImage's own comparison skips;
// 16-bit pictures too.
bool sameBytes(const QImage& a, const QImage& b);
// The mean difference per colour channel; pixels of alpha 0 count as equal whatever their colour.
double meanError(const QImage& a, const QImage& b);

// The picture read through the reader a band of rows at a time.
QImage readInBands(const QString& path, int band);
// The picture written through the JPEG, PNG or WebP row writer a band of rows at a time.
void writeInBands(QIODevice& device, PictureFormat format, const QImage& image, int band,
                  const PictureMetadata& metadata = {});
QByteArray encoded(const QImage& image, PictureFormat format, const PictureMetadata& metadata = {},
                   const JpegSettings& jpeg = {});

// A value as exiv2 reads it from a written file; empty when the file has none.
QString exifText(const Exiv2::ExifData& exif, const char* key);
QString xmpText(const Exiv2::XmpData& xmp, const char* key);
QString iptcText(const Exiv2::IptcData& iptc, const char* key);
QByteArray iccOf(Exiv2::Image& image);

// EXIF, XMP and IPTC exiv2 cannot parse, beside a good colour profile.
// Metadata of the four kinds a copy carries, the others left empty.
PictureMetadata MetadataOf(const QByteArray& exif, const QByteArray& xmp, const QByteArray& iptc,
                           const QByteArray& icc);
PictureMetadata brokenMetadata();
// A picture with transparent, half-transparent and opaque areas in the given number of colours.
QImage withTransparency(int colors);
// What a GIF keeps of a picture: alpha below half is transparent, the rest opaque.
QImage asGifShowsIt(const QImage& image);

// The failure text, or an empty string when the call succeeded.
template <typename Call> QString failureOf(const Call& call) {
    try {
        call();
    } catch (const Failure& failure) {
        return failure.text().isEmpty() ? QStringLiteral("(empty reason)") : failure.text();
    }
    return {};
}

// The picture with every fully transparent pixel the same, since their colour is never seen.
QImage visible(QImage image);
QImage readWhole(const QString& path);
// Qt's decode in the form the reader gives: ARGB32 with alpha, RGB32 without.
QImage qtDecode(const QString& path, bool alpha);
// The most memory the process has held so far.
long maxResidentKilobytes();

// One frame of an animated GIF made with giflib: its rectangle on the screen, a colour index for
// each of its pixels, and its graphic control (delay in hundredths of a second, disposal,
// transparent index or -1). Colours of its own when localColors is not empty.
struct GifFrameSample {
    QRect rect;
    std::vector<uchar> indices; // row by row, top to bottom, whatever the interlacing
    int delay = 0;
    int disposal = 0;
    int transparent = -1;
    bool interlaced = false;
    QList<QRgb> localColors;
};
// An animation with the global colours given (a power of two of them), played `loops` times
// more (0 for ever) through a NETSCAPE2.0 extension, or once without one when loops < 0.
QByteArray makeAnimatedGif(QSize screen, const QList<QRgb>& colors,
                           const QList<GifFrameSample>& frames, int loops);
// The frames of a GIF as Qt's own decoder composes them, ARGB32, with their delays in
// milliseconds and the loop count Qt reads.
struct QtAnimation {
    QList<QImage> frames;
    QList<int> delays;
    int loops = 0;
};
QtAnimation qtFrames(const QString& path);
