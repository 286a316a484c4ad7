#pragma once

// Pictures that lie about themselves, made in code for the hostile-input tests: headers that
// declare giant, empty or negative sizes, a chunk longer than its file, and a PNG that inflates
// far beyond its own size, and damaged or endless JPEG scans.

#include <QByteArray>
#include <QImage>

// An 8-bit RGB PNG declaring the size, its IDAT holding the bytes given; Adam7-interlaced when
// asked, which libpng decodes only whole.
QByteArray pngWith(quint32 width, quint32 height, const QByteArray& idat, bool interlaced = false);
// The bytes as a zlib stream, as an IDAT holds its rows.
QByteArray zlibOf(const QByteArray& data);
// A black square of the side given, deflated as tightly as zlib goes: 16000 x 16000 takes 750 KB.
QByteArray inflatingPng(int side);
// A small PNG whose text chunk declares 2 GB and stops at once.
QByteArray textChunkBomb();
// A GIF whose screen declares the size, with one frame of 1 x 1.
QByteArray gifScreen(quint16 width, quint16 height);
// An animation of that screen: frames of 1 x 1 pixel, the last declaring the size given, each
// with one pixel of data.
QByteArray gifFrames(quint16 width, quint16 height, int frames, quint16 lastWidth,
                     quint16 lastHeight);
// The JPEG with the size its start-of-frame marker declares replaced.
QByteArray jpegDeclaring(QByteArray jpeg, quint16 width, quint16 height);
// A BMP header declaring the size, over 100 bytes of pixels.
QByteArray bmpDeclaring(qint32 width, qint32 height);
// An uncompressed 8-bit grey TIFF declaring the size, with 64 bytes of pixels.
QByteArray tiffDeclaring(quint32 width, quint32 height);
// The arithmetic-coded JPEG of the picture with one byte of its coded data changed, `at` bytes
// after the start of its scan, as a bad sector or a broken transfer changes it.
QByteArray damagedArithmeticJpeg(const QImage& picture, int at);
// A progressive JPEG of the picture, its scans as the script below gives them, with one of them
// (counted from 0) standing `times` times more right after itself. Scan 0 brings the DC
// coefficients' upper bits (a second time, it contradicts the first); scans 1 to 3 every AC
// coefficient of one component (repeated, each only decodes the same again); scan 4 the DC
// coefficients' last bit.
QByteArray progressiveRepeatingScan(const QImage& picture, int scan, int times);
// The picture in a format only Qt writes; empty when it cannot.
QByteArray byQt(const QImage& image, const char* format);
