#include "filelist/imagelist.h"

#include "filelist/addfiles.h"

#include "support/failure.h"
#include "support/geometry.h"

#include <QDropEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>

#include <cerrno>

namespace {
const QString kColumnHeading = QStringLiteral("Image File(s)");
const QString kToolTip = QStringLiteral("Drag and drop files here. Double-click item to remove it. "
                                        "Move | line to right and out of window to reveal full "
                                        "names.");
constexpr int kColumnWidthTwips = 7000;

// The list only takes the names of dropped files. Answering "move" could let the source delete
// its files once the drop succeeded, so the list answers "copy" (or "link") whenever the source
// allows it, whatever it proposed.
void AcceptAsCopy(QDropEvent* event) {
    const Qt::DropActions possible = event->possibleActions();
    if (possible.testFlag(Qt::CopyAction)) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else if (possible.testFlag(Qt::LinkAction)) {
        event->setDropAction(Qt::LinkAction);
        event->accept();
    } else {
        event->acceptProposedAction();
    }
}
} // namespace

ImageFileList::ImageFileList(QWidget* parent) : QTreeWidget(parent) {
    setObjectName(QStringLiteral("ListView1"));
    setColumnCount(1);
    setHeaderLabels({kColumnHeading});
    setColumnWidth(0, TwipsToPixels(kColumnWidthTwips));
    header()->setStretchLastSection(false);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setToolTip(kToolTip);
    QFont listFont(QStringLiteral("Arial"), 9);
    listFont.setBold(true);
    setFont(listFont);
    setAcceptDrops(true);
}

void ImageFileList::append(const QString& path) {
    addTopLevelItem(new QTreeWidgetItem(QStringList{path}));
}

int ImageFileList::count() const {
    return topLevelItemCount();
}

QString ImageFileList::textAt(int position) const {
    const QTreeWidgetItem* entry = topLevelItem(position - 1);
    if (position < 1 || !entry)
        throw Failure(SystemErrorText(ERANGE));
    return entry->text(0);
}

void ImageFileList::replaceTextAt(int position, const QString& text) {
    QTreeWidgetItem* entry = topLevelItem(position - 1);
    if (position < 1 || !entry)
        throw Failure(SystemErrorText(ERANGE));
    entry->setText(0, text);
}

int ImageFileList::selectedPosition() const {
    QTreeWidgetItem* entry = currentItem();
    return entry && entry->isSelected() ? indexOfTopLevelItem(entry) + 1 : 0;
}

void ImageFileList::select(int position) {
    QTreeWidgetItem* entry = topLevelItem(position - 1);
    if (position < 1 || !entry)
        return;
    setCurrentItem(entry);
}

void ImageFileList::removeSelected() {
    if (isBusy() || count() == 0)
        return;
    const int position = selectedPosition();
    if (position == 0)
        return;
    delete takeTopLevelItem(position - 1);
    emit entriesRemoved();
}

void ImageFileList::clearEntries() {
    if (isBusy())
        return;
    clear();
    emit entriesRemoved();
}

bool ImageFileList::ListContainsPath(const QString& path) const {
    bool found = false;
    for (int i = 0; i < topLevelItemCount(); ++i)
        found = found || topLevelItem(i)->text(0) == path;
    return found;
}

bool ImageFileList::isBusy() const {
    return window()->cursor().shape() == Qt::WaitCursor;
}

void ImageFileList::ListView1_KeyDown(int key) {
    if (key == Qt::Key_Delete)
        removeSelected();
}

void ImageFileList::ListView1_DblClick() {
    removeSelected();
}

void ImageFileList::keyPressEvent(QKeyEvent* event) {
    // Delete removes the selected entry whatever modifier is held with it.
    if (event->key() == Qt::Key_Delete) {
        ListView1_KeyDown(event->key());
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

void ImageFileList::mouseDoubleClickEvent(QMouseEvent* event) {
    // The double-click acts on the selected entry as the list reports it, not on the entry under
    // the pointer; the press before it has normally just selected that entry.
    event->accept();
    ListView1_DblClick();
}

bool ImageFileList::ListView1_OLEDragOver(const QMimeData& data) const {
    return OffersLocalFiles(data);
}

void ImageFileList::ListView1_OLEDragDrop(const QMimeData& data) {
    // The drop is answered first and the files are added just after it: a folder's scan, and
    // the note it may end with, would otherwise hold the other program's drag until the box is
    // closed. The paths are read now, as the source's data need not outlive the drop.
    QMetaObject::invokeMethod(
        this, [this, paths = DroppedLocalPaths(data)] { AddDroppedPaths(*this, paths, prompter_); },
        Qt::QueuedConnection);
}

// The list handles desktop drops itself: the item view's own handling would look for its internal
// entry format and refuse file lists. The position of the drag plays no part.
void ImageFileList::dragEnterEvent(QDragEnterEvent* event) {
    dragMoveEvent(event);
}

void ImageFileList::dragMoveEvent(QDragMoveEvent* event) {
    if (ListView1_OLEDragOver(*event->mimeData()))
        AcceptAsCopy(event);
    else
        event->ignore();
}

void ImageFileList::dropEvent(QDropEvent* event) {
    if (!ListView1_OLEDragOver(*event->mimeData())) {
        event->ignore();
        return;
    }
    AcceptAsCopy(event);
    ListView1_OLEDragDrop(*event->mimeData());
}
