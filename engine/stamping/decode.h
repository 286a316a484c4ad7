#pragma once

// The one way a whole picture is decoded for the engine's users: the preview, a whole-image
// stamp, the watermark and the tests. Streaming stamps read rows from PictureReader instead.

#include <QImage>
#include <QString>

// A picture decoded for the screen or a whole-image stamp: oriented as a person sees it, with
// its own alpha kept or flattened onto white. Raises a Failure naming the file, also when the
// picture's pixels would need more than maxPixels.
QImage DecodePicture(const QString& path, bool keepAlpha, qint64 maxPixels);

// The largest picture a whole-image stamp decodes by default: a quarter of physical memory at
// four bytes a pixel. Streamed pictures need no such limit.
qint64 DefaultMaxPixels();
