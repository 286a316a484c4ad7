#pragma once

// Lossless stamping of a sequential Huffman-coded JPEG at the speed of its file. A first reading
// of the scan follows its codes only far enough to know where each MCU starts and what DC value
// each block has, and keeps the blocks of the MCUs around the watermark. The copy takes every
// other MCU's bits as they are, shifted to their new place; the MCUs whose blocks the watermark
// changes are coded anew with the picture's own tables, and so is the MCU after each run of them,
// whose DC values are coded against the changed ones. A restart interval without a changed MCU
// is copied byte for byte.

#include "engine/stamping/jpegblocks.h"
#include "engine/stamping/jpegscan.h"

#include <QByteArray>
#include <QRect>
#include <QString>

#include <array>
#include <vector>

// The head of a JPEG file, from its start to the end of its first scan's header, read as a stream,
// and libjpeg's reading of it.
class JpegHead {
public:
    // Raises a Failure, "image data ends early" when the file ends before a scan starts.
    explicit JpegHead(const QString& path);

    const QByteArray& bytes() const { return bytes_; }
    qint64 scanOffset() const { return scanOffset_; }
    const jpeg_decompress_struct& info() const { return reader_.info; }

    // Whether the splicer takes the picture: 8-bit samples coded sequentially with Huffman codes,
    // in one scan that holds every component in the frame's order, its tables all given and none
    // with a DC difference beyond 15 bits.
    bool spliceable() const;
    // Whether a table the picture uses holds a 0, by which no encoder can divide.
    bool zeroInQuantisation() const;

private:
    QByteArray bytes_;
    qint64 scanOffset_ = 0;
    JpegDecompressor reader_;
};

// The JPEG file up to and with its end-of-image marker, read as a stream: whatever follows it is
// never read. A file cut short comes as far as it goes.
QByteArray ReadJpegThroughEnd(const QString& path);

class JpegSplice {
public:
    // The memory a splice of a picture with this MCU size and these blocks to an MCU takes for a
    // watermark of this size: the blocks around it and their pixels, whatever the picture's size.
    static qint64 bytesFor(QSize mcu, int blocksPerMcu, QSize mark);

    JpegSplice(const QString& path, const JpegHead& head);

    // Reads the scan, keeping the blocks of the MCUs around the area, an area of whole MCUs as
    // JpegBlocks::mcuArea gives it. False when the picture cannot be spliced: its values go beyond
    // what a block of 8-bit samples holds. Raises a Failure as the picture reader does.
    bool read(QRect area);
    // The kept blocks as a JPEG of their own, and where they lie in the picture.
    QByteArray regionJpeg();
    QRect region() const { return regionPixels_; }
    // Takes the blocks of a JPEG of the region that differ from the kept ones. False when the
    // copy cannot be spliced: the picture's Huffman tables have no room left for a code the new
    // blocks need, or its DC values go beyond what a block holds.
    bool take(const QByteArray& stamped);

    // Writes the copy with the metadata's markers. Raises a Failure with the device's reason.
    void write(QIODevice& device, const PictureMetadata& metadata);

private:
    struct Slot {
        qint64 mcu = 0;
        qint64 position = 0;     // in data bits from its restart interval's start
        std::array<int, 4> dc{}; // the DC values before it, as the decoder predicts them
        qint64 blocks = -1;      // where its blocks start in blocks_, -1 when not kept
        bool changed = false;
    };

    // The shortest code whose MCUs are noted, so that the codes of its table from that length on
    // may change.
    static constexpr int kDeepCode = 11;
    // A code passed over with its value in one look is never noted: it must be shorter.
    static_assert(HuffmanDecoding::kLongCode <= kDeepCode);
    // An MCU that uses a code at least kDeepCode long, which it keeps only as long as the codes of
    // its table's longest lengths stay.
    struct Deep {
        qint64 mcu = 0;
        qint64 position = 0;
        std::array<int, 4> dc{};
        int longest = 0;
    };
    struct Coder;

    void planSlots(QRect area);
    void readInterval(ScanReader& reader, qint64 first, qint64 count, size_t& next);
    void decodeMcu(ScanReader& reader, JCOEF* blocks, std::array<int, 4>& dc);
    template <typename Sink>
    void encodeMcu(Sink& sink, const JCOEF* blocks, std::array<int, 4>& dc) const;
    void recodeMcu(ScanReader& reader, Coder& coder, std::array<int, 4>& stored,
                   std::array<int, 4>& dc) const;
    template <typename Each> void forEachRegionBlock(const Each& each);
    Slot& slotAt(qint64 mcu);
    JCOEF* blockOf(qint64 mcu, int block);
    void planRecoding();
    bool completeTables();
    QByteArray headerBytes(const PictureMetadata& metadata) const;
    QByteArray sizedHeader(QByteArray bytes) const;
    void writeInterval(ScanReader& reader, Coder& coder, qint64 end, qint64 endBits, size_t& next,
                       size_t& nextDeep);

    QString path_;
    const JpegHead& head_;
    const jpeg_decompress_struct& info_;
    int mcusWide_ = 0;
    int mcusHigh_ = 0;
    qint64 mcus_ = 0;
    qint64 interval_ = 0;             // MCUs in a restart interval, all of them without restarts
    std::vector<int> blockComponent_; // the component of each block of an MCU, in order
    std::array<int, MAX_COMPONENTS> firstBlock_{};         // each component's first block in an MCU
    std::vector<HuffmanDecoding> dcDecoding_, acDecoding_; // by component
    std::vector<const HuffmanDecoding*> blockDc_, blockAc_; // by block of an MCU
    std::array<JHUFF_TBL, NUM_HUFF_TBLS> dcTables_{}, acTables_{};
    QRect regionMcus_, areaMcus_;
    QRect regionPixels_;
    std::vector<Slot> slots_;
    std::vector<JCOEF> blocks_;
    std::vector<size_t> recoded_;                         // the slots coded anew, in order
    std::vector<std::pair<qint64, qint64>> intervalEnds_; // interval, where its last MCU ends
    bool wild_ = false;
    // Whether a table is full, so that every interval is read for the MCUs with long codes.
    bool readAll_ = false;
    std::vector<Deep> deep_;
    bool tooManyDeep_ = false;
    int recodeFrom_ = 17; // MCUs with a code this long or longer are coded anew
};
