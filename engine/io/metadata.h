#pragma once

// The metadata blocks as the file formats carry them, converted with exiv2. None of these raises:
// metadata exiv2 cannot read is left out, and the picture is stamped without it.

#include "engine/io/picture.h"

#include <QByteArray>
#include <QSize>
#include <QString>
#include <QStringList>

// The EXIF orientation the metadata names, 1 to 8; 1 when it names none or an invalid one.
int OrientationOf(const PictureMetadata& metadata);

// The EXIF orientation that shows a picture as an ISO format's stored transform does: a turn of
// quarterTurns anticlockwise, then a mirror (-1 none, 0 top and bottom exchanged, 1 left and
// right, as HEIF's imir mode says).
int OrientationOfTransform(int quarterTurns, int mirror);

// The orientation the EXIF and XMP of the metadata name, where they name one, set to the one the
// picture's reader applies: a HEIC's, AVIF's or JPEG XL's own transform overrules its EXIF.
void SetOrientation(PictureMetadata& metadata, int orientation);

// The metadata for a stamped copy of the given (upright) size: orientation 1, pixel dimensions
// updated, the EXIF preview thumbnail and any maker note's preview dropped with their pointers.
// With strip, only the colour profile stays. A copy stored turned as its input was keeps the
// orientation, and size is then the stored size.
PictureMetadata MetadataForOutput(const PictureMetadata& input, QSize size, bool strip,
                                  bool keepOrientation = false);

// What the copy's format cannot hold is taken out of its metadata, and the returned notes say what
// went and why: a JPEG segment holds at most 64 KB (XMP is first written again without the room
// a packet keeps for editing), a JPEG's colour profile at most 255 segments, and a PNG only a
// profile that libpng takes (not, for instance, the widespread faulty sRGB profile of 1998).
// WebP, AVIF and JPEG XL hold no IPTC. EXIF tags that had to go to keep the EXIF within a segment
// are named too.
// A JPEG's extended XMP goes into a JPEG copy as it was; any other format takes its properties
// into the one packet. Where nothing of it is left, the packet's pointer to it goes too.
// With stripped, the copy was meant to carry no EXIF, which then goes without a note.
QStringList FitMetadata(const PictureMetadata& input, PictureMetadata& output, PictureFormat format,
                        bool stripped = false);

// The IPTC data sets of the first IPTC resource in Photoshop image resources ("8BIM" blocks);
// empty when there is none.
QByteArray iptcFromPhotoshop(const QByteArray& resources);
// Photoshop image resources holding the IPTC data sets, as JPEG and PNG files carry them.
QByteArray photoshopFromIptc(const QByteArray& iptc);

// The Photoshop image resources a copy keeps as they were: all but the IPTC (rebuilt from the
// IPTC data sets), its checksum and the thumbnails, which show the picture before its stamp.
QByteArray photoshopWithoutIptc(const QByteArray& resources);

// The parts of a JPEG's extended XMP whose GUID the packet's xmpNote:HasExtendedXMP names; none
// when it names none.
QList<QByteArray> extendedXmpOf(const QByteArray& xmp, const QList<QByteArray>& parts);

// A "Raw profile type" text chunk's payload: a line naming the type, the length in decimal, then
// the bytes in hexadecimal. Empty when the text is not one.
QByteArray decodeRawProfile(const QByteArray& text);
QByteArray encodeRawProfile(const QByteArray& data, const char* type);

// The metadata of a file exiv2 reads itself (TIFF); empty for any other.
PictureMetadata readFileMetadata(const QString& path);
// The TIFF file with the metadata written into it; the file as it was when exiv2 cannot.
QByteArray tiffWithMetadata(const QByteArray& tiff, const PictureMetadata& metadata);
