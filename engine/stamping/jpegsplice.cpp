#include "engine/stamping/jpegsplice.h"

#include "engine/io/picture.h"
#include "support/failure.h"

#include <QBuffer>

#include <algorithm>
#include <bit>
#include <cstring>

namespace {
const QString kBadRestartText =
    QStringLiteral("Corrupt JPEG data: a restart marker is missing or out of order");
constexpr int kRestart0 = 0xD0;

void checkMarker(int marker, int expected) {
    if (marker < 0)
        throw Failure(kDataEndsEarlyText);
    const bool restart = marker >= kRestart0 && marker < kRestart0 + 8;
    if (expected >= 0 ? marker != expected : restart)
        throw Failure(kBadRestartText);
}

// The values an encoder of 8-bit samples gives: DC values whose differences take at most 11 bits,
// AC values of at most 10.
constexpr int kDcLimit = 1024;
constexpr int kAcBits = 10;

// How many MCUs with long codes are noted at most: a few percent of a photograph's MCUs.
constexpr size_t kMostDeep = 1 << 17;

int divideRoundingUp(int value, int divisor) {
    return (value + divisor - 1) / divisor;
}
} // namespace

qint64 JpegSplice::bytesFor(QSize mcu, int blocksPerMcu, QSize mark) {
    // The MCUs under the mark and one more on every side, their blocks, their pixels three times
    // over (decoded, stamped, encoded), the MCUs with long codes noted at most (half as many
    // again while their list grows into its last room), the read and write buffers and libjpeg's
    // own.
    const qint64 wide = mark.width() / mcu.width() + 3, high = mark.height() / mcu.height() + 3;
    const qint64 pixels = wide * high * mcu.width() * mcu.height();
    return wide * high * (blocksPerMcu * DCTSIZE2 * qint64(sizeof(JCOEF)) + qint64(sizeof(Slot))) +
           pixels * 4 * 3 + qint64(kMostDeep * sizeof(Deep) * 3 / 2) + 4 * 1024 * 1024;
}

JpegSplice::JpegSplice(const QString& path, const JpegHead& head)
    : path_(path), head_(head), info_(head.info()) {
    const int mcuWidth = DCTSIZE * info_.max_h_samp_factor;
    const int mcuHeight = DCTSIZE * info_.max_v_samp_factor;
    mcusWide_ = divideRoundingUp(int(info_.image_width), mcuWidth);
    mcusHigh_ = divideRoundingUp(int(info_.image_height), mcuHeight);
    mcus_ = qint64(mcusWide_) * mcusHigh_;
    interval_ = info_.restart_interval > 0 ? qint64(info_.restart_interval) : mcus_;
    for (int c = 0; c < info_.num_components; ++c) {
        const jpeg_component_info& component = info_.comp_info[c];
        firstBlock_[size_t(c)] = int(blockComponent_.size());
        blockComponent_.insert(blockComponent_.end(),
                               size_t(component.h_samp_factor * component.v_samp_factor), c);
        dcTables_[size_t(component.dc_tbl_no)] = *info_.dc_huff_tbl_ptrs[component.dc_tbl_no];
        acTables_[size_t(component.ac_tbl_no)] = *info_.ac_huff_tbl_ptrs[component.ac_tbl_no];
        dcDecoding_.emplace_back(dcTables_[size_t(component.dc_tbl_no)]);
        acDecoding_.emplace_back(acTables_[size_t(component.ac_tbl_no)]);
        readAll_ = readAll_ || !hasRoom(dcTables_[size_t(component.dc_tbl_no)]) ||
                   !hasRoom(acTables_[size_t(component.ac_tbl_no)]);
    }
    for (const int c : blockComponent_) {
        blockDc_.push_back(&dcDecoding_[size_t(c)]);
        blockAc_.push_back(&acDecoding_[size_t(c)]);
    }
}

