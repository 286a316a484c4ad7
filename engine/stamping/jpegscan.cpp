#include "engine/stamping/jpegscan.h"

#include "support/failure.h"

#include <QIODevice>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

namespace {
constexpr size_t kBufferBytes = 64 * 1024;
// Room for the longest marker segment, 65537 bytes with its marker.
constexpr size_t kReadBytes = 128 * 1024;
constexpr int kQuickBits = 9;
constexpr int kLongest = 16;
const QString kBadCodeText = QStringLiteral("Corrupt JPEG data: bad Huffman code");

// The codes of a table's symbols in the order it lists them, as JPEG assigns them: shortest first,
// each one more than the last, a bit longer at each new length.
template <typename Each> void forEachCode(const JHUFF_TBL& table, const Each& each) {
    uint32_t code = 0;
    int index = 0;
    for (int length = 1; length <= kLongest; ++length) {
        for (int i = 0; i < table.bits[length] && index < 256; ++i, ++index)
            each(table.huffval[index], code++, length, index);
        code <<= 1;
    }
}
} // namespace

HuffmanDecoding::HuffmanDecoding(const JHUFF_TBL& table) {
    largest.fill(-1);
    largest[kLongest + 1] = INT32_MAX;
    std::memcpy(values.data(), table.huffval, values.size());
    forEachCode(table, [&](uint8_t symbol, uint32_t code, int length, int index) {
        // Codes and symbols of one length both count up by one: one offset serves them all.
        largest[size_t(length)] = int32_t(code);
        offset[size_t(length)] = index - int32_t(code);
        if (length <= kQuickBits) {
            const int spare = kQuickBits - length;
            for (uint32_t rest = 0; rest < (1u << spare); ++rest)
                quick[(code << spare) | rest] = uint16_t(length << 8 | symbol);
        }
        const int size = symbol & 0x0F, run = symbol >> 4;
        const int taken = length + size;
        if (taken > kSkipBits || length >= kLongCode)
            return;
        const int advance = size > 0 ? run + 1 : run == 15 ? 16 : DCTSIZE2;
        for (uint32_t rest = 0; rest < (1u << (kSkipBits - length)); ++rest)
            skip[(code << (kSkipBits - length)) | rest] = uint16_t(taken << 8 | advance);
    });
    fillRuns();
}

// Each entry of `run` follows the single symbols of `skip` through its bits for as long as whole
// symbols fit, they stay within a block, and no end of the block has come.
void HuffmanDecoding::fillRuns() {
    constexpr int kMost = DCTSIZE2;
    for (uint32_t ahead = 0; ahead < run.size(); ++ahead) {
        int taken = 0, step = 0;
        bool ended = false;
        while (!ended) {
            const uint32_t rest = (ahead << taken) & ((1u << kSkipBits) - 1);
            const uint16_t one = skip[rest];
            const int bits = one >> 8;
            if (one == 0 || taken + bits > kSkipBits)
                break;
            const int advance = one & 0xFF;
            ended = advance == DCTSIZE2;
            if (step + (ended ? 1 : advance) > kMost)
                break;
            taken += bits;
            step += ended ? 1 : advance;
        }
        run[ahead] = taken == 0 ? kNoRun : uint16_t(step << 5 | (ended ? 0x10 : 0) | taken);
    }
}

HuffmanEncoding::HuffmanEncoding(const JHUFF_TBL& table) {
    forEachCode(table, [&](uint8_t symbol, uint32_t code, int length, int) {
        this->code[symbol] = uint16_t(code);
        this->length[symbol] = uint8_t(length);
    });
}

bool completeKeepingCodes(JHUFF_TBL& table, const std::array<bool, 256>& needed) {
    std::array<bool, 256> coded{};
    long used = 0; // in codes of the longest length
    int count = 0;
    forEachCode(table, [&](uint8_t symbol, uint32_t, int length, int) {
        coded[symbol] = true;
        used += 1L << (kLongest - length);
        ++count;
    });
    std::vector<uint8_t> missing;
    for (int s = 0; s < 256; ++s)
        if (needed[size_t(s)] && !coded[size_t(s)])
            missing.push_back(uint8_t(s));
    // The code of all 1 bits stays free: JPEG reserves it.
    if (used + long(missing.size()) > (1L << kLongest) - 1 || count + int(missing.size()) > 256 ||
        table.bits[kLongest] + missing.size() > 255)
        return false;
    for (const uint8_t symbol : missing)
        table.huffval[count++] = symbol;
    table.bits[kLongest] = UINT8(table.bits[kLongest] + missing.size());
    return true;
}

