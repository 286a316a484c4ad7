// The metadata of pictures and their copies, converted with exiv2.
#include "engine/io/metadata.h"

#include "engine/io/grayprofile.h"
#include "engine/io/metadataparts.h"
#include "engine/io/picturewriter.h"

#include <QFile>

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <iterator>
#include <mutex>
#include <string>

namespace {

// What one JPEG segment holds of each block, after its marker's length and name; a colour profile
// goes in at most 255 segments of 65519 bytes.
constexpr qsizetype kSegmentCapacity = 65533;
constexpr qsizetype kLargestJpegExif = kSegmentCapacity - 6;
constexpr qsizetype kLargestJpegXmp = kSegmentCapacity - 29;
constexpr qsizetype kLargestJpegPhotoshop = kSegmentCapacity - 14;
constexpr qsizetype kLargestJpegProfile = qsizetype(255) * 65519;

// A line of a raw profile holds 36 bytes, 72 hexadecimal digits, as exiv2 and ImageMagick write.
constexpr qsizetype kRawProfileLineBytes = 36;

// Tags that describe how a TIFF stores its own pixels or carry the other metadata blocks: they
// are not the picture's EXIF and would be wrong in any copy of it.
const char* const kTiffStructureKeys[] = {
    "Exif.Image.NewSubfileType",    "Exif.Image.ImageWidth",
    "Exif.Image.ImageLength",       "Exif.Image.BitsPerSample",
    "Exif.Image.Compression",       "Exif.Image.FillOrder",
    "Exif.Image.SamplesPerPixel",   "Exif.Image.PlanarConfiguration",
    "Exif.Image.Predictor",         "Exif.Image.TileWidth",
    "Exif.Image.TileLength",        "Exif.Image.TileOffsets",
    "Exif.Image.TileByteCounts",    "Exif.Image.ExtraSamples",
    "Exif.Image.SampleFormat",      "Exif.Image.XMLPacket",
    "Exif.Image.IPTCNAA",           "Exif.Image.ImageResources",
    "Exif.Image.InterColorProfile",
};

// The tags a TIFF copy's writer sets for each page itself (its resolution from the picture's
// density): the metadata's own values would contradict the page, or stand where it has none.
const char* const kTiffPageKeys[] = {
    "Exif.Image.StripOffsets",   "Exif.Image.StripByteCounts",
    "Exif.Image.RowsPerStrip",   "Exif.Image.SubIFDs",
    "Exif.Image.PageNumber",     "Exif.Image.SubfileType",
    "Exif.Image.XResolution",    "Exif.Image.YResolution",
    "Exif.Image.ResolutionUnit", "Exif.Image.PhotometricInterpretation",
};

// The tags of a TIFF's other directories (its other pages, a preview, sub-images), which exiv2
// names by their directory and which are no part of the first page's EXIF.
bool otherDirectoryKey(const Exiv2::Exifdatum& datum) {
    const std::string group = datum.groupName();
    const auto startsWith = [&group](const char* prefix) {
        return group.rfind(prefix, 0) == 0;
    };
    return startsWith("Thumbnail") || startsWith("SubImage") || startsWith("SubThumb") ||
           (startsWith("Image") && group.size() > 5);
}

std::mutex xmpToolkitLock;

void lockXmpToolkit(void*, bool lock) {
    if (lock)
        xmpToolkitLock.lock();
    else
        xmpToolkitLock.unlock();
}

const Exiv2::byte* bytesOf(const QByteArray& data) {
    return reinterpret_cast<const Exiv2::byte*>(data.constData());
}

QByteArray bytesOf(const Exiv2::DataBuf& buffer) {
    return QByteArray(reinterpret_cast<const char*>(buffer.pData_), qsizetype(buffer.size_));
}

Exiv2::ByteOrder decodeExif(const QByteArray& exif, Exiv2::ExifData& data) {
    return Exiv2::ExifParser::decode(data, bytesOf(exif), uint32_t(exif.size()));
}

QByteArray encodeExif(const Exiv2::ExifData& data, Exiv2::ByteOrder order) {
    if (data.empty())
        return {};
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, order == Exiv2::invalidByteOrder ? Exiv2::littleEndian : order,
                              data);
    return QByteArray(reinterpret_cast<const char*>(blob.data()), qsizetype(blob.size()));
}

