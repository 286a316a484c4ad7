#include "engine/stamping/jpegsplice.h"

#include "engine/io/picture.h"
#include "support/failure.h"

#include <QBuffer>

#include <algorithm>
#include <bit>

namespace {
constexpr int kRestart0 = 0xD0;
constexpr int kEndOfBlock = 0x00;
constexpr int kSixteenZeros = 0xF0;

int magnitudeBits(int value) {
    return int(std::bit_width(unsigned(value < 0 ? -value : value)));
}

// Which symbols the coded-anew MCUs need from each table, by the table's slot.
struct SymbolsNeeded {
    const jpeg_decompress_struct& info;
    std::array<std::array<bool, 256>, NUM_HUFF_TBLS> dc{}, ac{};
    bool beyondTables = false;
    void dcSymbol(int c, int symbol) {
        // libjpeg takes no DC category above 15.
        beyondTables = beyondTables || symbol > 15;
        dc[size_t(info.comp_info[c].dc_tbl_no)][size_t(symbol & 0xFF)] = true;
    }
    void acSymbol(int c, int symbol) {
        ac[size_t(info.comp_info[c].ac_tbl_no)][size_t(symbol)] = true;
    }
    void bits(int, int) {}
};

} // namespace

// Codes the symbols into the copy's data.
struct JpegSplice::Coder {
    ScanWriter& writer;
    std::vector<HuffmanEncoding> dc, ac; // by component
    void dcSymbol(int c, int symbol) {
        writer.put(dc[size_t(c)].code[size_t(symbol)], dc[size_t(c)].length[size_t(symbol)]);
    }
    void acSymbol(int c, int symbol) {
        writer.put(ac[size_t(c)].code[size_t(symbol)], ac[size_t(c)].length[size_t(symbol)]);
    }
    void bits(int value, int size) {
        if (size > 0)
            writer.put(uint32_t(value < 0 ? value - 1 : value) & ((1u << size) - 1), size);
    }
};

namespace {
void writeAll(QIODevice& device, const QByteArray& bytes) {
    if (device.write(bytes) != bytes.size())
        throw Failure(device.errorString().isEmpty() ? SystemErrorText(EIO) : device.errorString());
}

void put16(QByteArray& bytes, qsizetype at, int value) {
    bytes[at] = char(value >> 8);
    bytes[at + 1] = char(value & 0xFF);
}
} // namespace

template <typename Sink>
void JpegSplice::encodeMcu(Sink& sink, const JCOEF* blocks, std::array<int, 4>& dc) const {
    for (size_t b = 0; b < blockComponent_.size(); ++b) {
        const int c = blockComponent_[b];
        const JCOEF* block = blocks + b * DCTSIZE2;
        const int difference = block[0] - dc[size_t(c)];
        dc[size_t(c)] = block[0];
        sink.dcSymbol(c, magnitudeBits(difference));
        sink.bits(difference, magnitudeBits(difference));
        // Which coefficients are not 0, in the scan's order: the runs of zeros between them are
        // counted at once rather than tested one by one.
        uint64_t set = 0;
        for (int k = 1; k < DCTSIZE2; ++k)
            set |= uint64_t(block[kZigzagPlace[size_t(k)]] != 0) << k;
        int last = 0;
        while (set != 0) {
            const int k = std::countr_zero(set);
            set &= set - 1;
            int zeros = k - last - 1;
            for (; zeros > 15; zeros -= 16)
                sink.acSymbol(c, kSixteenZeros);
            const int value = block[kZigzagPlace[size_t(k)]];
            const int size = magnitudeBits(value);
            sink.acSymbol(c, zeros << 4 | size);
            sink.bits(value, size);
            last = k;
        }
        if (last < DCTSIZE2 - 1)
            sink.acSymbol(c, kEndOfBlock);
    }
}

