// The lossless way's splice of a sequential Huffman-coded JPEG: the input is stamped losslessly,
// spliced and through all of its blocks, at a placement that follows from its length. A splice
// that succeeds on a picture libjpeg reads without a warning must give exactly the blocks the way
// through all blocks gives. The spliced copy may draw a warning where the input did not: a restart
// interval the mark leaves alone keeps its bytes, and libjpeg passes over bytes its decoder does
// not need at the end of an interval silently or not, as its buffer happens to stand.
#include "engine/io/metadata.h"
#include "engine/stamping/jpeglossless.h"
#include "engine/stamping/stamp.h"
#include "fuzz/fuzzentry.h"
#include "support/failure.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>

#include <csetjmp>

#include <vector>

namespace {

// A fuzzed header declares any size; beyond this the input is passed over.
constexpr qint64 kMostPixels = 1'000'000;

struct Fixture {
    QTemporaryDir folder;
    StampMark mark;
};

Fixture& fixture() {
    static Fixture fixture;
    return fixture;
}

QImage markPicture() {
    QImage mark(24, 16, QImage::Format_ARGB32);
    mark.fill(qRgba(255, 255, 255, 255));
    for (int y = 3; y < 13; ++y)
        for (int x = 2; x < 22; ++x)
            mark.setPixel(x, y, qRgba(200, 30 + x * 8, 40, 60 + y * 12));
    return mark;
}

// The copy, stamped one way or the other; empty when that way refuses the picture or fails.
QByteArray stamped(const QString& path, bool splice, int placement) {
    try {
        LosslessJpeg jpeg(path, splice);
        if (!jpeg.refusal(1, false, kMostPixels).isEmpty() || jpeg.spliced() != splice)
            return {};
        const JpegHead head(path);
        const QSize size(int(head.info().image_width), int(head.info().image_height));
        const QSize markSize = fixture().mark.size();
        QPoint at;
        PlaceWatermark(placement, float(size.width()), float(size.height()),
                       float(markSize.width()), float(markSize.height()), at, 0);
        jpeg.read();
        jpeg.stamp(at, fixture().mark, 1);
        // A picture whose values or codes leave the splice no room goes through all its blocks.
        if (jpeg.spliced() != splice)
            return {};
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        jpeg.write(buffer, {});
        return bytes;
    } catch (const Failure&) {
        return {};
    }
}

struct Quiet {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

// Every block of the JPEG, or nothing when libjpeg fails on it or, unless told to take them, warns
// of damage.
std::vector<JCOEF> blocksOf(const QByteArray& file, bool takeWarnings = false) {
    jpeg_decompress_struct info{};
    Quiet errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = [](j_common_ptr common) {
        std::longjmp(reinterpret_cast<Quiet*>(common->err)->jump, 1);
    };
    errors.manager.emit_message = [](j_common_ptr common, int level) {
        if (level < 0)
            ++common->err->num_warnings;
    };
    std::vector<JCOEF> blocks;
    if (setjmp(errors.jump) == 0) {
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(file.constData()),
                     static_cast<unsigned long>(file.size()));
        jpeg_read_header(&info, TRUE);
        if (qint64(info.image_width) * info.image_height > kMostPixels)
            std::longjmp(errors.jump, 1);
        jvirt_barray_ptr* arrays = jpeg_read_coefficients(&info);
        for (int c = 0; c < info.num_components; ++c)
            for (JDIMENSION y = 0; y < info.comp_info[c].height_in_blocks; ++y) {
                JBLOCKROW row = info.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&info),
                                                             arrays[c], y, 1, FALSE)[0];
                for (JDIMENSION x = 0; x < info.comp_info[c].width_in_blocks; ++x)
                    blocks.insert(blocks.end(), row[x], row[x] + DCTSIZE2);
            }
        if (info.err->num_warnings > 0 && !takeWarnings)
            blocks.clear();
    } else {
        blocks.clear();
    }
    jpeg_destroy_decompress(&info);
    return blocks;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    startFuzzApplication(false);
    fixture().mark = StampMark(markPicture(), kWhite);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString input = fixture().folder.filePath(QStringLiteral("input.jpg"));
    QFile file(input);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
        fuzzPropertyFailed("the input cannot be written to a file");
    file.close();
    if (blocksOf(QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size)))
            .empty())
        return 0;
    const int placement = int(size % 9);
    const QByteArray spliced = stamped(input, true, placement);
    if (spliced.isEmpty())
        return 0;
    const std::vector<JCOEF> splicedBlocks = blocksOf(spliced, true);
    if (splicedBlocks.empty())
        fuzzPropertyFailed("the spliced copy cannot be read");
    const QByteArray whole = stamped(input, false, placement);
    if (!whole.isEmpty() && blocksOf(whole, true) != splicedBlocks)
        fuzzPropertyFailed("the splice differs from the way through all blocks");
    return 0;
}
