#include "tests/codecsamples.h"

#include <QBuffer>
#include <QColorSpace>
#include <QCryptographicHash>
#include <QDataStream>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QtEndian>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <exiv2/exiv2.hpp>
#include <gif_lib.h>
#include <jpeglib.h>

#include <sys/resource.h>

QImage photoLike(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    quint32 noise = 12345;
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            noise = noise * 1103515245u + 12345u;
            const int grain = int(noise >> 28) - 8;
            const int edge = (x / 13 + y / 11) % 2 ? 60 : 0;
            line[x] = qRgb(qBound(0, x * 255 / width + grain, 255),
                           qBound(0, y * 255 / height + edge + grain, 255),
                           qBound(0, 200 - edge * 2 + grain, 255));
        }
    }
    return image;
}

namespace {

struct JpegMemory {
    unsigned char* data = nullptr;
    unsigned long size = 0;
    ~JpegMemory() { std::free(data); }
};

// Adobe's inverted CMYK, as Photoshop stores it: each channel the amount of light kept.
QByteArray adobeCmykRow(const QRgb* line, int width) {
    QByteArray row(width * 4, '\0');
    for (int x = 0; x < width; ++x) {
        const int k = std::max({qRed(line[x]), qGreen(line[x]), qBlue(line[x]), 1});
        row[4 * x] = char(qRed(line[x]) * 255 / k);
        row[4 * x + 1] = char(qGreen(line[x]) * 255 / k);
        row[4 * x + 2] = char(qBlue(line[x]) * 255 / k);
        row[4 * x + 3] = char(k);
    }
    return row;
}

void setInput(jpeg_compress_struct& info, JpegKind kind) {
    info.input_components = kind == JpegKind::Gray ? 1 : 4;
    info.in_color_space = kind == JpegKind::Gray        ? JCS_GRAYSCALE
                          : kind == JpegKind::AdobeCmyk ? JCS_CMYK
                                                        : JCS_EXT_BGRX;
}

} // namespace

QByteArray makeJpeg(const QImage& source, int hSampling, int vSampling, int quality,
                    JpegKind kind) {
    const QImage image = source.convertToFormat(kind == JpegKind::Gray ? QImage::Format_Grayscale8
                                                                       : QImage::Format_RGB32);
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    JpegMemory memory;
    jpeg_mem_dest(&info, &memory.data, &memory.size);
    info.image_width = JDIMENSION(image.width());
    info.image_height = JDIMENSION(image.height());
    setInput(info, kind);
    jpeg_set_defaults(&info);
    if (kind == JpegKind::AdobeCmyk)
        jpeg_set_colorspace(&info, JCS_YCCK);
    jpeg_set_quality(&info, quality, TRUE);
    // Black is sampled as the luminance is, as Photoshop stores it.
    for (int c : {0, kind == JpegKind::AdobeCmyk ? 3 : 0}) {
        info.comp_info[c].h_samp_factor = hSampling;
        info.comp_info[c].v_samp_factor = vSampling;
    }
    if (kind == JpegKind::Progressive)
        jpeg_simple_progression(&info);
    info.arith_code = kind == JpegKind::Arithmetic;
    info.restart_in_rows = kind == JpegKind::Restarts ? 1 : 0;
    info.optimize_coding = kind == JpegKind::Optimised;
    jpeg_start_compress(&info, TRUE);
    for (int y = 0; y < image.height(); ++y) {
        QByteArray cmyk;
        if (kind == JpegKind::AdobeCmyk)
            cmyk =
                adobeCmykRow(reinterpret_cast<const QRgb*>(image.constScanLine(y)), image.width());
        JSAMPROW row = kind == JpegKind::AdobeCmyk ? reinterpret_cast<JSAMPROW>(cmyk.data())
                                                   : const_cast<uchar*>(image.constScanLine(y));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return QByteArray(reinterpret_cast<const char*>(memory.data), qsizetype(memory.size));
}

namespace {

struct ReadErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

[[noreturn]] void leaveRead(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ReadErrors*>(info->err)->jump, 1);
}

void copyBlocks(jpeg_decompress_struct& info, jvirt_barray_ptr* arrays, JpegBlocksRead& blocks) {
    blocks.mcu = QSize(DCTSIZE * info.max_h_samp_factor, DCTSIZE * info.max_v_samp_factor);
    blocks.progressive = info.progressive_mode;
    blocks.arithmetic = info.arith_code;
    blocks.restartInterval = info.restart_interval;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& component = info.comp_info[c];
        JpegBlocksRead::Component& k = blocks.components.emplace_back();
        k.h = component.h_samp_factor;
        k.v = component.v_samp_factor;
        k.wide = int(component.width_in_blocks);
        k.high = int(component.height_in_blocks);
        k.coefficients.resize(size_t(k.wide) * size_t(k.high) * DCTSIZE2);
        for (int y = 0; y < k.high; ++y) {
            const JBLOCKARRAY row = info.mem->access_virt_barray(
                reinterpret_cast<j_common_ptr>(&info), arrays[c], JDIMENSION(y), 1, FALSE);
            std::copy_n(row[0][0], size_t(k.wide) * DCTSIZE2,
                        k.coefficients.begin() + qsizetype(y) * k.wide * DCTSIZE2);
        }
    }
}

