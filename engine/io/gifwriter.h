#pragma once

#include <QString>

class QImage;
class QIODevice;

// Writes the picture as a GIF with its own colours when it has at most 256, reduced to the 256
// that represent it best otherwise. Pixels with alpha below 128 become the transparent colour.
// Returns false, with the reason in errorText, when it cannot. Never raises.
bool encodeGif(const QImage& image, QIODevice& device, QString& errorText);

// giflib's words for one of its error codes.
QString gifErrorText(int code);
