#pragma once

// The geometry of a mark on one picture: its size as a share of the picture, its turn, its margin
// and where its copies go, placed once or tiled over the whole picture.

#include "engine/stamping/stamp.h"

#include <QImage>
#include <QPoint>
#include <QSize>

#include <vector>

// The margin in pixels the style keeps on a picture of this size: its percentage of the short
// edge when it gives one, else its pixels (kUsualMargins for the usual ones).
int MarginFor(const StampStyle& style, QSize picture);

// The mark's size on the picture before it is turned: its own size without a scale; with one, the
// share of the picture's measure that the style's scaleOf names, the aspect kept. A tiled mark
// that is turned by a quarter or not at all is sized to a box of the picture's parity, so that
// its pattern can lie exactly symmetric about the picture's centre.
QSize DrawnSize(QSize own, QSize picture, const StampStyle& style);

// The box of a mark of that size turned by the style's angle. A tiled mark turned by other than a
// quarter gets a box of the picture's parity, the mark drawn at its centre.
QSize TurnedBox(QSize drawn, QSize picture, const StampStyle& style);

// The angle in degrees, counter-clockwise, from 0 up to 360.
double NormalTurn(double degrees);

// The mark turned counter-clockwise into its box: exactly, pixel for pixel, by a quarter turn;
// by other angles with bilinear sampling and soft, anti-aliased edges. ARGB32 in and out. Raises
// a Failure when the turned mark cannot be had.
QImage TurnedMark(const QImage& argb, double degrees, QSize box);

// The top-left corners of the mark's copies on the picture, top to bottom: one for the placement
// (its margin kept from the edges it is placed against), or, with a tile, every copy of a grid
// centred on the picture's centre that meets the picture, turned with the mark about the centre.
// `drawn` is the mark's size before its turn, `box` after it.
std::vector<QPoint> MarkPlaces(int placement, QSize picture, QSize drawn, QSize box,
                               const StampStyle& style);