// Sets a value only where the metadata names it already.
template <typename Data, typename Key, typename Value>
void replace(Data& data, const char* key, const Value& value) {
    const auto found = data.findKey(Key(key));
    if (found != data.end())
        *found = value;
}

// The camera's preview in a maker note shows the picture before its stamp, as the EXIF thumbnail
// does: both go, and with the preview every tag that points at it.
void eraseMakerNotePreviews(Exiv2::ExifData& data) {
    for (auto datum = data.begin(); datum != data.end();)
        datum = isMakerNotePreview(datum->groupName(), datum->tagName()) ? data.erase(datum)
                                                                         : std::next(datum);
}

QByteArray exifForOutput(const QByteArray& exif, QSize size, bool keepOrientation) {
    Exiv2::ExifData data;
    const Exiv2::ByteOrder order = decodeExif(exif, data);
    if (!keepOrientation)
        replace<Exiv2::ExifData, Exiv2::ExifKey>(data, "Exif.Image.Orientation", uint16_t(1));
    replace<Exiv2::ExifData, Exiv2::ExifKey>(data, "Exif.Photo.PixelXDimension",
                                             uint32_t(size.width()));
    replace<Exiv2::ExifData, Exiv2::ExifKey>(data, "Exif.Photo.PixelYDimension",
                                             uint32_t(size.height()));
    Exiv2::ExifThumb(data).erase();
    eraseMakerNotePreviews(data);
    return encodeExif(data, order);
}

QByteArray xmpForOutput(const QByteArray& xmp, QSize size, bool turned, bool keepOrientation) {
    Exiv2::XmpData data;
    if (Exiv2::XmpParser::decode(data, xmp.toStdString()) != 0)
        return {};
    using Key = Exiv2::XmpKey;
    // Only an orientation the copy was turned by becomes 1: one that only XMP names was not
    // applied, and stays as it was.
    if (turned && !keepOrientation)
        replace<Exiv2::XmpData, Key>(data, "Xmp.tiff.Orientation", std::string("1"));
    const std::string width = std::to_string(size.width());
    const std::string height = std::to_string(size.height());
    replace<Exiv2::XmpData, Key>(data, "Xmp.exif.PixelXDimension", width);
    replace<Exiv2::XmpData, Key>(data, "Xmp.exif.PixelYDimension", height);
    replace<Exiv2::XmpData, Key>(data, "Xmp.tiff.ImageWidth", width);
    replace<Exiv2::XmpData, Key>(data, "Xmp.tiff.ImageLength", height);
    std::string packet;
    if (Exiv2::XmpParser::encode(packet, data) != 0)
        return {};
    // The packet is written with room to grow for editors; a packet that would then pass what a
    // JPEG segment holds is written without it.
    if (qsizetype(packet.size()) > kLargestJpegXmp &&
        Exiv2::XmpParser::encode(packet, data,
                                 Exiv2::XmpParser::useCompactFormat |
                                     Exiv2::XmpParser::omitPacketWrapper) != 0)
        return {};
    return QByteArray::fromStdString(packet);
}

// Runs one conversion; what exiv2 cannot read yields nothing rather than a failed picture.
template <typename Convert> auto guarded(const Convert& convert) -> decltype(convert()) {
    try {
        ensureExiv2();
        return convert();
    } catch (const std::exception&) {
        return {};
    }
}

Exiv2::IptcData decodeIptc(const QByteArray& iptc) {
    Exiv2::IptcData data;
    if (Exiv2::IptcParser::decode(data, bytesOf(iptc), uint32_t(iptc.size())) != 0)
        data.clear();
    return data;
}

} // namespace

// Exiv2's XMP toolkit is shared by every thread: it is set up once, with a lock around each use.
// Exiv2's own warnings about odd maker notes would only clutter the output.
void ensureExiv2() {
    static const bool ready = [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        return Exiv2::XmpParser::initialize(lockXmpToolkit, nullptr);
    }();
    Q_UNUSED(ready);
}