// The MCUs whose blocks are kept: the area's, one more on every side for the chroma's smooth
// upsampling, and the one after each of the area's, which may be coded anew for its DC values.
// Where the MCU after each of those starts is kept too.
void JpegSplice::planSlots(QRect area) {
    const int mcuWidth = DCTSIZE * info_.max_h_samp_factor;
    const int mcuHeight = DCTSIZE * info_.max_v_samp_factor;
    if (area.isEmpty())
        return;
    areaMcus_ = QRect(QPoint(area.left() / mcuWidth, area.top() / mcuHeight),
                      QPoint(area.right() / mcuWidth, area.bottom() / mcuHeight));
    regionMcus_ = areaMcus_.adjusted(-1, -1, 1, 1).intersected(QRect(0, 0, mcusWide_, mcusHigh_));
    const QRect picture(0, 0, int(info_.image_width), int(info_.image_height));
    regionPixels_ = QRect(regionMcus_.left() * mcuWidth, regionMcus_.top() * mcuHeight,
                          regionMcus_.width() * mcuWidth, regionMcus_.height() * mcuHeight)
                        .intersected(picture);
    std::vector<std::pair<qint64, bool>> wanted;
    const auto add = [&](const QRect& mcus, int after, bool blocks) {
        for (int y = mcus.top(); y <= mcus.bottom(); ++y)
            for (int x = mcus.left(); x <= mcus.right(); ++x)
                if (qint64(y) * mcusWide_ + x + after < mcus_)
                    wanted.emplace_back(qint64(y) * mcusWide_ + x + after, blocks);
    };
    add(regionMcus_, 0, true);
    add(areaMcus_, 1, true);
    const size_t kept = wanted.size();
    for (size_t i = 0; i < kept; ++i)
        if (wanted[i].first + 1 < mcus_)
            wanted.emplace_back(wanted[i].first + 1, false);
    // Sorted by MCU, those with blocks first, then one slot for each MCU.
    std::sort(wanted.begin(), wanted.end(), [](const auto& a, const auto& b) {
        return a.first < b.first || (a.first == b.first && a.second > b.second);
    });
    const size_t perMcu = blockComponent_.size() * DCTSIZE2;
    for (const auto& [mcu, blocks] : wanted) {
        if (!slots_.empty() && slots_.back().mcu == mcu)
            continue;
        Slot& slot = slots_.emplace_back();
        slot.mcu = mcu;
        if (blocks) {
            slot.blocks = qint64(blocks_.size());
            blocks_.resize(blocks_.size() + perMcu);
        }
    }
}

bool JpegSplice::read(QRect area) {
    planSlots(area);
    ScanReader reader(path_, head_.scanOffset());
    size_t next = 0;
    for (qint64 first = 0, k = 0; first < mcus_; first += interval_, ++k) {
        const qint64 count = std::min(interval_, mcus_ - first);
        reader.startInterval();
        if (readAll_ || (next < slots_.size() && slots_[next].mcu < first + count)) {
            readInterval(reader, first, count, next);
            intervalEnds_.emplace_back(k, reader.position());
        }
        const bool last = first + count >= mcus_;
        checkMarker(reader.copyToMarker(nullptr), last ? -1 : kRestart0 + int(k % 8));
    }
    return !wild_;
}

void JpegSplice::readInterval(ScanReader& reader, qint64 first, qint64 count, size_t& next) {
    std::array<int, 4> dc{};
    for (qint64 mcu = first; mcu < first + count; ++mcu) {
        JCOEF* blocks = nullptr;
        const qint64 position = reader.position();
        const std::array<int, 4> before = dc;
        if (next < slots_.size() && slots_[next].mcu == mcu) {
            Slot& slot = slots_[next++];
            slot.position = position;
            slot.dc = before;
            if (slot.blocks >= 0)
                blocks = &blocks_[size_t(slot.blocks)];
        }
        decodeMcu(reader, blocks, dc);
        const int longest = reader.takeDeepest();
        if (longest >= kDeepCode && !tooManyDeep_) {
            deep_.push_back({mcu, position, before, longest});
            tooManyDeep_ = deep_.size() >= kMostDeep;
        }
    }
    if (reader.overran())
        throw Failure(kDataEndsEarlyText);
}

void JpegSplice::decodeMcu(ScanReader& reader, JCOEF* blocks, std::array<int, 4>& dc) {
    if (!blocks) {
        const bool wild = reader.skipBlocks(blockDc_.data(), blockAc_.data(),
                                            blockComponent_.data(), blockComponent_.size(), dc);
        wild_ = wild_ || wild;
        return;
    }
    for (size_t b = 0; b < blockComponent_.size(); ++b) {
        const auto c = size_t(blockComponent_[b]);
        JCOEF* block = blocks + b * DCTSIZE2;
        dc[c] += reader.value(reader.decode(dcDecoding_[c]));
        // A kept block goes through libjpeg's encoder, which codes only what 8-bit samples give.
        wild_ = wild_ || dc[c] < -kDcLimit || dc[c] >= kDcLimit;
        std::fill_n(block, DCTSIZE2, 0);
        block[0] = JCOEF(dc[c]);
        for (int k = 1; k < DCTSIZE2; ++k) {
            const int symbol = reader.decode(acDecoding_[c]);
            const int run = symbol >> 4, size = symbol & 0x0F;
            if (size == 0) {
                if (run != 15)
                    break;
                k += 15;
                continue;
            }
            k += run;
            wild_ = wild_ || size > kAcBits;
            block[kZigzagPlace[size_t(k)]] = JCOEF(reader.value(size));
        }
    }
}

