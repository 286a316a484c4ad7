// A JPEG held as its quantised blocks: an area decoded and replaced, every other block kept.
#include "engine/stamping/jpegblocks.h"

#include "engine/io/picture.h"
#include "support/failure.h"

#include <QBuffer>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace {

int divideRoundingUp(int value, int divisor) {
    return (value + divisor - 1) / divisor;
}

// The blocks of one component that hold `pixels` pixels of the picture, and the same rounded
// up to whole MCUs, as libjpeg counts and stores them.
int blocksFor(int pixels, int sampling, int maxSampling) {
    return divideRoundingUp(pixels * sampling, DCTSIZE * maxSampling);
}
int storedBlocksFor(int pixels, int sampling, int maxSampling) {
    return divideRoundingUp(blocksFor(pixels, sampling, maxSampling), sampling) * sampling;
}

} // namespace

// Which 8 x 8 cells of pixels differ between the two pictures of one size, row by row.
struct ChangedCells {
    int wide = 0;
    int high = 0;
    std::vector<bool> cells;

    bool any(int left, int top, int width, int height) const {
        for (int y = top; y < std::min(top + height, high); ++y)
            for (int x = left; x < std::min(left + width, wide); ++x)
                if (cells[size_t(y * wide + x)])
                    return true;
        return false;
    }
};

namespace {

ChangedCells changedCells(const QImage& after, const QImage& before) {
    ChangedCells changed;
    const int width = after.width();
    changed.wide = divideRoundingUp(width, DCTSIZE);
    changed.high = divideRoundingUp(after.height(), DCTSIZE);
    changed.cells.assign(size_t(changed.wide * changed.high), false);
    for (int y = 0; y < after.height(); ++y) {
        const auto* a = reinterpret_cast<const QRgb*>(after.constScanLine(y));
        const auto* b = reinterpret_cast<const QRgb*>(before.constScanLine(y));
        const size_t cellRow = size_t(y / DCTSIZE * changed.wide);
        // Decoded pixels are opaque, and the mark is stamped onto them as opaque pixels: whole
        // values compare as colours.
        for (int x = 0; x < width; x += DCTSIZE) {
            const size_t count = size_t(std::min(DCTSIZE, width - x));
            if (std::memcmp(a + x, b + x, count * sizeof(QRgb)) != 0)
                changed.cells[cellRow + size_t(x / DCTSIZE)] = true;
        }
    }
    return changed;
}

QImage newRows(QSize size) {
    QImage image(size, QImage::Format_RGB32);
    if (image.isNull())
        throw Failure(SystemErrorText(ENOMEM));
    return image;
}

} // namespace

JpegBlocks::JpegBlocks(const QByteArray& file) : file_(file) {
    source_.run([&] {
        jpeg_mem_src(&source_.info, reinterpret_cast<const unsigned char*>(file_.constData()),
                     static_cast<unsigned long>(file_.size()));
        jpeg_read_header(&source_.info, TRUE);
    });
}

QSize JpegBlocks::size() const {
    return QSize(int(source_.info.image_width), int(source_.info.image_height));
}

QSize JpegBlocks::mcuSize() const {
    return QSize(DCTSIZE * source_.info.max_h_samp_factor,
                 DCTSIZE * source_.info.max_v_samp_factor);
}

void JpegBlocks::readBlocks() {
    source_.run([&] { blocks_ = jpeg_read_coefficients(&source_.info); });
}

QRect JpegBlocks::mcuArea(QRect pixels) const {
    const QRect within = pixels.intersected(QRect(QPoint(0, 0), size()));
    if (within.isEmpty())
        return {};
    const QSize mcu = mcuSize();
    const int left = within.left() / mcu.width() * mcu.width();
    const int top = within.top() / mcu.height() * mcu.height();
    const int right =
        std::min(divideRoundingUp(within.right() + 1, mcu.width()) * mcu.width(), size().width());
    const int bottom = std::min(divideRoundingUp(within.bottom() + 1, mcu.height()) * mcu.height(),
                                size().height());
    return QRect(left, top, right - left, bottom - top);
}

JBLOCKROW JpegBlocks::blockRow(int component, int row, bool writable) const {
    JBLOCKARRAY rows = nullptr;
    source_.run([&] {
        rows = source_.info.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&source_.info),
                                                    blocks_[component], JDIMENSION(row), 1,
                                                    writable ? TRUE : FALSE);
    });
    return rows[0];
}

