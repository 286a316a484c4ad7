#pragma once

// A JPEG held as its quantised 8 x 8 blocks of DCT coefficients, as libjpeg reads them without
// decoding. The blocks of an area can be decoded to pixels and replaced by the blocks of new
// pixels, and the picture written again with every other block exactly as it was.

#include "engine/io/libjpeg.h"

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QSize>

class QIODevice;
struct ChangedCells;
struct PictureMetadata;

class JpegBlocks {
public:
    // Reads the header of the JPEG file held in `file`, which must outlive this object. Raises a
    // Failure with libjpeg's words.
    explicit JpegBlocks(const QByteArray& file);

    QSize size() const;
    // A minimum coded unit in pixels: 8 or 16 a side, as the chroma sampling asks.
    QSize mcuSize() const;
    J_COLOR_SPACE colorSpace() const { return source_.info.jpeg_color_space; }
    int components() const { return source_.info.num_components; }
    bool progressive() const { return source_.info.progressive_mode; }
    bool arithmetic() const { return source_.info.arith_code; }

    // Reads every block. Raises a Failure, "image data ends early" for a file cut short.
    void readBlocks();

    // An area of whole MCUs (the last ones cut at the picture's edge) around the rectangle.
    QRect mcuArea(QRect pixels) const;

    // The pixels of an area of whole MCUs as RGB32, exactly as a decoder of the whole picture
    // gives them.
    QImage decode(QRect area) const;

    // Encodes the RGB32 pixels of an area of whole MCUs with the picture's own quantisation
    // tables and sampling, and takes in the new blocks of every block whose pixels differ from
    // `before`; every other block stays as it was.
    void replace(QRect area, const QImage& pixels, const QImage& before);

    // Writes every block with the picture's own tables, sampling, restart interval and
    // progression, and with the metadata's markers.
    void write(QIODevice& device, const PictureMetadata& metadata);

private:
    QByteArray blocksAsJpeg(QRect area) const;
    void copyBlocks(QRect area, int component, JpegCompressor& sub, jvirt_barray_ptr array) const;
    QByteArray encode(QRect area, const QImage& pixels) const;
    JBLOCKROW blockRow(int component, int row, bool writable) const;
    void takeBlocks(QRect area, JpegDecompressor& encoded, jvirt_barray_ptr* arrays,
                    const ChangedCells& changed);

    const QByteArray& file_;
    mutable JpegDecompressor source_;
    jvirt_barray_ptr* blocks_ = nullptr;
};

// Sets the compressor to write the source's coefficients as the source stored them: progressive
// or sequential, arithmetic or Huffman coded, with its restart interval; sequential Huffman
// coding keeps the source's own code tables, completed where they lack a code, so that every
// block the source held is coded with the same bits. For use inside a step of the compressor.
void keepJpegCoding(jpeg_decompress_struct& source, jpeg_compress_struct& output);