namespace {
// Each code's length, in the order the table lists its symbols.
std::vector<int> codeLengths(const JHUFF_TBL& table) {
    std::vector<int> lengths;
    forEachCode(table, [&](uint8_t, uint32_t, int length, int) { lengths.push_back(length); });
    return lengths;
}

// The room the codes shorter than `length` leave, in codes of the longest length.
long roomBelow(const std::vector<int>& lengths, int length) {
    long room = 1L << kLongest;
    for (const int l : lengths)
        room -= l < length ? 1L << (kLongest - l) : 0;
    return room - 1; // the code of all 1 bits, which JPEG reserves
}
} // namespace

bool hasRoom(const JHUFF_TBL& table) {
    return roomBelow(codeLengths(table), kLongest + 1) > 0;
}

int completeMovingLongest(JHUFF_TBL& table, const std::array<bool, 256>& needed, int shortest) {
    std::vector<int> lengths = codeLengths(table);
    const size_t count = lengths.size();
    std::vector<uint8_t> missing;
    for (int s = 0; s < 256; ++s)
        if (needed[size_t(s)] &&
            std::find(table.huffval, table.huffval + count, uint8_t(s)) == table.huffval + count)
            missing.push_back(uint8_t(s));
    if (missing.empty())
        return kLongest + 1;
    // The rarest symbols, those of the longest codes short of the longest length, take codes of
    // the longest length one by one until the room they leave holds the new ones.
    long room = roomBelow(lengths, kLongest + 1);
    int from = kLongest + 1;
    for (int length = kLongest - 1; length >= shortest && room < long(missing.size()); --length)
        for (size_t i = count; i-- > 0 && room < long(missing.size());)
            if (lengths[i] == length) {
                lengths[i] = kLongest;
                room += (1L << (kLongest - length)) - 1;
                from = length;
            }
    const long longest = std::count(lengths.begin(), lengths.end(), kLongest);
    if (room < long(missing.size()) || longest + long(missing.size()) > 255 ||
        count + missing.size() > 256)
        return 0;
    // The symbols in the order of their new lengths, each length's in the order they had.
    std::vector<uint8_t> values(table.huffval, table.huffval + count);
    std::vector<size_t> order(count);
    for (size_t i = 0; i < count; ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t x, size_t y) { return lengths[x] < lengths[y]; });
    std::fill(std::begin(table.bits), std::end(table.bits), UINT8(0));
    for (size_t i = 0; i < count; ++i) {
        table.huffval[i] = values[order[i]];
        ++table.bits[lengths[order[i]]];
    }
    std::copy(missing.begin(), missing.end(), table.huffval + count);
    table.bits[kLongest] = UINT8(table.bits[kLongest] + missing.size());
    return from;
}

ScanReader::ScanReader(const QString& path, qint64 offset) : file_(path), buffer_(kReadBytes) {
    if (!file_.open(QIODevice::ReadOnly) || !file_.seek(offset))
        throw Failure(file_.errorString());
}

void ScanReader::startInterval() {
    front_ = 0;
    bits_ = 0;
    fedBits_ = 0;
    realBits_ = 0;
    atMarker_ = false;
}

bool ScanReader::ensure(int count) {
    if (end_ - at_ >= size_t(count))
        return true;
    std::memmove(buffer_.data(), buffer_.data() + at_, end_ - at_);
    end_ -= at_;
    at_ = 0;
    while (end_ < size_t(count)) {
        const qint64 got =
            file_.read(reinterpret_cast<char*>(buffer_.data() + end_), qint64(kReadBytes - end_));
        if (got < 0)
            throw Failure(file_.errorString());
        if (got == 0)
            return false;
        end_ += size_t(got);
    }
    return true;
}

bool ScanReader::slowByte(uint8_t& byte) {
    if (atMarker_ || !ensure(2)) {
        // A last data byte alone at the file's end is still data.
        if (!atMarker_ && ensure(1) && buffer_[at_] != 0xFF) {
            byte = buffer_[at_++];
            return true;
        }
        atMarker_ = true;
        return false;
    }
    if (buffer_[at_] != 0xFF) {
        byte = buffer_[at_++];
        return true;
    }
    if (buffer_[at_ + 1] == 0) {
        byte = 0xFF;
        at_ += 2;
        return true;
    }
    atMarker_ = true;
    return false;
}

void ScanReader::fill() {
    if (fillQuick(front_, bits_))
        return;
    while (bits_ <= 56) {
        uint8_t byte = 0;
        if (at_ < end_ && buffer_[at_] != 0xFF) {
            byte = buffer_[at_++];
            realBits_ += 8;
        } else if (slowByte(byte)) {
            realBits_ += 8;
        }
        // Beyond the data come zeros, as libjpeg reads them; overran() tells.
        front_ |= uint64_t(byte) << (56 - bits_);
        bits_ += 8;
        fedBits_ += 8;
    }
}