bool readBlocksInto(const QByteArray& file, JpegBlocksRead& blocks) {
    ReadErrors errors{};
    jpeg_decompress_struct info{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = leaveRead;
    const bool read = setjmp(errors.jump) == 0;
    if (read) {
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(file.constData()),
                     static_cast<unsigned long>(file.size()));
        jpeg_read_header(&info, TRUE);
        copyBlocks(info, jpeg_read_coefficients(&info), blocks);
    }
    jpeg_destroy_decompress(&info);
    return read;
}

} // namespace

JpegBlocksRead readJpegBlocks(const QString& path) {
    JpegBlocksRead blocks;
    if (!readBlocksInto(readFile(path), blocks))
        blocks.components.clear();
    return blocks;
}

std::array<quint16, 64> standardTable(int quality, int slot) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    info.in_color_space = JCS_RGB;
    info.input_components = 3;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    std::array<quint16, 64> table{};
    std::copy_n(info.quant_tbl_ptrs[slot]->quantval, 64, table.begin());
    jpeg_destroy_compress(&info);
    return table;
}

QByteArray sampleIccProfile() {
    return QColorSpace(QColorSpace::SRgb).iccProfile();
}

void addSampleMetadata(const QString& path) {
    auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    image->readMetadata();
    Exiv2::ExifData& exif = image->exifData();
    exif["Exif.Image.Artist"] = SampleMetadata::artist;
    exif["Exif.Image.Copyright"] = SampleMetadata::copyright;
    exif["Exif.Image.Make"] = SampleMetadata::make;
    exif["Exif.Image.Orientation"] = uint16_t(6);
    exif["Exif.Photo.PixelXDimension"] = uint32_t(4000);
    exif["Exif.Photo.PixelYDimension"] = uint32_t(3000);
    exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
    exif["Exif.GPSInfo.GPSLatitude"] = "41/1 24/1 30/1";
    const QByteArray thumbnail = makeJpeg(photoLike(16, 12), 2, 2);
    Exiv2::ExifThumb(exif).setJpegThumbnail(
        reinterpret_cast<const Exiv2::byte*>(thumbnail.constData()), long(thumbnail.size()),
        Exiv2::URational(72, 1), Exiv2::URational(72, 1), 2);
    image->xmpData()["Xmp.dc.creator"] = SampleMetadata::creator;
    image->xmpData()["Xmp.tiff.Orientation"] = "6";
    image->iptcData()["Iptc.Application2.Byline"] = SampleMetadata::byline;
    const QByteArray iccBytes = sampleIccProfile();
    Exiv2::DataBuf icc(reinterpret_cast<const Exiv2::byte*>(iccBytes.constData()),
                       long(iccBytes.size()));
    image->setIccProfile(icc, true);
    image->writeMetadata();
}

