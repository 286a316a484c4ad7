#pragma once

#include <QObject>
#include <QPersistentModelIndex>
#include <QPoint>

class ImageFileList;
class QTreeWidgetItem;
class QWidget;

// Reordering the list by dragging an entry with the mouse button held: the dragged entry travels
// by exchanging its text with the entry under the pointer, and the list scrolls by one entry when
// the pointer comes near the top or the bottom of the list's visible area.
class ListReorder : public QObject {
    Q_OBJECT

public:
    // The window is the main window, whose busy mark the pointer rule respects.
    ListReorder(ImageFileList* list, QWidget* window);

    void ListView1_MouseDown();
    void ListView1_ItemClick(QTreeWidgetItem* item);
    // The point is in the list's own coordinates (its viewport, where the entries are drawn).
    void ListView1_MouseMove(QPoint point);
    void ListView1_MouseUp();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int dragPosition() const;
    void exchange(int dragPosition, int hoverPosition);
    void scrollNear(QPoint point, int hoverPosition);

    ImageFileList* list_;
    // The list's viewport, kept from the start: while the list is being destroyed its viewport
    // still receives events, and the half-destroyed list must not be asked for it.
    QWidget* viewport_;
    QWidget* window_;

    // From a press in the list until the next release there.
    bool DragActive = false;
    // The entry being moved. A persistent index, because the entry can leave the list (Delete,
    // double-click, "Clear List") while it is held: it then becomes invalid, not dangling, and a
    // later entry cannot take its place by chance.
    QPersistentModelIndex DragItem;
    // The entry under the pointer, held only while one pointer move is handled.
    QTreeWidgetItem* HoverItem = nullptr;
};