int OrientationOf(const PictureMetadata& metadata) {
    if (metadata.exif.isEmpty())
        return 1;
    const long orientation = guarded([&]() -> long {
        Exiv2::ExifData data;
        decodeExif(metadata.exif, data);
        const auto found = data.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        return found == data.end() || found->count() == 0 ? 1 : found->toLong();
    });
    return orientation >= 1 && orientation <= 8 ? int(orientation) : 1;
}

int OrientationOfTransform(int quarterTurns, int mirror) {
    // By quarter turns; then without a mirror, top-bottom, left-right.
    static constexpr int kOrientations[4][3] = {{1, 4, 2}, {8, 5, 7}, {3, 2, 4}, {6, 7, 5}};
    return kOrientations[quarterTurns & 3][mirror < 0 ? 0 : mirror == 0 ? 1 : 2];
}

void SetOrientation(PictureMetadata& metadata, int orientation) {
    if (!metadata.exif.isEmpty() && OrientationOf(metadata) != orientation) {
        const QByteArray exif = guarded([&] {
            Exiv2::ExifData data;
            const Exiv2::ByteOrder order = decodeExif(metadata.exif, data);
            replace<Exiv2::ExifData, Exiv2::ExifKey>(data, "Exif.Image.Orientation",
                                                     uint16_t(orientation));
            return encodeExif(data, order);
        });
        if (!exif.isEmpty())
            metadata.exif = exif;
    }
    if (!metadata.xmp.isEmpty()) {
        const QByteArray xmp = guarded([&] {
            Exiv2::XmpData data;
            if (Exiv2::XmpParser::decode(data, metadata.xmp.toStdString()) != 0 ||
                data.findKey(Exiv2::XmpKey("Xmp.tiff.Orientation")) == data.end())
                return QByteArray();
            replace<Exiv2::XmpData, Exiv2::XmpKey>(data, "Xmp.tiff.Orientation",
                                                   std::to_string(orientation));
            std::string packet;
            return Exiv2::XmpParser::encode(packet, data) == 0 ? QByteArray::fromStdString(packet)
                                                               : QByteArray();
        });
        if (!xmp.isEmpty())
            metadata.xmp = xmp;
    }
}

PictureMetadata MetadataForOutput(const PictureMetadata& input, QSize size, bool strip,
                                  bool keepOrientation) {
    PictureMetadata output;
    output.icc = input.icc;
    output.density = input.density;
    output.pngColor = input.pngColor;
    if (strip)
        return output;
    output.iptc = input.iptc;
    output.texts = input.texts;
    output.photoshop = input.photoshop;
    output.extendedXmp = input.extendedXmp;
    if (!input.exif.isEmpty())
        output.exif = guarded([&] { return exifForOutput(input.exif, size, keepOrientation); });
    if (!input.xmp.isEmpty())
        output.xmp = guarded([&] {
            return xmpForOutput(input.xmp, size, OrientationOf(input) != 1, keepOrientation);
        });
    return output;
}

QByteArray iptcFromPhotoshop(const QByteArray& resources) {
    if (resources.isEmpty())
        return {};
    return guarded([&] {
        QByteArray iptc;
        const Exiv2::byte* at = bytesOf(resources);
        const Exiv2::byte* const end = at + resources.size();
        const Exiv2::byte* record = nullptr;
        uint32_t headerSize = 0, dataSize = 0;
        while (Exiv2::Photoshop::locateIptcIrb(at, long(end - at), &record, &headerSize,
                                               &dataSize) == 0) {
            iptc.append(reinterpret_cast<const char*>(record + headerSize), qsizetype(dataSize));
            // Resources are padded to an even length.
            at = record + headerSize + dataSize + (dataSize & 1);
            if (at >= end)
                break;
        }
        return iptc;
    });
}

QByteArray photoshopFromIptc(const QByteArray& iptc) {
    return guarded([&] {
        const Exiv2::IptcData data = decodeIptc(iptc);
        return data.empty() ? QByteArray()
                            : bytesOf(Exiv2::Photoshop::setIptcIrb(nullptr, 0, data));
    });
}