QByteArray makeRle8Bmp(const QImage& grayIndices) {
    const QImage image = grayIndices.convertToFormat(QImage::Format_Grayscale8);
    QByteArray pixels;
    for (int y = image.height() - 1; y >= 0; --y) { // bottom row first
        const uchar* line = image.constScanLine(y);
        for (int x = 0; x < image.width();) {
            int run = 1;
            while (x + run < image.width() && run < 255 && line[x + run] == line[x])
                ++run;
            pixels += char(run);
            pixels += char(line[x]);
            x += run;
        }
        pixels += QByteArray("\0\0", 2); // end of line
    }
    pixels += QByteArray("\0\1", 2); // end of picture
    constexpr quint32 kPixelOffset = 14 + 40 + 256 * 4;
    QByteArray file;
    QDataStream out(&file, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("BM", 2);
    out << quint32(kPixelOffset + pixels.size()) << quint32(0) << kPixelOffset;
    out << quint32(40) << qint32(image.width()) << qint32(image.height()) << quint16(1)
        << quint16(8) << quint32(1) << quint32(pixels.size()) << qint32(2835) << qint32(2835)
        << quint32(256) << quint32(0);
    for (int i = 0; i < 256; ++i)
        out << quint8(i) << quint8(i) << quint8(i) << quint8(0);
    out.writeRawData(pixels.constData(), int(pixels.size()));
    return file;
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint64 FullDevice::writeData(const char* data, qint64 size) {
    const qint64 room = capacity_ - written.size();
    if (room <= 0) {
        setErrorString(QString::fromLatin1(reason));
        return -1;
    }
    const qint64 taken = std::min(room, size);
    if (taken < size)
        setErrorString(QString::fromLatin1(reason));
    written.append(data, taken);
    return taken;
}

bool sameBytes(const QImage& a, const QImage& b) {
    if (a.size() != b.size() || a.format() != b.format())
        return false;
    for (int y = 0; y < a.height(); ++y)
        if (std::memcmp(a.constScanLine(y), b.constScanLine(y),
                        size_t(a.width()) * size_t(a.depth()) / 8) != 0)
            return false;
    return true;
}

double meanError(const QImage& a, const QImage& b) {
    if (a.size() != b.size())
        return 1e9;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            if (qAlpha(p) != qAlpha(q))
                sum += 1e6;
            else if (qAlpha(p) != 0)
                sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                       std::abs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * a.width() * a.height());
}

QImage readInBands(const QString& path, int band) {
    auto reader = PictureReader::open(path);
    QImage image(reader->size(), reader->hasAlpha() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    for (int y = 0; y < image.height(); y += band)
        reader->readRows(image.scanLine(y), image.bytesPerLine(),
                         std::min(band, image.height() - y));
    return image;
}

void writeInBands(QIODevice& device, PictureFormat format, const QImage& image, int band,
                  const PictureMetadata& metadata) {
    const bool alpha = image.hasAlphaChannel();
    auto writer =
        format == PictureFormat::Jpeg ? StartJpegWriter(device, image.size(), {}, metadata)
        : format == PictureFormat::Webp
            ? StartWebpWriter(device, image.size(), alpha, JpegSettings{}.quality, metadata)
            : StartPngWriter(device, image.size(), alpha, metadata);
    for (int y = 0; y < image.height(); y += band)
        writer->writeRows(image.constScanLine(y), image.bytesPerLine(),
                          std::min(band, image.height() - y));
    writer->finish();
}

QByteArray encoded(const QImage& image, PictureFormat format, const PictureMetadata& metadata,
                   const JpegSettings& jpeg) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    WritePicture(image, format, buffer, jpeg, metadata);
    return buffer.data();
}

QString exifText(const Exiv2::ExifData& exif, const char* key) {
    const auto found = exif.findKey(Exiv2::ExifKey(key));
    return found == exif.end() ? QString() : QString::fromStdString(found->toString());
}

QString xmpText(const Exiv2::XmpData& xmp, const char* key) {
    const auto found = xmp.findKey(Exiv2::XmpKey(key));
    return found == xmp.end() ? QString() : QString::fromStdString(found->toString());
}

QString iptcText(const Exiv2::IptcData& iptc, const char* key) {
    const auto found = iptc.findKey(Exiv2::IptcKey(key));
    return found == iptc.end() ? QString() : QString::fromStdString(found->toString());
}

QByteArray iccOf(Exiv2::Image& image) {
    if (!image.iccProfileDefined())
        return {};
    const Exiv2::DataBuf* icc = image.iccProfile();
    return QByteArray(reinterpret_cast<const char*>(icc->pData_), qsizetype(icc->size_));
}

PictureMetadata MetadataOf(const QByteArray& exif, const QByteArray& xmp, const QByteArray& iptc,
                           const QByteArray& icc) {
    PictureMetadata metadata;
    metadata.exif = exif;
    metadata.xmp = xmp;
    metadata.iptc = iptc;
    metadata.icc = icc;
    return metadata;
}

PictureMetadata brokenMetadata() {
    return MetadataOf(QByteArray("II*\0\x08\0\0\0\xff\xff garbage", 18),
                      QByteArray("<x:xmpmeta unclosed"), QByteArray("\x1c\x02\x50\xff\xff"),
                      sampleIccProfile());
}

QImage withTransparency(int colors) {
    QImage image = photoLike(40, 30).convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const int i = (y * image.width() + x) % colors;
            const int alpha = x < 10 ? 0 : x < 20 ? 100 : x < 30 ? 200 : 255;
            image.setPixel(x, y, qRgba(i * 7 % 256, i * 13 % 256, (i / 2) % 256, alpha));
        }
    return image;
}

