#pragma once

#include "engine/io/picturereader.h"

#include <QRect>
#include <QSize>

// What one picture's way through the engine holds at most, known from its header before any of
// its pixels is decoded: the memory a run's budget admits it with. Every figure counts each
// buffer that lives at the same moment, as measured on this program's own paths.

// Rows decoded, stamped and encoded at a time on the streaming path: a few JPEG block rows,
// about 1.5 MB for a 12000-pixel-wide panorama.
inline constexpr int kBandRows = 32;

// A JPEG or PNG going a band of rows at a time: the band, and the rows the codecs keep for
// themselves (JPEG's block rows and chroma upsampling, PNG's previous row and zlib's window).
qint64 StreamNeed(QSize stored);
// The same for a reader, with what a resizing reader holds besides (ResizeNeed), and what the
// copy's encoder holds: for WebP the YUV planes of the whole picture and its own work, for the
// progressive copy of a progressive JPEG every coefficient of the copy.
qint64 StreamNeed(const PictureReader& reader, PictureFormat output);

// What a resizing reader holds besides the resized rows: its source's own way (a band of rows,
// or the whole picture for a decoder that holds it) and the filter's rows; 0 for any other
// reader.
qint64 ResizeNeed(const PictureReader& reader);

// A picture decoded whole: its pixels, what the decoder holds besides them (a progressive JPEG's
// coefficients; Qt's own decoded image), the copies that turning it upright and putting its
// transparency onto white make, what the encoder builds beside it (a progressive JPEG copy's
// coefficients, once the decoder has given its own back), and what a sequence of its frames
// holds besides; with a resizing reader, its ResizeNeed besides.
qint64 WholeNeed(const PictureReader& reader, PictureFormat output);

// What a whole picture shown on the screen besides its copy takes: an 8-bit copy of a picture of
// 16 bits a channel; nothing for one of 8 bits, which is shown as it was stamped.
qint64 ShownNeed(const PictureReader& reader);

// A palette picture's PNG copy kept a palette: the stamped picture's indices, a byte a pixel.
qint64 PaletteNeed(const PictureReader& reader);

// A JPEG stamped in all of its blocks: the file, every coefficient of every component, and the
// copy as it is encoded. A spliced one holds only the blocks around the mark
// (LosslessJpeg::bytesNeeded).
qint64 LosslessNeed(const PictureReader& reader, qint64 fileBytes);

// The visible part of a mark as it is made: the scaled pixels and their premultiplied and
// weakened copies.
qint64 MarkNeed(QSize visible);
