#pragma once

// The pieces of metadata that tie one block to another: a maker note's pointers to the camera's
// preview, and the main XMP packet's pointer to its extension. metadata.cpp keeps them true in
// every copy. Those that use exiv2 raise what exiv2 raises; the caller guards them.

#include <QByteArray>
#include <QList>

#include <string>

// Sets up exiv2's XMP toolkit once for every thread (metadata.cpp).
void ensureExiv2();

// Whether an EXIF tag of a maker note holds or points at the camera's preview of the picture
// (exiv2's group and tag names): a copy keeps neither the preview, which shows the picture before
// its stamp, nor a pointer to it.
bool isMakerNotePreview(const std::string& group, const std::string& tag);

// The packet with the properties of its extension taken in and its pointer to it gone; the packet
// without the pointer alone when the extension cannot be put together.
QByteArray xmpJoinedWithExtension(const QByteArray& xmp, const QList<QByteArray>& parts);

// The packet without xmpNote:HasExtendedXMP; the packet as it was when it names none.
QByteArray xmpWithoutExtensionPointer(const QByteArray& xmp);
