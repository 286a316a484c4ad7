#pragma once

#include <QCursor>
#include <QString>

// A mouse pointer read from a .cur or .ico file that ships beside the program, with the hot spot a
// .cur file carries (an .ico file has none: its pointer takes the centre). The fallback when the
// file is missing or cannot be decoded.
QCursor LoadPointerFile(const QString& path, const QCursor& fallback);
