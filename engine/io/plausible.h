#pragma once

#include "engine/io/picture.h"

#include <QSize>
#include <QString>

// Every format spends some least number of bits on its pixels, so a file of a given size can hold
// only so many of them. A header that declares more describes a picture the file cannot hold:
// such a file is refused from its header, before any memory is set aside for its pixels.

// The most pixels a file of the format and size can hold, or -1 where the format sets no bound
// the program relies on. `header` is the file's first bytes, which tell how densely the format's
// own fields (PNG's bit depth, BMP's compression) let it pack the picture; `arithmetic` and
// `progressive` say how a JPEG is coded.
struct PictureCoding {
    PictureFormat format = PictureFormat::Other;
    qint64 fileBytes = 0;
    QByteArray header;
    bool progressive = false;
    bool arithmetic = false;
};
qint64 MostPixelsHeld(const PictureCoding& coding);

// What the bound needs to know of an open file of the format, read from its descriptor without
// moving its position. Raises a Failure with the system's reason.
PictureCoding CodingOf(int fd, PictureFormat format);

// Raises a Failure saying that the picture declares more pixels than its file can hold, when it
// does.
void CheckPlausibleSize(int fd, PictureFormat format, QSize size);

QString ImplausibleSizeText(QSize size, qint64 fileBytes);