QImage asGifShowsIt(const QImage& image) {
    QImage shown = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x) {
            const QRgb p = shown.pixel(x, y);
            shown.setPixel(x, y, qAlpha(p) < 128 ? 0u : (p | 0xFF000000u));
        }
    return shown;
}

QImage visible(QImage image) {
    if (image.hasAlphaChannel())
        for (int y = 0; y < image.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            std::replace_if(
                line, line + image.width(), [](QRgb p) { return qAlpha(p) == 0; }, 0u);
        }
    return image;
}

QImage readWhole(const QString& path) {
    return PictureReader::open(path)->readAll();
}

QImage qtDecode(const QString& path, bool alpha) {
    QImageReader reader(path);
    reader.setAutoTransform(false);
    return reader.read().convertToFormat(alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
}

long maxResidentKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

namespace {
ColorMapObject* gifColorMap(const QList<QRgb>& colors) {
    std::vector<GifColorType> entries;
    for (const QRgb rgb : colors)
        entries.push_back(
            {GifByteType(qRed(rgb)), GifByteType(qGreen(rgb)), GifByteType(qBlue(rgb))});
    return GifMakeMapObject(int(entries.size()), entries.data());
}

int gifToBuffer(GifFileType* gif, const GifByteType* data, int length) {
    static_cast<QByteArray*>(gif->UserData)->append(reinterpret_cast<const char*>(data), length);
    return length;
}

void putGifFrame(GifFileType* gif, const GifFrameSample& frame) {
    GraphicsControlBlock control{};
    control.DisposalMode = frame.disposal;
    control.DelayTime = frame.delay;
    control.TransparentColor = frame.transparent;
    GifByteType extension[4];
    const size_t length = EGifGCBToExtension(&control, extension);
    EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(length), extension);
    ColorMapObject* local = frame.localColors.isEmpty() ? nullptr : gifColorMap(frame.localColors);
    // giflib forgets the frame before's own table, without freeing it, when this one has none.
    if (!local && gif->Image.ColorMap) {
        GifFreeMapObject(gif->Image.ColorMap);
        gif->Image.ColorMap = nullptr;
    }
    EGifPutImageDesc(gif, frame.rect.x(), frame.rect.y(), frame.rect.width(), frame.rect.height(),
                     frame.interlaced, local);
    GifFreeMapObject(local);
    // giflib writes an interlaced frame's rows in the order they are given.
    std::vector<int> rows;
    const int height = frame.rect.height();
    if (frame.interlaced) {
        for (const auto& [start, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}})
            for (int y = start; y < height; y += step)
                rows.push_back(y);
    } else {
        for (int y = 0; y < height; ++y)
            rows.push_back(y);
    }
    for (const int y : rows)
        EGifPutLine(gif,
                    const_cast<GifPixelType*>(frame.indices.data()) +
                        size_t(y) * size_t(frame.rect.width()),
                    frame.rect.width());
}
} // namespace

QByteArray makeAnimatedGif(QSize screen, const QList<QRgb>& colors,
                           const QList<GifFrameSample>& frames, int loops) {
    QByteArray bytes;
    int error = 0;
    GifFileType* gif = EGifOpen(&bytes, gifToBuffer, &error);
    EGifSetGifVersion(gif, true);
    ColorMapObject* global = gifColorMap(colors);
    EGifPutScreenDesc(gif, screen.width(), screen.height(), 8, 0, global);
    GifFreeMapObject(global);
    if (loops >= 0) {
        const GifByteType count[] = {1, GifByteType(loops & 0xFF), GifByteType(loops >> 8)};
        EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE);
        EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0");
        EGifPutExtensionBlock(gif, 3, count);
        EGifPutExtensionTrailer(gif);
    }
    for (const GifFrameSample& frame : frames)
        putGifFrame(gif, frame);
    EGifCloseFile(gif, &error);
    return bytes;
}

