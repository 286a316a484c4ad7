// The lossless way's coding: the source's progression, arithmetic coding or Huffman tables.
#include "engine/stamping/jpegblocks.h"

#include <array>

// libjpeg's own builder of a Huffman table from symbol frequencies, the one its optimised coding
// uses. The library exports it; jpeglib.h leaves it out, as it does every encoder internal.
extern "C" void jpeg_gen_optimal_table(j_compress_ptr cinfo, JHUFF_TBL* htbl, long freq[]);

namespace {

// The Huffman symbols a block of 8-bit samples may need: DC differences of 0 to 11 bits, and
// for the AC coefficients the end of block, a run of sixteen zeros, and any run of up to fifteen
// zeros before a value of 1 to 10 bits.
constexpr int kDcCategories = 12;
constexpr int kAcMaxBits = 10;

bool mayBeNeeded(int symbol, bool dc) {
    if (dc)
        return symbol < kDcCategories;
    const int bits = symbol & 0x0F;
    return symbol == 0x00 || symbol == 0xF0 || (bits >= 1 && bits <= kAcMaxBits);
}

// The table in the slot: the source's own when it has a code for every symbol a block may need,
// so that every block keeps its bits. Otherwise a table built from frequencies that give each of
// the source's symbols about the length of code it had and each missing symbol one of the
// longest: a re-encoded block may need a symbol no block of the source used, and libjpeg-turbo
// would write a symbol without a code as nothing at all.
void completedTable(jpeg_compress_struct& output, JHUFF_TBL*& slot, const JHUFF_TBL& table,
                    bool dc) {
    std::array<long, 257> frequencies{};
    int index = 0;
    for (int length = 1; length <= 16; ++length)
        for (int i = 0; i < table.bits[length] && index < 256; ++i, ++index)
            frequencies[table.huffval[index]] = 1L << (17 - length);
    bool complete = true;
    for (int s = 0; s < 256; ++s) {
        if (mayBeNeeded(s, dc) && frequencies[size_t(s)] == 0) {
            frequencies[size_t(s)] = 1;
            complete = false;
        }
    }
    if (!slot)
        slot = jpeg_alloc_huff_table(reinterpret_cast<j_common_ptr>(&output));
    if (complete) {
        *slot = table;
        slot->sent_table = FALSE;
    } else {
        jpeg_gen_optimal_table(&output, slot, frequencies.data());
    }
}

} // namespace

void keepJpegCoding(jpeg_decompress_struct& source, jpeg_compress_struct& output) {
    output.restart_interval = source.restart_interval;
    if (output.jpeg_color_space == JCS_YCbCr)
        output.write_JFIF_header = source.saw_JFIF_marker;
    output.arith_code = source.arith_code;
    if (source.progressive_mode) {
        // libjpeg builds the Huffman tables of progressive scans from the blocks themselves.
        jpeg_simple_progression(&output);
        return;
    }
    if (source.arith_code)
        return;
    for (int c = 0; c < source.num_components; ++c) {
        const int dc = source.comp_info[c].dc_tbl_no;
        const int ac = source.comp_info[c].ac_tbl_no;
        const JHUFF_TBL* dcTable = source.dc_huff_tbl_ptrs[dc];
        const JHUFF_TBL* acTable = source.ac_huff_tbl_ptrs[ac];
        if (!dcTable || !acTable) {
            output.optimize_coding = TRUE;
            return;
        }
        completedTable(output, output.dc_huff_tbl_ptrs[dc], *dcTable, true);
        completedTable(output, output.ac_huff_tbl_ptrs[ac], *acTable, false);
        output.comp_info[c].dc_tbl_no = dc;
        output.comp_info[c].ac_tbl_no = ac;
    }
}
