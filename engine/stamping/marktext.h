#pragma once

// The variables of a mark's text, "{artist|anon} {date:%Y}", filled for each picture. Output
// names may take the same variables.

#include "engine/io/picturefacts.h"

#include <QDateTime>
#include <QSize>
#include <QString>
#include <QStringList>

// What one picture fills the variables with.
struct MarkTextValues {
    QString path;
    int place = 1; // the picture's place in the list, from 1
    PictureFacts facts;
    QDateTime modified; // the file's; the date when the EXIF has none
    QSize upright;
};

struct FilledMarkText {
    QString text;
    QStringList empty; // the variables that came out empty without a fallback, as written
};

// Why the text cannot be filled: an unknown variable, a format given to a variable that takes
// none, or a brace without its partner. The empty text when it can.
QString MarkTextRefusal(const QString& pattern);

// The text with its variables filled; a pattern that MarkTextRefusal refuses leaves the faulty
// part as written.
FilledMarkText FillMarkText(const QString& pattern, const MarkTextValues& values);

// Whether filling the pattern needs more than the file's name and place: its EXIF, time or size.
bool MarkTextNeedsPicture(const QString& pattern);

// The note for a picture whose variables came out empty.
QString EmptyVariablesNote(const QStringList& empty);
