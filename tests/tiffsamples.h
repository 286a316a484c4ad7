#pragma once

// TIFF pictures made here with libtiff, and what a written TIFF holds, read back with libtiff
// itself rather than through the program's reader.

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>

// One page as the test stores it: its pixels (RGB32 or ARGB32 for 8 bits a sample, RGBA64 or
// RGBX64 for 16) and how they are stored, in TIFF's own numbers.
struct TiffSamplePage {
    QImage image;
    bool grey = false;      // one sample a pixel: the red channel (the alpha after it)
    int compression = 1;    // none
    int predictor = 1;      // none
    double xResolution = 0; // no resolution when 0
    double yResolution = 0;
    int resolutionUnit = 2;  // inch
    bool associated = false; // alpha stored premultiplied (exact for alpha 0 and full alpha)
    int tileEdge = 0;        // tiles of this edge instead of strips when above 0
    int orientation = 1;
    bool palette = false; // an 8-bit palette of the picture's colours (256 at most)
    bool cmyk = false;    // inks: 255 less each colour, no black
    bool jpeg = false;    // JPEG-compressed YCbCr with 2 x 2 chroma sampling
};

QByteArray makeTiff(const QList<TiffSamplePage>& pages);

// What one page of a written TIFF declares.
struct TiffPageFacts {
    QSize size;
    int bits = 0;
    int samples = 0;
    int photometric = 0;
    int compression = 0;
    int predictor = 0;
    int resolutionUnit = 0;
    float xResolution = 0;
    float yResolution = 0;
    int orientation = 1;
};
QList<TiffPageFacts> tiffFacts(const QString& path);
