#pragma once

// What every reader and writer of pictures speaks of: the pixels' layout, the metadata, the
// formats and how a JPEG is written. Each concern has its own header: picturereader.h (decoding
// files), picturewriter.h (encoding), metadata.h (the metadata of a copy).

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>

#include <array>
#include <optional>

// Pixels travel through the engine as rows of 32-bit values in QImage's memory layout: RGB32
// (alpha byte 0xFF) for opaque pictures, ARGB32 (not premultiplied) for pictures with their own
// transparency.

// A text a picture carries besides EXIF, XMP and IPTC: a PNG text chunk under its keyword
// (Author, Copyright, Title ...), or a JPEG comment under the keyword "Comment".
struct PictureText {
    QString key;
    QString text;
    friend bool operator==(const PictureText&, const PictureText&) = default;
};
inline const QString kCommentKey = QStringLiteral("Comment");

// How densely the pixels are meant to be printed, as the file says: dots per inch across and
// down, or with aspectOnly only the ratio of the two (the pixels' shape).
struct PixelDensity {
    double x = 0;
    double y = 0;
    bool aspectOnly = false;
    friend bool operator==(const PixelDensity&, const PixelDensity&) = default;
};

// A PNG's own colour chunks, in their stored units (gamma and chromaticities times 100000), which
// a PNG copy keeps so that programs that read them show it as they showed the picture.
struct PngColorChunks {
    std::optional<quint32> gamma;
    std::optional<std::array<qint32, 8>> chromaticities; // white x, y, red x, y, green, blue
    std::optional<int> srgbIntent;
    bool isEmpty() const { return !gamma && !chromaticities && !srgbIntent; }
};

// What a picture carries besides its pixels and what its stamped copy keeps.
struct PictureMetadata {
    QByteArray exif; // the EXIF block from its byte-order mark on ("II*\0" or "MM\0*")
    QByteArray xmp;  // the XMP packet, UTF-8 XML
    QByteArray iptc; // IPTC-IIM data sets, as stored in a Photoshop 0x0404 resource
    QByteArray icc;  // the ICC colour profile
    QList<PictureText> texts;
    // A JPEG's Photoshop image resources ("8BIM" blocks) but the IPTC one, rebuilt from iptc, and
    // those that describe the picture as it was (thumbnails, the IPTC's checksum).
    QByteArray photoshop;
    // A JPEG's extended XMP: the bodies of the APP1 segments after their namespace (GUID, full
    // length, offset, part), those whose GUID the packet's xmpNote:HasExtendedXMP names.
    QList<QByteArray> extendedXmp;
    // Facts about the pixels themselves, kept even when the metadata is left out.
    std::optional<PixelDensity> density;
    PngColorChunks pngColor;

    bool isEmpty() const {
        return exif.isEmpty() && xmp.isEmpty() && iptc.isEmpty() && icc.isEmpty() &&
               texts.isEmpty() && photoshop.isEmpty() && extendedXmp.isEmpty();
    }
};

// Heif is HEIC and the other HEIF pictures that libheif decodes (AVIF excepted: it has its own).
enum class PictureFormat { Jpeg, Png, Gif, Bmp, Tiff, Webp, Avif, Heif, Jxl, Other };

// A JPEG's quantisation tables and sampling, taken from an input to write its copy without
// quantising it more coarsely than it was, and whether its scans are progressive.
inline constexpr int kJpegTableComponents = 4; // greyscale 1, YCbCr 3, CMYK or YCCK 4
struct JpegTables {
    int components = 3;
    std::array<std::array<quint16, 64>, 4> tables{}; // in natural (row-major) order
    std::array<bool, 4> present{};
    std::array<int, kJpegTableComponents> componentTable{};
    std::array<int, kJpegTableComponents> hSampling{};
    std::array<int, kJpegTableComponents> vSampling{};
    bool progressive = false;
    bool ycck = false; // four components stored as YCCK (Adobe's transform) rather than CMYK
};

// How a JPEG is written: the standard tables at a quality with 4:2:0 sampling, or an input's own
// tables and sampling.
inline constexpr int kDefaultJpegQuality = 75;
struct JpegSettings {
    int quality = kDefaultJpegQuality;
    std::optional<JpegTables> tables;
    // At a quality, a colour JPEG input's chroma sampling (4:4:4, 4:2:2 ...), taken from these
    // tables' sampling alone, so that its copy keeps the colour detail it had.
    std::optional<JpegTables> sampling;
    // Progressive scans (libjpeg's simple progression) with Huffman tables made for the picture,
    // for the copy of a progressive JPEG; sequential scans with the standard Huffman tables
    // otherwise.
    bool progressive = false;
};

// How a TIFF copy stores its pixels, in TIFF's own numbers: its input's compression, predictor
// and resolution unit when the input is a TIFF, LZW with the horizontal predictor otherwise.
// A grey picture's copy stays grey when every stamped pixel is grey.
enum class TiffCompression : quint16 {
    None = 1,
    Lzw = 5,
    AdobeDeflate = 8,
    PackBits = 32773,
    Deflate = 32946,
};
enum class TiffPredictor : quint16 { None = 1, Horizontal = 2 };
enum class TiffResolutionUnit : quint16 { None = 1, Inch = 2, Centimetre = 3 };
struct TiffSettings {
    TiffCompression compression = TiffCompression::Lzw;
    TiffPredictor predictor = TiffPredictor::Horizontal;
    TiffResolutionUnit resolutionUnit = TiffResolutionUnit::Inch;
    bool gray = false;
    // The picture holds CMYK as PictureReader::readCmyk gives it, stored as the inks themselves.
    bool cmyk = false;
};

// The reason a picture whose data stops before its declared size gets no stamped copy.
inline const QString kDataEndsEarlyText = QStringLiteral("image data ends early");
inline const QString kNotRegularFileText = QStringLiteral("not a regular file");
// A decode given up because its picture is no longer wanted (a preview superseded or closed).
inline const QString kNoLongerWantedText = QStringLiteral("the picture is no longer wanted");
