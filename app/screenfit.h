#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

// How a window of a designed size fits a screen's available area, at any scale factor: the
// designed size when it fits, else as much as there is room for, with scroll bars (of the given
// extent) where the content is cut; and where the window goes so that all of it, its frame and
// title bar included, is on the screen, centred where it can be.
QSize FittedSize(QSize design, QSize room, int scrollBarExtent);
QPoint CentredInside(const QRect& area, QSize outerSize);
