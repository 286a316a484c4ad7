#include "filelist/dragreorder.h"

#include "filelist/imagelist.h"
#include "support/paths.h"
#include "support/pointerfile.h"

#include <QCursor>
#include <QMouseEvent>

namespace {
const QString kDragPointerFile = QStringLiteral("/drag.ico");

// The drag pointer beside the program, read afresh each time so that a replaced file shows at the
// next click; the arrow when the file is missing or cannot be decoded.
QCursor DragPointer() {
    return LoadPointerFile(ProgramFolder() + kDragPointerFile, QCursor(Qt::ArrowCursor));
}
} // namespace

ListReorder::ListReorder(ImageFileList* list, QWidget* window)
    : QObject(list), list_(list), viewport_(list->viewport()), window_(window) {
    // The pointer rule of a move holds whether or not a button is down.
    viewport_->setMouseTracking(true);
    viewport_->installEventFilter(this);
    connect(list_, &QTreeWidget::itemPressed, this,
            [this](QTreeWidgetItem* item) { ListView1_ItemClick(item); });
}

bool ListReorder::eventFilter(QObject* watched, QEvent* event) {
    if (watched != viewport_)
        return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        ListView1_MouseDown();
        return false;
    case QEvent::MouseButtonRelease:
        ListView1_MouseUp();
        return false;
    case QEvent::MouseMove: {
        const bool dragging = DragActive;
        ListView1_MouseMove(static_cast<QMouseEvent*>(event)->position().toPoint());
        // While the button is held the drag owns the pointer: the list's own drag selection and
        // automatic scrolling would move the selection and the view behind the exchange's back.
        return dragging;
    }
    default:
        return false;
    }
}

void ListReorder::ListView1_MouseDown() {
    DragActive = true;
}

void ListReorder::ListView1_ItemClick(QTreeWidgetItem*) {
    viewport_->setCursor(DragPointer());
    // The entry moves by exchanging texts, never by the list's own drag of entries out of it;
    // dropping files onto the list stays as it is.
    list_->setDragEnabled(false);
    const int selected = list_->selectedPosition();
    DragItem = selected > 0 ? QPersistentModelIndex(list_->model()->index(selected - 1, 0))
                            : QPersistentModelIndex();
}

void ListReorder::ListView1_MouseUp() {
    DragActive = false;
    viewport_->setCursor(Qt::ArrowCursor);
}

void ListReorder::ListView1_MouseMove(QPoint point) {
    if (window_ && window_->cursor().shape() != Qt::WaitCursor)
        window_->setCursor(Qt::ArrowCursor);
    if (!DragActive)
        return;
    HoverItem = list_->itemAt(point);
    const int from = dragPosition();
    if (HoverItem && from > 0) {
        const int to = list_->indexOfTopLevelItem(HoverItem) + 1;
        if (list_->textAt(from) != list_->textAt(to)) {
            exchange(from, to);
            scrollNear(point, to);
        }
    }
    HoverItem = nullptr;
}

int ListReorder::dragPosition() const {
    // An entry that has left the list leaves no dragged entry until the next click on one.
    return DragItem.isValid() ? DragItem.row() + 1 : 0;
}

void ListReorder::exchange(int dragPosition, int hoverPosition) {
    const QString moved = list_->textAt(dragPosition);
    list_->replaceTextAt(dragPosition, list_->textAt(hoverPosition));
    list_->replaceTextAt(hoverPosition, moved);
    list_->select(hoverPosition);
    DragItem = QPersistentModelIndex(list_->model()->index(hoverPosition - 1, 0));
}

void ListReorder::scrollNear(QPoint point, int hoverPosition) {
    // Near an edge of the visible area, within one entry's height, the next entry beyond it comes
    // into view, so that the drag can carry on past the edge.
    const int rowHeight = list_->visualItemRect(list_->topLevelItem(hoverPosition - 1)).height();
    const int visibleHeight = viewport_->height();
    if (point.y() < rowHeight && hoverPosition >= 2)
        list_->scrollToItem(list_->topLevelItem(hoverPosition - 2));
    else if (point.y() >= visibleHeight - rowHeight && hoverPosition + 1 <= list_->count())
        list_->scrollToItem(list_->topLevelItem(hoverPosition));
}
