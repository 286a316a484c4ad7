#pragma once

// The entropy-coded data of a sequential Huffman-coded JPEG scan, read from a file as a stream and
// written to a device, bit by bit where it must be and byte by byte where it may. Positions are
// counted in data bits from the start of a restart interval, stuffed zero bytes left out, so that
// a first reading can tell a second where each MCU starts.

#include <QFile>
#include <QString>

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include <jpeglib.h>

class QIODevice;

// The place in a block of each coefficient in the order a scan codes them; a run past the end
// lands on the last, as libjpeg's decoder puts it.
inline constexpr std::array<uint8_t, DCTSIZE2 + 16> kZigzagPlace = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33,
    40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36,
    29, 22, 15, 23, 30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54,
    47, 55, 62, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63};

// A Huffman table made ready for decoding: the code of up to nine bits at the front of the data
// gives its symbol at once, longer codes are found by their length as libjpeg finds them.
struct HuffmanDecoding {
    explicit HuffmanDecoding(const JHUFF_TBL& table);
    std::array<uint16_t, 512> quick{}; // length << 8 | symbol; 0 for a longer code
    std::array<int32_t, 18> largest{}; // the largest code of each length, -1 when none
    std::array<int32_t, 17> offset{};  // where the symbols of each length start in `values`
    std::array<uint8_t, 256> values{};
    // For passing over AC coefficients: a code shorter than kLongCode and the value bits after
    // it, when together no longer than kSkipBits, give how many bits they take (<< 8) and how far
    // they go in the block: 64 for the end of the block. 0 for anything longer. Long codes take
    // the slow way, which notes them.
    static constexpr int kSkipBits = 12;
    static constexpr int kLongCode = 11;
    std::array<uint16_t, 1 << kSkipBits> skip{};
    // The same for as many whole symbols as the next kSkipBits bits hold, up to the end of the
    // block: the bits they take (0-3), whether the last is the end of the block (bit 4), and how
    // far they go in the block with the end of the block counted as one more (bits 5-11), which
    // tells where they may be taken together. kNoRun where no symbol fits.
    static constexpr uint16_t kNoRun = 0x7F << 5;
    std::array<uint16_t, 1 << kSkipBits> run{};

private:
    void fillRuns();
};

// A Huffman table made ready for encoding: each symbol's code and its length, 0 when it has none.
struct HuffmanEncoding {
    explicit HuffmanEncoding(const JHUFF_TBL& table);
    std::array<uint16_t, 256> code{};
    std::array<uint8_t, 256> length{};
};

// Adds a code to the table for every symbol in `needed` that has none, each of the longest length
// after the codes there are, so that every code the table had stays as it was. False, the table
// unchanged, when too few codes are left for them.
bool completeKeepingCodes(JHUFF_TBL& table, const std::array<bool, 256>& needed);
// Adds the codes when the table has no room left for them: the symbols of the longest codes short
// of the longest length, down to a length no shorter than `shortest`, take codes of the longest
// length one by one until there is room for the new ones there. Returns the shortest length whose
// codes changed, 0 when even that leaves too little room, the table then unchanged.
int completeMovingLongest(JHUFF_TBL& table, const std::array<bool, 256>& needed, int shortest);
// Whether the table has a code left to give a symbol without changing the codes it has.
bool hasRoom(const JHUFF_TBL& table);

class ScanReader {
public:
    // Opens the file at the offset where a scan's data starts. Raises a Failure with the reason.
    ScanReader(const QString& path, qint64 offset);

    // Starts counting data bits afresh where a restart interval starts.
    void startInterval();
    qint64 position() const { return fedBits_ - bits_; }
    // Whether bits were taken beyond the data, which a marker or the file's end cut short.
    bool overran() const { return position() > realBits_; }

    int decode(const HuffmanDecoding& table) {
        if (bits_ < 32)
            fill();
        const uint16_t quick = table.quick[size_t(front_ >> 55)];
        if (quick == 0)
            return slowDecode(table);
        take(quick >> 8);
        return quick & 0xFF;
    }
    // The value of `size` bits as JPEG codes a coefficient of that magnitude category.
    int value(int size) {
        if (size == 0)
            return 0;
        const int raw = int(take(size));
        return raw < (1 << (size - 1)) ? raw - (1 << size) + 1 : raw;
    }
    uint32_t take(int count) {
        const auto taken = uint32_t(front_ >> (64 - count));
        front_ <<= count;
        bits_ -= count;
        return taken;
    }
    // The length of the longest code taken since the last call, when longer than the quick
    // table's; 0 otherwise.
    int takeDeepest() {
        const int deepest = deepest_;
        deepest_ = 0;
        return deepest;
    }
    // Passes over a block, returning its DC difference.
    int skipBlock(const HuffmanDecoding& dcTable, const HuffmanDecoding& acTable) {
        uint64_t front = front_;
        int bits = bits_;
        const int difference = skipBlockIn(front, bits, dcTable, acTable);
        front_ = front;
        bits_ = bits;
        return difference;
    }
    // Passes over the blocks of an MCU, each with its tables, adding each block's DC difference
    // to its component's DC value. Returns whether a DC value went beyond what a coefficient
    // holds.
    bool skipBlocks(const HuffmanDecoding* const* dcTables, const HuffmanDecoding* const* acTables,
                    const int* components, size_t count, std::array<int, 4>& dc) {
        uint64_t front = front_;
        int bits = bits_;
        bool wild = false;
        for (size_t b = 0; b < count; ++b) {
            int& value = dc[size_t(components[b])];
            value += skipBlockIn(front, bits, *dcTables[b], *acTables[b]);
            wild = wild || value != int16_t(value);
        }
        front_ = front;
        bits_ = bits;
        return wild;
    }
    // Up to 32 bits, filling first: a filling leaves at least 56, two takes of 28.
    static constexpr int kLargestTake = 28;
    uint32_t takeFilled(int count) {
        if (bits_ < count)
            fill();
        return take(count);
    }