// The blocks of the area as a JPEG of its own: decoded, its pixels are those of the picture,
// except within one chroma sample of an edge that is not the picture's, where the smooth
// upsampling of the chroma has no neighbour to take.
QByteArray JpegBlocks::blocksAsJpeg(QRect area) const {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    JpegCompressor sub(buffer);
    std::array<jvirt_barray_ptr, MAX_COMPONENTS> arrays{};
    const jpeg_decompress_struct& source = source_.info;
    sub.run([&] {
        jpeg_copy_critical_parameters(&source_.info, &sub.info);
        sub.info.image_width = JDIMENSION(area.width());
        sub.info.image_height = JDIMENSION(area.height());
        for (int c = 0; c < source.num_components; ++c) {
            const jpeg_component_info& component = source.comp_info[c];
            arrays[size_t(c)] = sub.info.mem->request_virt_barray(
                reinterpret_cast<j_common_ptr>(&sub.info), JPOOL_IMAGE, FALSE,
                JDIMENSION(storedBlocksFor(area.width(), component.h_samp_factor,
                                           source.max_h_samp_factor)),
                JDIMENSION(storedBlocksFor(area.height(), component.v_samp_factor,
                                           source.max_v_samp_factor)),
                JDIMENSION(component.v_samp_factor));
        }
        jpeg_write_coefficients(&sub.info, arrays.data());
    });
    for (int c = 0; c < source.num_components; ++c)
        copyBlocks(area, c, sub, arrays[size_t(c)]);
    sub.run([&] { jpeg_finish_compress(&sub.info); });
    return bytes;
}

// Copies the stored blocks of one component of the area into the array of a JPEG of the area.
void JpegBlocks::copyBlocks(QRect area, int c, JpegCompressor& sub, jvirt_barray_ptr array) const {
    const jpeg_decompress_struct& source = source_.info;
    const jpeg_component_info& component = source.comp_info[c];
    const int left = area.left() / (DCTSIZE * source.max_h_samp_factor) * component.h_samp_factor;
    const int top = area.top() / (DCTSIZE * source.max_v_samp_factor) * component.v_samp_factor;
    const int wide =
        storedBlocksFor(area.width(), component.h_samp_factor, source.max_h_samp_factor);
    const int high =
        storedBlocksFor(area.height(), component.v_samp_factor, source.max_v_samp_factor);
    for (int row = 0; row < high; ++row) {
        const JBLOCKROW from = blockRow(c, top + row, false) + left;
        sub.run([&] {
            JBLOCKARRAY to = sub.info.mem->access_virt_barray(
                reinterpret_cast<j_common_ptr>(&sub.info), array, JDIMENSION(row), 1, TRUE);
            std::memcpy(to[0], from, size_t(wide) * sizeof(JBLOCK));
        });
    }
}

QImage JpegBlocks::decode(QRect area) const {
    // One MCU more on every side inside the picture gives the chroma upsampling of the area's
    // own pixels the neighbours it has in the whole picture.
    const QSize mcu = mcuSize();
    const QRect around = area.adjusted(-mcu.width(), -mcu.height(), mcu.width(), mcu.height())
                             .intersected(QRect(QPoint(0, 0), size()));
    const QByteArray bytes = blocksAsJpeg(around);
    QImage pixels = newRows(around.size());
    uchar* const bits = pixels.bits();
    const qsizetype bytesPerLine = pixels.bytesPerLine();
    JpegDecompressor reader;
    reader.run([&] {
        jpeg_mem_src(&reader.info, reinterpret_cast<const unsigned char*>(bytes.constData()),
                     static_cast<unsigned long>(bytes.size()));
        jpeg_read_header(&reader.info, TRUE);
        // The options of the picture reader: the same decoder gives the same pixels.
        reader.info.out_color_space = kRowColorSpace;
        jpeg_start_decompress(&reader.info);
        while (reader.info.output_scanline < reader.info.output_height) {
            JSAMPROW row = bits + qsizetype(reader.info.output_scanline) * bytesPerLine;
            jpeg_read_scanlines(&reader.info, &row, 1);
        }
        jpeg_finish_decompress(&reader.info);
    });
    return pixels.copy(area.translated(-around.topLeft()));
}

// The area alone, as an encoder of the whole picture codes it: an MCU's blocks depend on its own
// pixels only, and the area starts on an MCU's corner.
QByteArray JpegBlocks::encode(QRect area, const QImage& pixels) const {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    JpegCompressor encoder(buffer);
    const uchar* const bits = pixels.constBits();
    const qsizetype bytesPerLine = pixels.bytesPerLine();
    encoder.run([&] {
        jpeg_copy_critical_parameters(&source_.info, &encoder.info);
        encoder.info.image_width = JDIMENSION(area.width());
        encoder.info.image_height = JDIMENSION(area.height());
        encoder.info.in_color_space = kRowColorSpace;
        encoder.info.input_components = 4;
        jpeg_start_compress(&encoder.info, TRUE);
        while (encoder.info.next_scanline < encoder.info.image_height) {
            JSAMPROW row =
                const_cast<uchar*>(bits + qsizetype(encoder.info.next_scanline) * bytesPerLine);
            jpeg_write_scanlines(&encoder.info, &row, 1);
        }
        jpeg_finish_compress(&encoder.info);
    });
    return bytes;
}