JpegSplice::Slot& JpegSplice::slotAt(qint64 mcu) {
    const auto found = std::lower_bound(slots_.begin(), slots_.end(), mcu,
                                        [](const Slot& slot, qint64 m) { return slot.mcu < m; });
    return *found;
}

JCOEF* JpegSplice::blockOf(qint64 mcu, int block) {
    return &blocks_[size_t(slotAt(mcu).blocks) + size_t(block) * DCTSIZE2];
}

// Calls `each` with every kept block of the region: its component, its row and column among the
// region's blocks of that component, and the block itself.
template <typename Each> void JpegSplice::forEachRegionBlock(const Each& each) {
    for (int c = 0; c < info_.num_components; ++c) {
        const jpeg_component_info& component = info_.comp_info[c];
        const int h = component.h_samp_factor, v = component.v_samp_factor;
        for (int y = 0; y < regionMcus_.height() * v; ++y)
            for (int x = 0; x < regionMcus_.width() * h; ++x) {
                const qint64 mcu =
                    qint64(regionMcus_.top() + y / v) * mcusWide_ + regionMcus_.left() + x / h;
                each(c, y, x, mcu, blockOf(mcu, firstBlock_[size_t(c)] + y % v * h + x % h));
            }
    }
}

QByteArray JpegSplice::regionJpeg() {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    JpegCompressor sub(buffer);
    std::array<jvirt_barray_ptr, MAX_COMPONENTS> arrays{};
    auto& source = const_cast<jpeg_decompress_struct&>(info_);
    sub.run([&] {
        jpeg_copy_critical_parameters(&source, &sub.info);
        sub.info.image_width = JDIMENSION(regionPixels_.width());
        sub.info.image_height = JDIMENSION(regionPixels_.height());
        for (int c = 0; c < info_.num_components; ++c) {
            const jpeg_component_info& component = info_.comp_info[c];
            arrays[size_t(c)] = sub.info.mem->request_virt_barray(
                reinterpret_cast<j_common_ptr>(&sub.info), JPOOL_IMAGE, FALSE,
                JDIMENSION(regionMcus_.width() * component.h_samp_factor),
                JDIMENSION(regionMcus_.height() * component.v_samp_factor),
                JDIMENSION(component.v_samp_factor));
        }
        jpeg_write_coefficients(&sub.info, arrays.data());
    });
    forEachRegionBlock([&](int c, int y, int x, qint64, const JCOEF* block) {
        sub.run([&] {
            JBLOCKARRAY row =
                sub.info.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&sub.info),
                                                 arrays[size_t(c)], JDIMENSION(y), 1, TRUE);
            std::copy_n(block, DCTSIZE2, row[0][x]);
        });
    });
    sub.run([&] { jpeg_finish_compress(&sub.info); });
    return bytes;
}

bool JpegSplice::take(const QByteArray& stamped) {
    if (wild_)
        return false;
    JpegDecompressor reader;
    jvirt_barray_ptr* arrays = nullptr;
    reader.run([&] {
        jpeg_mem_src(&reader.info, reinterpret_cast<const unsigned char*>(stamped.constData()),
                     static_cast<unsigned long>(stamped.size()));
        jpeg_read_header(&reader.info, TRUE);
        arrays = jpeg_read_coefficients(&reader.info);
    });
    forEachRegionBlock([&](int c, int y, int x, qint64 mcu, JCOEF* block) {
        JBLOCKROW row = nullptr;
        reader.run([&] {
            row = reader.info.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&reader.info),
                                                      arrays[c], JDIMENSION(y), 1, FALSE)[0];
        });
        if (std::equal(block, block + DCTSIZE2, row[x]))
            return;
        std::copy_n(row[x], DCTSIZE2, block);
        slotAt(mcu).changed = true;
    });
    planRecoding();
    return completeTables();
}
