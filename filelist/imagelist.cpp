#include "filelist/imagelist.h"

#include "support/failure.h"
#include "support/geometry.h"

#include <QHeaderView>
#include <QKeyEvent>

#include <cerrno>

namespace {
const QString kColumnHeading = QStringLiteral("Image File(s)");
const QString kToolTip = QStringLiteral("Drag and drop files here. Double-click item to remove it. "
                                        "Move | line to right and out of window to reveal full "
                                        "names.");
constexpr int kColumnWidthTwips = 7000;
} // namespace

ListView1::ListView1(QWidget* parent) : QTreeWidget(parent) {
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

void ListView1::append(const QString& path) {
    addTopLevelItem(new QTreeWidgetItem(QStringList{path}));
}

int ListView1::count() const {
    return topLevelItemCount();
}

QString ListView1::textAt(int position) const {
    const QTreeWidgetItem* entry = topLevelItem(position - 1);
    if (position < 1 || !entry)
        throw Failure(SystemErrorText(ERANGE));
    return entry->text(0);
}

void ListView1::replaceTextAt(int position, const QString& text) {
    QTreeWidgetItem* entry = topLevelItem(position - 1);
    if (position < 1 || !entry)
        throw Failure(SystemErrorText(ERANGE));
    entry->setText(0, text);
}

int ListView1::selectedPosition() const {
    QTreeWidgetItem* entry = currentItem();
    return entry && entry->isSelected() ? indexOfTopLevelItem(entry) + 1 : 0;
}

void ListView1::select(int position) {
    QTreeWidgetItem* entry = topLevelItem(position - 1);
    if (position < 1 || !entry)
        return;
    setCurrentItem(entry);
}

void ListView1::removeSelected() {
    if (isBusy() || count() == 0)
        return;
    const int position = selectedPosition();
    if (position == 0)
        return;
    delete takeTopLevelItem(position - 1);
    emit entriesRemoved();
}

void ListView1::clearEntries() {
    if (isBusy())
        return;
    clear();
    emit entriesRemoved();
}

bool ListView1::ListContainsPath(const QString& path) const {
    bool found = false;
    for (int i = 0; i < topLevelItemCount(); ++i)
        found = found || topLevelItem(i)->text(0) == path;
    return found;
}

bool ListView1::isBusy() const {
    return window()->cursor().shape() == Qt::WaitCursor;
}

void ListView1::ListView1_KeyDown(int key) {
    if (key == Qt::Key_Delete)
        removeSelected();
}

void ListView1::ListView1_DblClick() {
    removeSelected();
}

void ListView1::keyPressEvent(QKeyEvent* event) {
    // Delete removes the selected entry whatever modifier is held with it.
    if (event->key() == Qt::Key_Delete) {
        ListView1_KeyDown(event->key());
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

void ListView1::mouseDoubleClickEvent(QMouseEvent* event) {
    // The double-click acts on the selected entry as the list reports it, not on the entry under
    // the pointer; the press before it has normally just selected that entry.
    event->accept();
    ListView1_DblClick();
}