    // Passes `count` data bits.
    void skip(qint64 count);

    // Where the next byte comes from in the file, once the data bits are left.
    qint64 offset() const { return file_.pos() - qint64(end_ - at_); }
    // The marker segment that starts at the next byte, with its marker; a marker without a segment
    // alone. Empty when the file ends first or no marker starts there.
    QByteArray segment();

    // Leaves the data bits not yet taken, and copies the data's bytes as they are to `to` (when
    // given) up to the next marker. A restart marker is copied and passed; any other is left to be
    // read. Returns the marker's second byte, or -1 at the file's end.
    int copyToMarker(class ScanWriter* to);

private:
    // Passes over a block, returning its DC difference. The data bits stay in locals of the
    // caller, where the compiler need not fear that a table's entries alias them.
    [[gnu::always_inline]] int skipBlockIn(uint64_t& front, int& bits,
                                           const HuffmanDecoding& dcTable,
                                           const HuffmanDecoding& acTable) {
        // A quick DC code of up to 9 bits and up to 15 value bits; decode() fills for a long one.
        if (bits < 24)
            refill(front, bits);
        const uint16_t quick = dcTable.quick[size_t(front >> 55)];
        int size = quick & 0xFF;
        if (quick != 0) {
            front <<= quick >> 8;
            bits -= quick >> 8;
        } else {
            front_ = front;
            bits_ = bits;
            size = decode(dcTable);
            front = front_;
            bits = bits_;
        }
        int difference = 0;
        if (size != 0) {
            const int raw = int(front >> (64 - size));
            front <<= size;
            bits -= size;
            difference = raw < (1 << (size - 1)) ? raw - (1 << size) + 1 : raw;
        }
        for (int k = 1; k < DCTSIZE2;) {
            // The quick look needs no more bits than it reads; decode() fills for a long code.
            if (bits < HuffmanDecoding::kSkipBits)
                refill(front, bits);
            const size_t ahead = size_t(front >> (64 - HuffmanDecoding::kSkipBits));
            // Several symbols in one look, where all of them still belong to this block.
            const unsigned run = acTable.run[ahead];
            const int step = int(run >> 5);
            if (k + step <= DCTSIZE2) {
                front <<= run & 0x0F;
                bits -= int(run & 0x0F);
                if (run & 0x10)
                    break;
                k += step;
                continue;
            }
            const uint16_t skip = acTable.skip[ahead];
            if (skip == 0) {
                front_ = front;
                bits_ = bits;
                const int symbol = decode(acTable);
                const int size = symbol & 0x0F;
                value(size);
                front = front_;
                bits = bits_;
                if (size == 0 && symbol != 0xF0)
                    break;
                k += size == 0 ? 16 : (symbol >> 4) + 1;
                continue;
            }
            front <<= skip >> 8;
            bits -= skip >> 8;
            k += skip & 0xFF;
        }
        return difference;
    }
    void fill();
    // Eight bytes at once where at least eight are at hand and none of them is 0xFF, which would
    // need a look at the next; false, nothing taken, otherwise.
    [[gnu::always_inline]] bool fillQuick(uint64_t& front, int& bits) {
        if (end_ - at_ < 8 || bits >= 56)
            return false;
        uint64_t word = 0;
        std::memcpy(&word, buffer_.data() + at_, sizeof word);
        if constexpr (std::endian::native == std::endian::little)
            word = __builtin_bswap64(word);
        const uint64_t inverse = ~word;
        if (((inverse - 0x0101010101010101ULL) & ~inverse & 0x8080808080808080ULL) != 0)
            return false;
        const int count = (63 - bits) / 8;
        front |= (word >> (64 - 8 * count)) << (64 - bits - 8 * count);
        at_ += size_t(count);
        bits += 8 * count;
        fedBits_ += 8 * count;
        realBits_ += 8 * count;
        return true;
    }
    // fill() for the bits in the caller's locals.
    [[gnu::always_inline]] void refill(uint64_t& front, int& bits) {
        if (fillQuick(front, bits))
            return;
        front_ = front;
        bits_ = bits;
        fill();
        front = front_;
        bits = bits_;
    }
    bool slowByte(uint8_t& byte);
    int slowDecode(const HuffmanDecoding& table);
    bool ensure(int count);

    QFile file_;
    std::vector<uint8_t> buffer_;
    size_t at_ = 0;
    size_t end_ = 0;
    uint64_t front_ = 0; // the next data bits, the first at the top
    int bits_ = 0;
    qint64 fedBits_ = 0;
    qint64 realBits_ = 0;
    bool atMarker_ = false;
    int deepest_ = 0;
};

class ScanWriter {
public:
    explicit ScanWriter(QIODevice& device);

    // Up to 32 bits.
    void put(uint32_t code, int length) {
        pending_ = (pending_ << length) | code;
        pendingBits_ += length;
        if (pendingBits_ >= 32)
            drain();
    }
    // Copies `count` data bits from the reader.
    void copy(ScanReader& reader, qint64 count);
    // Completes the last byte with 1 bits, as JPEG pads the data before a marker.
    void pad();
    // Bytes as they are, at a byte's boundary.
    void raw(const uint8_t* bytes, size_t count);
    void flush();

private:
    void drain();
    void byte(uint8_t value) {
        out_[used_++] = value;
        if (value == 0xFF)
            out_[used_++] = 0;
    }

    QIODevice& device_;
    std::vector<uint8_t> out_;
    size_t used_ = 0;
    uint64_t pending_ = 0;
    int pendingBits_ = 0;
};
