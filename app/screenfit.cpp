#include "app/screenfit.h"

#include <algorithm>

QSize FittedSize(QSize design, QSize room, int scrollBarExtent) {
    const bool tooTall = design.height() > room.height();
    const bool tooWide = design.width() > room.width();
    // A scroll bar along one side takes room from the other, which may then need one too.
    const QSize wanted(design.width() + (tooTall ? scrollBarExtent : 0),
                       design.height() + (tooWide ? scrollBarExtent : 0));
    return wanted.boundedTo(room).expandedTo(QSize(1, 1));
}

QPoint CentredInside(const QRect& area, QSize outerSize) {
    const QPoint centred = area.center() - QPoint(outerSize.width() / 2, outerSize.height() / 2);
    // Where the window is larger than the area, its top-left corner (the title bar) stays on it.
    return {std::max(area.left(), std::min(centred.x(), area.right() + 1 - outerSize.width())),
            std::max(area.top(), std::min(centred.y(), area.bottom() + 1 - outerSize.height()))};
}
