#pragma once

// What a picture's EXIF says of the photo, as a person would write it in a mark's text:
// "Canon EOS R5", "f/2.8", "1/250 s", "35 mm". Nothing raises: a fact the EXIF does not hold, or
// holds in a form that cannot be read, is empty.

#include "engine/io/picture.h"

#include <QDateTime>
#include <QString>

struct PictureFacts {
    QDateTime taken; // DateTimeOriginal, as the camera's clock showed it; invalid when absent
    QString artist;
    QString copyright;
    QString camera; // make and model, the make written once
    QString lens;
    QString iso;
    QString aperture;
    QString exposure;
    QString focal;
};

PictureFacts FactsOf(const PictureMetadata& metadata);
