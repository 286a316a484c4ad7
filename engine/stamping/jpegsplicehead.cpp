#include "engine/stamping/jpegsplice.h"

#include "engine/io/picture.h"
#include "support/failure.h"

#include <QBuffer>

#include <algorithm>

namespace {
constexpr int kStartOfScan = 0xDA;
constexpr int kEndOfImage = 0xD9;

int markerOf(const QByteArray& segment) {
    return segment.size() >= 2 ? uchar(segment[1]) : -1;
}
} // namespace

JpegHead::JpegHead(const QString& path) {
    ScanReader reader(path, 0);
    for (;;) {
        // A head that ends early or is no JPEG at all is left to libjpeg, which names the fault.
        const QByteArray segment = reader.segment();
        bytes_ += segment;
        const int marker = markerOf(segment);
        if (marker < 0 || marker == kStartOfScan || marker == kEndOfImage)
            break;
    }
    scanOffset_ = reader.offset();
    reader_.run([&] {
        jpeg_mem_src(&reader_.info, reinterpret_cast<const unsigned char*>(bytes_.constData()),
                     static_cast<unsigned long>(bytes_.size()));
        jpeg_read_header(&reader_.info, TRUE);
    });
}

bool JpegHead::spliceable() const {
    const jpeg_decompress_struct& info = reader_.info;
    // A grey picture's scan codes its one component a block at a time: an MCU of one block when
    // the component is not sampled down, which it never is.
    const bool grey = info.num_components == 1 && info.comp_info[0].h_samp_factor == 1 &&
                      info.comp_info[0].v_samp_factor == 1;
    if (info.progressive_mode || info.arith_code || info.data_precision != 8 ||
        (info.num_components != 3 && !grey) || info.comps_in_scan != info.num_components)
        return false;
    int blocks = 0;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& component = info.comp_info[c];
        const JHUFF_TBL* dc = info.dc_huff_tbl_ptrs[component.dc_tbl_no];
        if (info.cur_comp_info[c] != &component || !dc ||
            !info.ac_huff_tbl_ptrs[component.ac_tbl_no])
            return false;
        // A DC difference of more than 15 bits, which libjpeg refuses as a bogus table: the
        // picture is left to it, which names the fault.
        int symbols = 0;
        for (int length = 1; length <= 16; ++length)
            symbols += dc->bits[length];
        if (std::any_of(dc->huffval, dc->huffval + std::min(symbols, 256),
                        [](UINT8 size) { return size > 15; }))
            return false;
        blocks += component.h_samp_factor * component.v_samp_factor;
    }
    return blocks <= D_MAX_BLOCKS_IN_MCU;
}

bool JpegHead::zeroInQuantisation() const {
    const jpeg_decompress_struct& info = reader_.info;
    for (int c = 0; c < info.num_components; ++c) {
        const JQUANT_TBL* table = info.quant_tbl_ptrs[info.comp_info[c].quant_tbl_no];
        if (table &&
            std::find(table->quantval, table->quantval + DCTSIZE2, 0) != table->quantval + DCTSIZE2)
            return true;
    }
    return false;
}

QByteArray ReadJpegThroughEnd(const QString& path) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    ScanReader reader(path, 0);
    ScanWriter writer(buffer);
    for (qint64 last = -1; reader.offset() != last;) {
        last = reader.offset();
        const QByteArray segment = reader.segment();
        writer.raw(reinterpret_cast<const uint8_t*>(segment.constData()), size_t(segment.size()));
        const int marker = markerOf(segment);
        if (marker == kEndOfImage)
            break;
        // After a scan's header come its data; bytes where no marker stands go as they are too,
        // for libjpeg to judge.
        if ((marker < 0 || marker == kStartOfScan) && reader.copyToMarker(&writer) < 0)
            break;
    }
    writer.flush();
    return bytes;
}
