// Photoshop resources, extended XMP and maker-note previews: what a copy keeps of them.
#include "engine/io/metadataparts.h"

#include "engine/io/metadata.h"

#include <QRegularExpression>
#include <QtEndian>

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <cstring>
#include <set>

namespace {

// A resource: signature, 16-bit id, a Pascal name padded to an even length, 32-bit size, data
// padded to an even length.
constexpr qsizetype kResourceHead = 4 + 2;
const char* const kResourceSignatures[] = {"8BIM", "PHUT", "AgHg", "DCSR", "MeSa"};

// Resources that describe the picture before its stamp, or the IPTC the copy writes anew.
bool rebuiltOrStale(quint16 id) {
    constexpr quint16 kIptc = 0x0404, kOldThumbnail = 0x0409, kThumbnail = 0x040C;
    constexpr quint16 kIptcDigest = 0x0425;
    return id == kIptc || id == kOldThumbnail || id == kThumbnail || id == kIptcDigest;
}

// An extension part: the GUID in 32 hexadecimal digits, the full length and this part's offset
// (big-endian, 32 bits each), then the part itself.
constexpr qsizetype kGuidLength = 32;
constexpr qsizetype kExtensionHead = kGuidLength + 8;

QByteArray guidNamedBy(const QByteArray& xmp) {
    static const QRegularExpression pointer(
        QStringLiteral("HasExtendedXMP(?:\\s*=\\s*[\"']|>)\\s*([0-9A-Fa-f]{32})"));
    if (!xmp.contains("HasExtendedXMP"))
        return {};
    const auto match = pointer.match(QString::fromUtf8(xmp));
    return match.hasMatch() ? match.captured(1).toLatin1() : QByteArray();
}

// The extension put together from its parts; empty when they do not make it whole.
QByteArray extensionPacket(const QList<QByteArray>& parts) {
    QByteArray packet;
    qsizetype filled = 0;
    for (const QByteArray& part : parts) {
        if (part.size() < kExtensionHead)
            return {};
        const quint32 length = qFromBigEndian<quint32>(part.constData() + kGuidLength);
        const quint32 offset = qFromBigEndian<quint32>(part.constData() + kGuidLength + 4);
        const qsizetype size = part.size() - kExtensionHead;
        if (packet.isEmpty())
            packet = QByteArray(qsizetype(length), '\0');
        if (length != quint32(packet.size()) || offset > length || size > length - offset)
            return {};
        std::memcpy(packet.data() + offset, part.constData() + kExtensionHead, size_t(size));
        filled += size;
    }
    return filled == packet.size() ? packet : QByteArray();
}

template <typename Data> typename Data::iterator extensionPointer(Data& data) {
    return std::find_if(data.begin(), data.end(),
                        [](const auto& datum) { return datum.tagName() == "HasExtendedXMP"; });
}

QByteArray encodedXmp(const Exiv2::XmpData& data) {
    std::string packet;
    if (Exiv2::XmpParser::encode(packet, data) != 0)
        return {};
    return QByteArray::fromStdString(packet);
}

} // namespace

QByteArray photoshopWithoutIptc(const QByteArray& resources) {
    QByteArray kept;
    qsizetype at = 0;
    while (at + kResourceHead + 2 + 4 <= resources.size()) {
        const char* const resource = resources.constData() + at;
        if (std::none_of(std::begin(kResourceSignatures), std::end(kResourceSignatures),
                         [&](const char* name) { return std::memcmp(resource, name, 4) == 0; }))
            break;
        const quint16 id = qFromBigEndian<quint16>(resource + 4);
        const qsizetype nameBytes = (1 + uchar(resource[kResourceHead]) + 1) & ~qsizetype(1);
        const qsizetype sizeAt = at + kResourceHead + nameBytes;
        if (sizeAt + 4 > resources.size())
            break;
        const quint32 size = qFromBigEndian<quint32>(resources.constData() + sizeAt);
        if (size > quint32(resources.size() - sizeAt - 4))
            break;
        const qsizetype end = sizeAt + 4 + qsizetype(size);
        if (!rebuiltOrStale(id)) {
            kept += resources.mid(at, end - at);
            // The last resource's padding is sometimes left off; the ones after it need it.
            if (size & 1)
                kept += '\0';
        }
        at = end + (size & 1);
    }
    return kept;
}

QList<QByteArray> extendedXmpOf(const QByteArray& xmp, const QList<QByteArray>& parts) {
    const QByteArray guid = guidNamedBy(xmp);
    QList<QByteArray> named;
    if (guid.isEmpty())
        return named;
    for (const QByteArray& part : parts)
        if (part.size() > kExtensionHead && part.startsWith(guid))
            named << part;
    return named;
}

bool isMakerNotePreview(const std::string& group, const std::string& tag) {
    static const std::set<std::string> kPreviewTags = {
        "Preview",           "PreviewImage",        "PreviewImageStart", "PreviewImageLength",
        "PreviewImageValid", "PreviewImageSize",    "PreviewLength",     "PreviewOffset",
        "PreviewResolution", "PreviewImageBorders", "Thumbnail",         "ThumbnailImage",
        "ThumbnailOffset",   "ThumbnailLength",
    };
    if (!Exiv2::ExifTags::isMakerGroup(group))
        return false;
    // A preview of its own IFD (NikonPreview, SamsungPreview) goes whole.
    return group.find("Preview") != std::string::npos || kPreviewTags.count(tag) != 0;
}

QByteArray xmpJoinedWithExtension(const QByteArray& xmp, const QList<QByteArray>& parts) {
    const QByteArray extension = extensionPacket(parts);
    Exiv2::XmpData data;
    Exiv2::XmpData more;
    if (extension.isEmpty() || Exiv2::XmpParser::decode(data, xmp.toStdString()) != 0 ||
        Exiv2::XmpParser::decode(more, extension.toStdString()) != 0)
        return xmpWithoutExtensionPointer(xmp);
    if (const auto pointer = extensionPointer(data); pointer != data.end())
        data.erase(pointer);
    for (const Exiv2::Xmpdatum& datum : more)
        if (data.findKey(Exiv2::XmpKey(datum.key())) == data.end())
            data.add(datum);
    const QByteArray joined = encodedXmp(data);
    return joined.isEmpty() ? xmpWithoutExtensionPointer(xmp) : joined;
}

QByteArray xmpWithoutExtensionPointer(const QByteArray& xmp) {
    Exiv2::XmpData data;
    if (Exiv2::XmpParser::decode(data, xmp.toStdString()) != 0)
        return xmp;
    const auto pointer = extensionPointer(data);
    if (pointer == data.end())
        return xmp;
    data.erase(pointer);
    const QByteArray without = encodedXmp(data);
    return without.isEmpty() ? xmp : without;
}
