#pragma once

#include <QString>

class QImage;

inline const QString kMimeJpeg = QStringLiteral("image/jpeg");
inline const QString kMimeGif = QStringLiteral("image/gif");
inline const QString kMimePng = QStringLiteral("image/png");
inline const QString kMimeTiff = QStringLiteral("image/tiff");

// Identifies one encoder of the encoder table; -1 names none.
struct EncoderClsid {
    int index = -1;
};

// Finds the encoder for a MIME type, compared without regard to case. Leaves the id as it was and
// returns false when no encoder writes that type.
bool LookupEncoderClsid(const QString& mimeType, EncoderClsid& clsid);

// Writes the bitmap with the encoder for the MIME type (JPEG at quality 75, PNG, TIFF, or GIF with
// a palette of at most 256 colours). Returns false, with the reason in errorText, when no encoder
// exists or the write fails. Never raises.
//
// Every write goes to a temporary file in the target folder that replaces the target only when it
// is complete, so a failed write leaves neither a truncated file nor a damaged earlier one.
bool SaveBitmapWithEncoder(const QImage& bitmap, const QString& path, const QString& mimeType,
                           QString* errorText = nullptr);

// Writes the bitmap as a 24-bit BMP file, replacing the target only when complete. Raises a
// Failure with the reason when it cannot.
void SavePicture(const QImage& bitmap, const QString& path);
