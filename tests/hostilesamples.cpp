#include "tests/hostilesamples.h"

#include "tests/codecsamples.h"

#include <QBuffer>
#include <QImageWriter>
#include <QtEndian>

#include <zlib.h>

#include <vector>

namespace {
QByteArray pngChunk(const char* type, const QByteArray& data) {
    QByteArray chunk(4, '\0');
    qToBigEndian<quint32>(quint32(data.size()), chunk.data());
    chunk += QByteArray(type, 4) + data;
    const QByteArray body = chunk.mid(4);
    QByteArray crc(4, '\0');
    qToBigEndian<quint32>(
        quint32(crc32(0, reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()))),
        crc.data());
    return chunk + crc;
}

} // namespace

QByteArray pngWith(quint32 width, quint32 height, const QByteArray& idat, bool interlaced) {
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(width, header.data());
    qToBigEndian<quint32>(height, header.data() + 4);
    header[8] = 8; // bits per sample
    header[9] = 2; // truecolour
    header[12] = interlaced ? 1 : 0;
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + pngChunk("IDAT", idat) +
           pngChunk("IEND", {});
}

QByteArray inflatingPng(int side) {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15, 9, Z_RLE);
    std::vector<Bytef> row(size_t(side) * 3 + 1, 0);
    QByteArray idat;
    std::vector<Bytef> out(1 << 16);
    for (int y = 0; y <= side; ++y) {
        const bool last = y == side;
        stream.next_in = row.data();
        stream.avail_in = last ? 0 : uInt(row.size());
        do {
            stream.next_out = out.data();
            stream.avail_out = uInt(out.size());
            deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
            idat.append(reinterpret_cast<const char*>(out.data()),
                        qsizetype(out.size() - stream.avail_out));
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    return pngWith(quint32(side), quint32(side), idat);
}

QByteArray zlibOf(const QByteArray& data) {
    return qCompress(data).mid(4); // without the length Qt puts in front
}

QByteArray textChunkBomb() {
    const QByteArray png = encoded(photoLike(16, 16), PictureFormat::Png);
    QByteArray chunk(8, '\0');
    qToBigEndian<quint32>(0x7FFFFFFF, chunk.data());
    chunk.replace(4, 4, "iTXt");
    return png.left(33) + chunk + QByteArray("XML:com.adobe.xmp");
}

QByteArray gifScreen(quint16 width, quint16 height) {
    QByteArray gif("GIF89a");
    gif.resize(13);
    qToLittleEndian<quint16>(width, gif.data() + 6);
    qToLittleEndian<quint16>(height, gif.data() + 8);
    gif[10] = char(0x80); // a global colour table of two colours
    gif[11] = gif[12] = 0;
    gif += QByteArray("\0\0\0\xff\xff\xff", 6);
    // One 1 x 1 frame, then the end.
    return gif + QByteArray(",\0\0\0\0\1\0\1\0\0\x02\x02\x44\x01\0;", 17);
}

QByteArray jpegDeclaring(QByteArray jpeg, quint16 width, quint16 height) {
    for (const char* marker : {"\xFF\xC0", "\xFF\xC2"}) {
        const qsizetype at = jpeg.indexOf(QByteArray(marker, 2));
        if (at >= 0) {
            qToBigEndian<quint16>(height, jpeg.data() + at + 5);
            qToBigEndian<quint16>(width, jpeg.data() + at + 7);
        }
    }
    return jpeg;
}

QByteArray bmpDeclaring(qint32 width, qint32 height) {
    QByteArray bmp = encoded(photoLike(16, 16), PictureFormat::Bmp).left(154);
    qToLittleEndian<qint32>(width, bmp.data() + 18);
    qToLittleEndian<qint32>(height, bmp.data() + 22);
    return bmp;
}

QByteArray tiffDeclaring(quint32 width, quint32 height) {
    const quint32 entries[][3] = {{256, 4, width}, {257, 4, height}, {258, 3, 8},
                                  {259, 3, 1},     {262, 3, 1},      {273, 4, 8},
                                  {277, 3, 1},     {278, 4, height}, {279, 4, 64}};
    QByteArray tiff("II*\0\x08\0\0\0", 8);
    QByteArray count(2, '\0');
    qToLittleEndian<quint16>(quint16(std::size(entries)), count.data());
    tiff += count;
    for (const auto& [tag, type, value] : entries) {
        QByteArray entry(12, '\0');
        qToLittleEndian<quint16>(quint16(tag), entry.data());
        qToLittleEndian<quint16>(quint16(type), entry.data() + 2);
        qToLittleEndian<quint32>(1, entry.data() + 4);
        if (type == 3)
            qToLittleEndian<quint16>(quint16(value), entry.data() + 8);
        else
            qToLittleEndian<quint32>(value, entry.data() + 8);
        tiff += entry;
    }
    return tiff + QByteArray(4 + 64, '\0');
}

QByteArray byQt(const QImage& image, const char* format) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, format).write(image);
    return buffer.data();
}