QByteArray decodeRawProfile(const QByteArray& text) {
    // "\n<type>\n<length>\n<hex digits over several lines>"
    const qsizetype typeEnd = text.indexOf('\n', 1);
    const qsizetype lengthEnd = typeEnd < 0 ? -1 : text.indexOf('\n', typeEnd + 1);
    if (!text.startsWith('\n') || lengthEnd < 0)
        return {};
    bool ok = false;
    const qsizetype length =
        text.mid(typeEnd + 1, lengthEnd - typeEnd - 1).trimmed().toLongLong(&ok);
    const QByteArray data = QByteArray::fromHex(text.mid(lengthEnd + 1));
    if (!ok || length <= 0 || data.size() < length)
        return {};
    return data.left(length);
}

QByteArray encodeRawProfile(const QByteArray& data, const char* type) {
    QByteArray text =
        '\n' + QByteArray(type) + '\n' + QByteArray::number(data.size()).rightJustified(8, ' ');
    for (qsizetype at = 0; at < data.size(); at += kRawProfileLineBytes)
        text += '\n' + data.mid(at, kRawProfileLineBytes).toHex();
    return text + '\n';
}

PictureMetadata readFileMetadata(const QString& path) {
    return guarded([&] {
        auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        image->readMetadata();
        Exiv2::ExifData exif = image->exifData();
        for (const char* key : kTiffStructureKeys) {
            const auto found = exif.findKey(Exiv2::ExifKey(key));
            if (found != exif.end())
                exif.erase(found);
        }
        for (auto datum = exif.begin(); datum != exif.end();)
            datum = otherDirectoryKey(*datum) ? exif.erase(datum) : std::next(datum);
        PictureMetadata metadata;
        metadata.exif = encodeExif(exif, image->byteOrder());
        metadata.xmp = QByteArray::fromStdString(image->xmpPacket());
        if (!image->iptcData().empty())
            metadata.iptc = bytesOf(Exiv2::IptcParser::encode(image->iptcData()));
        if (image->iccProfileDefined())
            metadata.icc = bytesOf(*image->iccProfile());
        return metadata;
    });
}

QByteArray tiffWithMetadata(const QByteArray& tiff, const PictureMetadata& metadata) {
    if (metadata.isEmpty())
        return tiff;
    const QByteArray written = guarded([&] {
        auto image = Exiv2::ImageFactory::open(bytesOf(tiff), long(tiff.size()));
        image->readMetadata();
        Exiv2::ExifData exif = image->exifData();
        if (!metadata.exif.isEmpty()) {
            Exiv2::ExifData picture;
            decodeExif(metadata.exif, picture);
            for (const Exiv2::Exifdatum& datum : picture) {
                const std::string key = datum.key();
                const auto named = [&key](const char* name) {
                    return key == name;
                };
                if (otherDirectoryKey(datum) ||
                    std::any_of(std::begin(kTiffStructureKeys), std::end(kTiffStructureKeys),
                                named) ||
                    std::any_of(std::begin(kTiffPageKeys), std::end(kTiffPageKeys), named))
                    continue;
                exif[key] = datum.value();
            }
        }
        image->setExifData(exif);
        if (!metadata.xmp.isEmpty())
            image->setXmpPacket(metadata.xmp.toStdString());
        image->setIptcData(decodeIptc(metadata.iptc));
        if (!metadata.icc.isEmpty()) {
            Exiv2::DataBuf icc(bytesOf(metadata.icc), long(metadata.icc.size()));
            image->setIccProfile(icc, false);
        }
        image->writeMetadata();
        Exiv2::BasicIo& io = image->io();
        io.open();
        Exiv2::DataBuf all = io.read(long(io.size()));
        io.close();
        return bytesOf(all);
    });
    return written.isEmpty() ? tiff : written;
}