void JpegBlocks::replace(QRect area, const QImage& pixels, const QImage& before) {
    const ChangedCells changed = changedCells(pixels, before);
    if (std::none_of(changed.cells.begin(), changed.cells.end(), [](bool cell) { return cell; }))
        return;
    const QByteArray bytes = encode(area, pixels);
    JpegDecompressor encoded;
    jvirt_barray_ptr* arrays = nullptr;
    encoded.run([&] {
        jpeg_mem_src(&encoded.info, reinterpret_cast<const unsigned char*>(bytes.constData()),
                     static_cast<unsigned long>(bytes.size()));
        jpeg_read_header(&encoded.info, TRUE);
        arrays = jpeg_read_coefficients(&encoded.info);
    });
    takeBlocks(area, encoded, arrays, changed);
}

void JpegBlocks::takeBlocks(QRect area, JpegDecompressor& encoded, jvirt_barray_ptr* arrays,
                            const ChangedCells& changed) {
    const jpeg_decompress_struct& source = source_.info;
    for (int c = 0; c < source.num_components; ++c) {
        const jpeg_component_info& component = source.comp_info[c];
        // The 8 x 8 cells of pixels one block of this component covers.
        const int cellsWide = source.max_h_samp_factor / component.h_samp_factor;
        const int cellsHigh = source.max_v_samp_factor / component.v_samp_factor;
        const int left = area.left() / DCTSIZE / cellsWide;
        const int top = area.top() / DCTSIZE / cellsHigh;
        const jpeg_component_info& coded = encoded.info.comp_info[c];
        for (int row = 0; row < int(coded.height_in_blocks); ++row) {
            JBLOCKROW from = nullptr;
            encoded.run([&] {
                from = encoded.info.mem->access_virt_barray(
                    reinterpret_cast<j_common_ptr>(&encoded.info), arrays[c], JDIMENSION(row), 1,
                    FALSE)[0];
            });
            JBLOCKROW to = nullptr;
            for (int column = 0; column < int(coded.width_in_blocks); ++column) {
                if (!changed.any(column * cellsWide, row * cellsHigh, cellsWide, cellsHigh))
                    continue;
                if (!to)
                    to = blockRow(c, top + row, true) + left;
                std::copy_n(from[column], DCTSIZE2, to[column]);
            }
        }
    }
}

namespace {
// The scans of a JPEG as its SOS segments name them, the components by their place in the frame;
// nothing when a segment does not read as one.
std::vector<jpeg_scan_info> scansOf(const QByteArray& file, const jpeg_decompress_struct& info) {
    const auto byte = [&](qsizetype i) {
        return i < file.size() ? uchar(file[i]) : 0xD9;
    };
    std::vector<jpeg_scan_info> scans;
    qsizetype at = 2; // after SOI
    while (at + 4 <= file.size() && byte(at) == 0xFF && byte(at + 1) != 0xD9) {
        const qsizetype body = at + 4;
        const qsizetype end = at + 2 + (byte(at + 2) << 8 | byte(at + 3));
        if (byte(at + 1) == 0xDA) {
            jpeg_scan_info scan{};
            scan.comps_in_scan = byte(body);
            if (scan.comps_in_scan < 1 || scan.comps_in_scan > MAX_COMPS_IN_SCAN)
                return {};
            for (int i = 0; i < scan.comps_in_scan; ++i) {
                const int id = byte(body + 1 + 2 * i);
                int index = 0;
                while (index < info.num_components && info.comp_info[index].component_id != id)
                    ++index;
                if (index == info.num_components)
                    return {};
                scan.component_index[i] = index;
            }
            const qsizetype after = body + 1 + 2 * scan.comps_in_scan;
            scan.Ss = byte(after);
            scan.Se = byte(after + 1);
            scan.Ah = byte(after + 2) >> 4;
            scan.Al = byte(after + 2) & 0x0F;
            scans.push_back(scan);
            // The coded data runs to the next marker that is neither a stuffed 0xFF nor a restart.
            at = end;
            while (at + 1 < file.size() &&
                   !(byte(at) == 0xFF && byte(at + 1) != 0 && (byte(at + 1) & 0xF8) != 0xD0))
                ++at;
            continue;
        }
        at = end;
    }
    return scans;
}
} // namespace

void JpegBlocks::write(QIODevice& device, const PictureMetadata& metadata) {
    const JpegMarkers markers = markersFor(metadata);
    // A progressive picture keeps its own scans, also where they leave bits of some coefficients
    // out: a complete progression would show those bits, changing pixels far from the mark.
    std::vector<jpeg_scan_info> scans;
    if (source_.info.progressive_mode)
        scans = scansOf(file_, source_.info);
    JpegCompressor output(device);
    output.run([&] {
        jpeg_copy_critical_parameters(&source_.info, &output.info);
        keepJpegCoding(source_.info, output.info);
        if (!scans.empty()) {
            output.info.scan_info = scans.data();
            output.info.num_scans = int(scans.size());
        }
        jpeg_write_coefficients(&output.info, blocks_);
        writeJpegMarkers(output.info, markers, metadata.icc);
        jpeg_finish_compress(&output.info);
    });
}