int ScanReader::slowDecode(const HuffmanDecoding& table) {
    for (int length = kQuickBits + 1; length <= kLongest; ++length) {
        const auto code = int32_t(front_ >> (64 - length));
        if (code <= table.largest[size_t(length)]) {
            take(length);
            deepest_ = std::max(deepest_, length);
            return table.values[size_t(code + table.offset[size_t(length)]) & 0xFF];
        }
    }
    throw Failure(kBadCodeText);
}

int ScanReader::copyToMarker(ScanWriter* to) {
    front_ = 0;
    bits_ = 0;
    for (;;) {
        if (!ensure(1))
            return -1;
        const uint8_t* from = buffer_.data() + at_;
        const auto* mark = static_cast<const uint8_t*>(std::memchr(from, 0xFF, end_ - at_));
        const size_t span = mark ? size_t(mark - from) : end_ - at_;
        if (to)
            to->raw(from, span);
        at_ += span;
        if (!mark)
            continue;
        if (!ensure(2))
            return -1;
        const int next = buffer_[at_ + 1];
        if (next == 0xFF) { // a fill byte before a marker
            ++at_;
            continue;
        }
        const bool restart = next >= 0xD0 && next <= 0xD7;
        if (next != 0 && !restart)
            return next;
        if (to)
            to->raw(buffer_.data() + at_, 2);
        at_ += 2;
        if (restart)
            return next;
    }
}

void ScanReader::skip(qint64 count) {
    constexpr int kStep = kLargestTake;
    for (; count >= kStep; count -= kStep)
        takeFilled(kStep);
    if (count > 0)
        takeFilled(int(count));
}

QByteArray ScanReader::segment() {
    while (ensure(2) && buffer_[at_] == 0xFF && buffer_[at_ + 1] == 0xFF)
        ++at_; // fill bytes before the marker
    if (!ensure(2) || buffer_[at_] != 0xFF)
        return {};
    const int marker = buffer_[at_ + 1];
    const bool alone =
        marker == 0xD8 || marker == 0xD9 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7);
    if (alone) {
        at_ += 2;
        return QByteArray(reinterpret_cast<const char*>(buffer_.data() + at_ - 2), 2);
    }
    if (!ensure(4))
        return {};
    const int length = buffer_[at_ + 2] << 8 | buffer_[at_ + 3];
    if (length < 2 || !ensure(2 + length))
        return {};
    const QByteArray bytes(reinterpret_cast<const char*>(buffer_.data() + at_), 2 + length);
    at_ += size_t(2 + length);
    return bytes;
}

ScanWriter::ScanWriter(QIODevice& device) : device_(device) {
    out_.resize(kBufferBytes + 1024);
}

void ScanWriter::drain() {
    // Whole words only, four bytes at once where none of them is 0xFF, which takes a stuffed 0
    // after it; the bits short of a word wait for the next put.
    while (pendingBits_ >= 32) {
        const auto word = uint32_t(pending_ >> (pendingBits_ - 32));
        pendingBits_ -= 32;
        const uint32_t inverse = ~word;
        if (((inverse - 0x01010101u) & ~inverse & 0x80808080u) != 0) {
            for (int shift = 24; shift >= 0; shift -= 8)
                byte(uint8_t(word >> shift));
            continue;
        }
        const uint32_t big =
            std::endian::native == std::endian::little ? __builtin_bswap32(word) : word;
        std::memcpy(out_.data() + used_, &big, sizeof big);
        used_ += sizeof big;
    }
    if (used_ >= kBufferBytes)
        flush();
}

void ScanWriter::copy(ScanReader& reader, qint64 count) {
    // A word at a time: a filling leaves at least 56 bits, and put() at most 31 waiting.
    constexpr int kStep = 32;
    for (; count >= kStep; count -= kStep)
        put(reader.takeFilled(kStep), kStep);
    if (count > 0)
        put(reader.takeFilled(int(count)), int(count));
}

void ScanWriter::pad() {
    const int spare = (8 - pendingBits_ % 8) % 8;
    if (spare > 0)
        put((1u << spare) - 1, spare);
    drain();
    while (pendingBits_ >= 8) {
        pendingBits_ -= 8;
        byte(uint8_t(pending_ >> pendingBits_));
    }
}

void ScanWriter::raw(const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const size_t part = std::min(count, kBufferBytes - used_);
        std::memcpy(out_.data() + used_, bytes, part);
        used_ += part;
        bytes += part;
        count -= part;
        if (used_ >= kBufferBytes)
            flush();
    }
}

void ScanWriter::flush() {
    if (used_ == 0)
        return;
    const qint64 written = device_.write(reinterpret_cast<const char*>(out_.data()), qint64(used_));
    if (written != qint64(used_))
        throw Failure(device_.errorString().isEmpty() ? SystemErrorText(EIO)
                                                      : device_.errorString());
    used_ = 0;
}