// Codes an MCU anew as it is read, symbol by symbol, exactly as encodeMcu codes its blocks: the
// symbols of its values with the copy's codes and their value bits as they are, its DC values
// against those before it in the copy, and the zeros after its last value as one end of block
// however the picture coded them. `stored` holds the DC values before it in the picture.
void JpegSplice::recodeMcu(ScanReader& reader, Coder& coder, std::array<int, 4>& stored,
                           std::array<int, 4>& dc) const {
    for (size_t b = 0; b < blockComponent_.size(); ++b) {
        const auto c = size_t(blockComponent_[b]);
        stored[c] += reader.value(reader.decode(dcDecoding_[c]));
        const int difference = stored[c] - dc[c];
        dc[c] = stored[c];
        coder.dcSymbol(int(c), magnitudeBits(difference));
        coder.bits(difference, magnitudeBits(difference));
        int last = 0;
        for (int k = 1; k < DCTSIZE2; ++k) {
            const int symbol = reader.decode(acDecoding_[c]);
            const int run = symbol >> 4, size = symbol & 0x0F;
            if (size == 0) {
                if (run != 15)
                    break;
                k += 15;
                continue;
            }
            // A run beyond the block puts its value last, as libjpeg's decoder does.
            k = std::min(k + run, DCTSIZE2 - 1);
            const uint32_t bits = reader.take(size);
            for (int zeros = k - last - 1; zeros > 15; zeros -= 16)
                coder.acSymbol(int(c), kSixteenZeros);
            coder.acSymbol(int(c), (k - last - 1) % 16 << 4 | size);
            coder.writer.put(bits, size);
            last = k;
        }
        if (last < DCTSIZE2 - 1)
            coder.acSymbol(int(c), kEndOfBlock);
    }
}

// The changed MCUs are coded anew, and so is the MCU after each, whose first block of each
// component has its DC value coded against a changed one; after a restart it is coded alone.
void JpegSplice::planRecoding() {
    for (size_t i = 0; i < slots_.size(); ++i) {
        if (!slots_[i].changed)
            continue;
        recoded_.push_back(i);
        const qint64 after = slots_[i].mcu + 1;
        if (after < mcus_ && after % interval_ != 0)
            recoded_.push_back(size_t(&slotAt(after) - slots_.data()));
    }
    std::sort(recoded_.begin(), recoded_.end());
    recoded_.erase(std::unique(recoded_.begin(), recoded_.end()), recoded_.end());
}

bool JpegSplice::completeTables() {
    SymbolsNeeded needs{info_};
    std::array<int, 4> dc{};
    for (size_t i = 0; i < recoded_.size(); ++i) {
        const Slot& slot = slots_[recoded_[i]];
        // An MCU to code anew whose blocks were not kept (after a changed one that ends the
        // kept area where it wraps into the next row): the picture goes through all its blocks.
        if (slot.blocks < 0)
            return false;
        if (i == 0 || slots_[recoded_[i - 1]].mcu + 1 != slot.mcu || slot.mcu % interval_ == 0)
            dc = slot.dc;
        encodeMcu(needs, &blocks_[size_t(slot.blocks)], dc);
    }
    if (needs.beyondTables)
        return false;
    for (size_t t = 0; t < NUM_HUFF_TBLS; ++t)
        for (auto [table, needed] :
             {std::pair{&dcTables_[t], &needs.dc[t]}, {&acTables_[t], &needs.ac[t]}}) {
            if (completeKeepingCodes(*table, *needed))
                continue;
            // A full table: the MCUs that use its longest codes are coded anew as well.
            const int from = tooManyDeep_ ? 0 : completeMovingLongest(*table, *needed, kDeepCode);
            if (from == 0)
                return false;
            recodeFrom_ = std::min(recodeFrom_, from);
        }
    return true;
}

// The head libjpeg writes for the copy, exactly as the blocks' own way writes it, with the
// tables the splice codes with: libjpeg writes it for a picture of one MCU, whose size the head
// then takes from the picture.
QByteArray JpegSplice::headerBytes(const PictureMetadata& metadata) const {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    const JpegMarkers markers = markersFor(metadata);
    JpegCompressor output(buffer);
    std::array<jvirt_barray_ptr, MAX_COMPONENTS> arrays{};
    auto& source = const_cast<jpeg_decompress_struct&>(info_);
    output.run([&] {
        jpeg_copy_critical_parameters(&source, &output.info);
        keepJpegCoding(source, output.info);
        output.info.image_width = JDIMENSION(DCTSIZE * info_.max_h_samp_factor);
        output.info.image_height = JDIMENSION(DCTSIZE * info_.max_v_samp_factor);
        for (int c = 0; c < info_.num_components; ++c) {
            const jpeg_component_info& component = info_.comp_info[c];
            *output.info.dc_huff_tbl_ptrs[component.dc_tbl_no] =
                dcTables_[size_t(component.dc_tbl_no)];
            *output.info.ac_huff_tbl_ptrs[component.ac_tbl_no] =
                acTables_[size_t(component.ac_tbl_no)];
            output.info.dc_huff_tbl_ptrs[component.dc_tbl_no]->sent_table = FALSE;
            output.info.ac_huff_tbl_ptrs[component.ac_tbl_no]->sent_table = FALSE;
            arrays[size_t(c)] = output.info.mem->request_virt_barray(
                reinterpret_cast<j_common_ptr>(&output.info), JPOOL_IMAGE, TRUE,
                JDIMENSION(component.h_samp_factor), JDIMENSION(component.v_samp_factor),
                JDIMENSION(component.v_samp_factor));
        }
        jpeg_write_coefficients(&output.info, arrays.data());
        writeJpegMarkers(output.info, markers, metadata.icc);
        jpeg_finish_compress(&output.info);
    });
    return sizedHeader(bytes);
}