namespace {
// The EXIF tags of the input that its copy's EXIF lacks, but for the preview thumbnail, which a
// copy never keeps.
QStringList exifTagsLeftOut(const QByteArray& input, const QByteArray& output) {
    Exiv2::ExifData before;
    Exiv2::ExifData after;
    decodeExif(input, before);
    if (!output.isEmpty())
        decodeExif(output, after);
    QStringList missing;
    for (const Exiv2::Exifdatum& datum : before) {
        const std::string key = datum.key();
        if (key.rfind("Exif.Thumbnail.", 0) != 0 &&
            !isMakerNotePreview(datum.groupName(), datum.tagName()) &&
            after.findKey(Exiv2::ExifKey(key)) == after.end())
            missing << QString::fromStdString(key);
    }
    missing.removeDuplicates();
    return missing;
}

// The formats that carry EXIF, XMP and a colour profile but no IPTC.
QString NewerFormatName(PictureFormat format) {
    switch (format) {
    case PictureFormat::Webp:
        return QStringLiteral("WebP");
    case PictureFormat::Avif:
        return QStringLiteral("AVIF");
    case PictureFormat::Jxl:
        return QStringLiteral("JPEG XL");
    default:
        return {};
    }
}

QString sizeText(qsizetype bytes) {
    return QStringLiteral("%1 KB").arg((bytes + 1023) / 1024);
}

// A JPEG copy carries the extension as it was; any other takes it into its one packet, which has
// no limit of a segment. A pointer to an extension the copy does not carry goes.
void fitExtendedXmp(PictureMetadata& output, PictureFormat format) {
    if (output.xmp.isEmpty()) {
        output.extendedXmp.clear();
        return;
    }
    const auto changed = [&](const auto& change) {
        const QByteArray xmp = guarded(change);
        if (!xmp.isEmpty())
            output.xmp = xmp;
    };
    if (format != PictureFormat::Jpeg && !output.extendedXmp.isEmpty()) {
        changed([&] { return xmpJoinedWithExtension(output.xmp, output.extendedXmp); });
        output.extendedXmp.clear();
    }
    if (output.extendedXmp.isEmpty() && output.xmp.contains("HasExtendedXMP"))
        changed([&] { return xmpWithoutExtensionPointer(output.xmp); });
}
} // namespace

QStringList FitMetadata(const PictureMetadata& input, PictureMetadata& output, PictureFormat format,
                        bool stripped) {
    QStringList notes;
    if (!input.exif.isEmpty() && !stripped) {
        const QStringList missing =
            guarded([&] { return exifTagsLeftOut(input.exif, output.exif); });
        if (!missing.isEmpty())
            notes << QStringLiteral("EXIF tags left out to keep the EXIF within 64 KB: %1")
                         .arg(missing.join(QStringLiteral(", ")));
    }
    const auto dropIf = [&](QByteArray& block, bool tooLarge, const char* what) {
        if (block.isEmpty() || !tooLarge)
            return;
        notes << QStringLiteral("%1 left out: %2 is more than a JPEG holds")
                     .arg(QLatin1String(what), sizeText(block.size()));
        block.clear();
    };
    fitExtendedXmp(output, format);
    if (format == PictureFormat::Jpeg) {
        dropIf(output.exif, output.exif.size() > kLargestJpegExif, "EXIF");
        dropIf(output.xmp, output.xmp.size() > kLargestJpegXmp, "XMP");
        if (output.xmp.isEmpty())
            output.extendedXmp.clear();
        dropIf(output.iptc,
               !output.iptc.isEmpty() &&
                   photoshopFromIptc(output.iptc).size() > kLargestJpegPhotoshop,
               "IPTC");
        dropIf(output.icc, output.icc.size() > kLargestJpegProfile, "colour profile");
    } else if (const QString name = NewerFormatName(format); !name.isEmpty()) {
        if (!output.iptc.isEmpty())
            notes << QStringLiteral("IPTC left out: %1 has no place for it").arg(name);
        output.iptc.clear();
    } else if (format == PictureFormat::Png && !output.icc.isEmpty()) {
        // A grey profile comes to a PNG only with a grey copy (see the run's encoding).
        if (const QString refusal = PngProfileRefusal(output.icc, IsGrayProfile(output.icc));
            !refusal.isEmpty()) {
            notes << QStringLiteral("colour profile left out: libpng refuses it (%1)").arg(refusal);
            output.icc.clear();
        }
    }
    return notes;
}
