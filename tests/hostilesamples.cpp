#include "tests/hostilesamples.h"

#include "tests/codecsamples.h"

#include <QBuffer>
#include <QImageWriter>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <vector>

#include <jpeglib.h>

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

// Where each scan of a JPEG begins (its SOS marker) and where the coded data after it ends (the
// next marker that is neither a stuffed 0xFF nor a restart marker).
struct ScanSpan {
    qsizetype start = 0;
    qsizetype end = 0;
};

std::vector<ScanSpan> scansOf(const QByteArray& jpeg) {
    std::vector<ScanSpan> scans;
    const auto byte = [&](qsizetype i) {
        return i < jpeg.size() ? uchar(jpeg[i]) : 0xD9;
    };
    qsizetype at = 2; // after SOI
    while (at + 4 <= jpeg.size() && byte(at) == 0xFF && byte(at + 1) != 0xD9) {
        const qsizetype segmentEnd = at + 2 + (byte(at + 2) << 8 | byte(at + 3));
        if (byte(at + 1) != 0xDA) {
            at = segmentEnd;
            continue;
        }
        qsizetype end = segmentEnd;
        while (end + 1 < jpeg.size() &&
               !(byte(end) == 0xFF && byte(end + 1) != 0 && (byte(end + 1) & 0xF8) != 0xD0))
            ++end;
        scans.push_back({at, end});
        at = end;
    }
    return scans;
}

// Encodes with libjpeg, the picture RGB32, and the caller's settings made before the start.
template <typename Settings> QByteArray jpegOf(const QImage& source, const Settings& settings) {
    const QImage image = source.convertToFormat(QImage::Format_RGB32);
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* data = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &data, &size);
    info.image_width = JDIMENSION(image.width());
    info.image_height = JDIMENSION(image.height());
    info.input_components = 4;
    info.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&info);
    settings(info);
    jpeg_start_compress(&info, TRUE);
    for (int y = 0; y < image.height(); ++y) {
        JSAMPROW row = const_cast<uchar*>(image.constScanLine(y));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    std::free(data);
    return bytes;
}

} // namespace

QByteArray damagedArithmeticJpeg(const QImage& picture, int at) {
    QByteArray jpeg = jpegOf(picture, [](jpeg_compress_struct& info) { info.arith_code = TRUE; });
    const ScanSpan scan = scansOf(jpeg).front();
    const qsizetype coded =
        scan.start + 2 + (uchar(jpeg[scan.start + 2]) << 8 | uchar(jpeg[scan.start + 3]));
    const qsizetype changed = std::min(coded + at, scan.end - 2);
    // Never a 0xFF, which would make a marker of the byte: the data is damaged, not cut.
    jpeg[changed] = char(uchar(jpeg[changed]) == 0x55 ? 0x2A : 0x55);
    return jpeg;
}

QByteArray progressiveRepeatingScan(const QImage& picture, int scan, int times) {
    static const jpeg_scan_info kScript[] = {
        {3, {0, 1, 2}, 0, 0, 0, 1}, {1, {0}, 1, 63, 0, 0},      {1, {1}, 1, 63, 0, 0},
        {1, {2}, 1, 63, 0, 0},      {3, {0, 1, 2}, 0, 0, 1, 0},
    };
    QByteArray jpeg = jpegOf(picture, [](jpeg_compress_struct& info) {
        info.scan_info = kScript;
        info.num_scans = int(std::size(kScript));
    });
    const ScanSpan span = scansOf(jpeg).at(size_t(scan));
    const QByteArray once = jpeg.mid(span.start, span.end - span.start);
    return jpeg.left(span.end) + once.repeated(times) + jpeg.mid(span.end);
}

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

QByteArray gifFrames(quint16 width, quint16 height, int frames, quint16 lastWidth,
                     quint16 lastHeight) {
    const QByteArray oneByOne = gifScreen(width, height).mid(19, 15);
    QByteArray gif = gifScreen(width, height).left(19);
    for (int i = 1; i < frames; ++i)
        gif += oneByOne;
    QByteArray last = oneByOne;
    qToLittleEndian<quint16>(lastWidth, last.data() + 5);
    qToLittleEndian<quint16>(lastHeight, last.data() + 7);
    return gif + last + ';';
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
