#pragma once

#include "engine/stamping/textstyle.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <optional>

// Why the font a text mark names cannot be used: a family that is not installed, a font file that
// cannot be read or holds no font. Nothing when it can; a font file is loaded then, once for the
// process. Never a substitute: a mark is drawn in the font named or not at all. Needs a
// QGuiApplication.
std::optional<QString> FontRefusal(const QString& font);

// The text drawn as a mark for a picture of the given (upright) size: ARGB32, not premultiplied,
// cut close around the letters, their outline and their shadow. Its capital letters are
// style.sizePercent of the picture's short edge tall, whatever the text's length; lines are split
// at a newline or a written "\n" and centred. The same inputs give the same pixels. A font that
// FontRefusal refuses draws nothing.
QImage RenderTextMark(const TextStyle& style, const QString& filledText, QSize picture);