// The head up to the end of the scan's header, with the picture's size in its frame header.
QByteArray JpegSplice::sizedHeader(QByteArray bytes) const {
    for (qsizetype i = 2; i + 4 <= bytes.size();) {
        const int marker = uchar(bytes[i + 1]);
        const int length = uchar(bytes[i + 2]) << 8 | uchar(bytes[i + 3]);
        const bool frame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            put16(bytes, i + 5, int(info_.image_height));
            put16(bytes, i + 7, int(info_.image_width));
        }
        if (marker == 0xDA)
            return bytes.left(i + 2 + length);
        i += 2 + length;
    }
    return bytes;
}

void JpegSplice::write(QIODevice& device, const PictureMetadata& metadata) {
    writeAll(device, headerBytes(metadata));
    ScanReader reader(path_, head_.scanOffset());
    ScanWriter writer(device);
    Coder coder{writer, {}, {}};
    for (int c = 0; c < info_.num_components; ++c) {
        coder.dc.emplace_back(dcTables_[size_t(info_.comp_info[c].dc_tbl_no)]);
        coder.ac.emplace_back(acTables_[size_t(info_.comp_info[c].ac_tbl_no)]);
    }
    size_t next = 0, nextDeep = 0, ended = 0;
    for (qint64 first = 0, k = 0; first < mcus_; first += interval_, ++k) {
        const qint64 end = std::min(first + interval_, mcus_);
        reader.startInterval();
        while (nextDeep < deep_.size() && deep_[nextDeep].longest < recodeFrom_)
            ++nextDeep;
        const bool deepHere = nextDeep < deep_.size() && deep_[nextDeep].mcu < end;
        if (!deepHere && (next >= recoded_.size() || slots_[recoded_[next]].mcu >= end)) {
            // The interval as it is, with its restart marker.
            reader.copyToMarker(&writer);
            continue;
        }
        while (intervalEnds_[ended].first != k)
            ++ended;
        writeInterval(reader, coder, end, intervalEnds_[ended].second, next, nextDeep);
        reader.copyToMarker(nullptr);
        const uint8_t restart[] = {0xFF, uint8_t(kRestart0 + k % 8)};
        if (end < mcus_)
            writer.raw(restart, 2);
    }
    const uint8_t endOfImage[] = {0xFF, 0xD9};
    writer.raw(endOfImage, 2);
    writer.flush();
}

// Copies the interval's bits but for the MCUs coded anew: the changed ones and those after them
// from their kept blocks, the ones with codes that changed as they are decoded.
void JpegSplice::writeInterval(ScanReader& reader, Coder& coder, qint64 end, qint64 endBits,
                               size_t& next, size_t& nextDeep) {
    std::array<int, 4> dc{};
    for (qint64 after = -1;;) {
        while (nextDeep < deep_.size() && deep_[nextDeep].longest < recodeFrom_)
            ++nextDeep;
        const qint64 kept = next < recoded_.size() ? slots_[recoded_[next]].mcu : mcus_;
        const qint64 mcu = std::min(kept, nextDeep < deep_.size() ? deep_[nextDeep].mcu : mcus_);
        if (mcu >= end)
            break;
        const Slot* slot = kept == mcu ? &slots_[recoded_[next++]] : nullptr;
        const Deep* deep =
            nextDeep < deep_.size() && deep_[nextDeep].mcu == mcu ? &deep_[nextDeep++] : nullptr;
        // After an MCU coded anew the reader stands at this one; the DC values go on from there.
        if (mcu != after) {
            coder.writer.copy(reader, (slot ? slot->position : deep->position) - reader.position());
            dc = slot ? slot->dc : deep->dc;
        }
        if (slot) {
            encodeMcu(coder, &blocks_[size_t(slot->blocks)], dc);
            reader.skip((mcu + 1 < end ? slotAt(mcu + 1).position : endBits) - reader.position());
        } else {
            std::array<int, 4> stored = deep->dc;
            recodeMcu(reader, coder, stored, dc);
        }
        after = mcu + 1;
    }
    coder.writer.copy(reader, endBits - reader.position());
    coder.writer.pad();
}
