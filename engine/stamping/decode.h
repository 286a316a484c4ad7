#pragma once

// The one way a whole picture is decoded for the engine's users: the preview, a whole-image
// stamp, the watermark and the tests. Streaming stamps read rows from PictureReader instead.

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <atomic>

class PictureReader;

// A picture decoded for the screen or a mark: oriented as a person sees it, 8 bits a channel,
// with its own alpha kept or flattened onto white. Raises a Failure naming the file, also when
// the picture's pixels would need more than maxPixels.
QImage DecodePicture(const QString& path, bool keepAlpha, qint64 maxPixels);
// The same with the colour profile its pixels are in (see PictureReader::colourProfile).
struct DecodedPicture {
    QImage picture;
    QByteArray profile;
};
DecodedPicture DecodePictureInColours(const QString& path, bool keepAlpha, qint64 maxPixels);
// The same from a reader already open whose rows were not read yet, for a caller that checked
// its size itself; for a whole-image stamp, a picture of 16 bits a channel stays so: RGBA64, or
// RGBX64 when opaque or flattened.
QImage DecodePicture(PictureReader& reader, bool keepAlpha);
// The picture at 8 bits a channel: ARGB32, or RGB32 when opaque; one of 8 bits as it is.
QImage EightBits(const QImage& picture);

// A picture decoded for a window that shows it scaled down: at 1/reduction of its size (rounded
// up), upright and flattened onto white. fullSize is what the run stamps, upright.
struct ReducedPicture {
    QImage picture;
    QSize fullSize;
    int reduction = 1;
    QByteArray profile; // the colour profile of its pixels, empty for sRGB
};

// The reduction (1, 2, 4 or 8) for a picture of the upright size `full` shown within `room`
// (scaled down to fit it, proportions kept): the largest that leaves the picture at least as
// large as it is shown, so that nothing visible is lost. An empty room shows the picture whole.
int ReductionFor(QSize full, QSize room);

// Decodes the picture reduced for showing within `room`, as ReductionFor chooses: JPEG through
// libjpeg's scaling, a format whose decoder can decode to a size that way, a picture read by rows
// a band at a time scaled as it comes, and any other decoded whole and then scaled. Refused
// beyond maxPixels like DecodePicture. When `stop` turns true the decode gives up at its next
// band with a Failure: the picture is no longer wanted.
ReducedPicture DecodeReducedPicture(const QString& path, QSize room, qint64 maxPixels,
                                    const std::atomic<bool>* stop = nullptr);

// The largest picture a whole-image stamp decodes by default: a quarter of physical memory at
// four bytes a pixel. Streamed pictures need no such limit.
qint64 DefaultMaxPixels();

// The program's LoadPicture: a picture decoded by its content, upright, its alpha flattened onto
// white, under the default ceiling; what the preview's image surface shows.
inline QImage LoadPicture(const QString& path) {
    return DecodePicture(path, false, DefaultMaxPixels());
}