QtAnimation qtFrames(const QString& path) {
    QImageReader reader(path);
    QtAnimation animation;
    for (QImage frame; reader.read(&frame);) {
        animation.frames << frame.convertToFormat(QImage::Format_ARGB32);
        animation.delays << reader.nextImageDelay();
    }
    animation.loops = reader.loopCount();
    return animation;
}

QByteArray jpegWithSegments(const QByteArray& jpeg, const QList<QPair<int, QByteArray>>& segments) {
    // After the start of image and, where there is one, the JFIF header.
    qsizetype at = 2;
    if (jpeg.size() > 6 && uchar(jpeg[2]) == 0xFF && uchar(jpeg[3]) == 0xE0)
        at += 2 + qFromBigEndian<quint16>(jpeg.constData() + 4);
    QByteArray inserted;
    for (const auto& [marker, body] : segments) {
        QByteArray head(4, '\0');
        head[0] = char(0xFF);
        head[1] = char(marker);
        qToBigEndian<quint16>(quint16(body.size() + 2), head.data() + 2);
        inserted += head + body;
    }
    return jpeg.left(at) + inserted + jpeg.mid(at);
}

QByteArray photoshopResource(quint16 id, const QByteArray& data) {
    QByteArray resource("8BIM");
    QByteArray numbers(2 + 2 + 4, '\0'); // id, an empty name padded to two bytes, size
    qToBigEndian<quint16>(id, numbers.data());
    qToBigEndian<quint32>(quint32(data.size()), numbers.data() + 4);
    resource += numbers + data;
    if (data.size() % 2)
        resource += '\0';
    return resource;
}

QByteArray photoshopSegment(const QByteArray& resources) {
    return QByteArray("Photoshop 3.0\0", 14) + resources;
}

QByteArray exifSegment(const QByteArray& exif) {
    return QByteArray("Exif\0\0", 6) + exif;
}

ExtendedXmpSample extendedXmpSample() {
    const QByteArray open = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                            "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
                            "<rdf:Description rdf:about=\"\" "
                            "xmlns:dc=\"http://purl.org/dc/elements/1.1/\"";
    const QByteArray close = "</rdf:Description></rdf:RDF></x:xmpmeta>";
    QByteArray extension = open + "><dc:subject><rdf:Bag>";
    for (int i = 0; i < ExtendedXmpSample::keywords; ++i)
        extension += "<rdf:li>" + ExtendedXmpSample::keyword(i).toLatin1() + "</rdf:li>";
    extension += "</rdf:Bag></dc:subject>" + close;
    ExtendedXmpSample sample;
    sample.guid = QCryptographicHash::hash(extension, QCryptographicHash::Md5).toHex().toUpper();
    sample.packet = "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>" + open +
                    " xmlns:xmpNote=\"http://ns.adobe.com/xmp/note/\" xmpNote:HasExtendedXMP=\"" +
                    sample.guid + "\"><dc:creator><rdf:Seq><rdf:li>" + SampleMetadata::creator +
                    "</rdf:li></rdf:Seq></dc:creator>" + close + "<?xpacket end=\"w\"?>";
    constexpr qsizetype kPart = 65000;
    for (qsizetype offset = 0; offset < extension.size(); offset += kPart) {
        QByteArray numbers(8, '\0');
        qToBigEndian<quint32>(quint32(extension.size()), numbers.data());
        qToBigEndian<quint32>(quint32(offset), numbers.data() + 4);
        sample.segments << QByteArray("http://ns.adobe.com/xmp/extension/\0", 35) + sample.guid +
                               numbers + extension.mid(offset, kPart);
    }
    return sample;
}

QByteArray jpegWithExtendedXmp(const ExtendedXmpSample& sample) {
    QList<QPair<int, QByteArray>> segments{
        {0xE1, QByteArray("http://ns.adobe.com/xap/1.0/\0", 29) + sample.packet}};
    for (const QByteArray& segment : sample.segments)
        segments.append({0xE1, segment});
    return jpegWithSegments(makeJpeg(photoLike(), 2, 2), segments);
}
