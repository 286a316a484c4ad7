#pragma once

// The one way a whole picture is decoded for the engine's users: the preview, a whole-image
// stamp, the watermark and the tests. Streaming stamps read rows from PictureReader instead.

#include <QImage>
#include <QString>

class PictureReader;

// A picture decoded for the screen or a whole-image stamp: oriented as a person sees it, with
// its own alpha kept or flattened onto white. Raises a Failure naming the file, also when the
// picture's pixels would need more than maxPixels.
QImage DecodePicture(const QString& path, bool keepAlpha, qint64 maxPixels);
// The same from a reader already open whose rows were not read yet, for a caller that checked
// its size itself.
QImage DecodePicture(PictureReader& reader, bool keepAlpha);

// The largest picture a whole-image stamp decodes by default: a quarter of physical memory at
// four bytes a pixel. Streamed pictures need no such limit.
qint64 DefaultMaxPixels();

// The program's LoadPicture: a picture decoded by its content, upright, its alpha flattened onto
// white, under the default ceiling; what the preview's image surface shows.
inline QImage LoadPicture(const QString& path) {
    return DecodePicture(path, false, DefaultMaxPixels());
}
