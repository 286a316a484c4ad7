#pragma once

#include <QTreeWidget>

class Prompter;
class QMimeData;

// The list of input images (the control ListView1), shown as a one-column report headed "Image
// File(s)". An entry holds its path text and nothing else; positions count from 1; duplicates are
// allowed; at most one entry is selected. It lives in memory only and is empty at every start.
class ImageFileList : public QTreeWidget {
    Q_OBJECT

public:
    explicit ImageFileList(QWidget* parent = nullptr);

    void append(const QString& path);
    int count() const;
    // The text at a position from 1 to count(); raises a Failure for any other position.
    QString textAt(int position) const;
    void replaceTextAt(int position, const QString& text);
    // The position of the selected entry, or 0 when none is selected.
    int selectedPosition() const;
    void select(int position);
    // Removes the selected entry, unless the window is busy or nothing is selected.
    void removeSelected();
    // Removes every entry, unless the window is busy.
    void clearEntries();
    // True when an entry's text equals the path exactly (case and separators count).
    bool ListContainsPath(const QString& path) const;

    // The busy mark: the main window shows the hourglass while a run or a folder scan works.
    bool isBusy() const;

    void ListView1_KeyDown(int key);
    void ListView1_DblClick();
    // Files and folders dragged from the desktop: a drag is welcome only when it brings files of
    // this machine; a drop adds them in the source's order, a folder with its whole tree, once
    // the drop has returned to the source.
    bool ListView1_OLEDragOver(const QMimeData& data) const;
    void ListView1_OLEDragDrop(const QMimeData& data);

    // Where a failure during a drop is reported; without one it passes silently.
    void setPrompter(Prompter* prompter) { prompter_ = prompter; }

signals:
    // An entry left the list or the list was emptied; a drag in progress must forget its entry.
    void entriesRemoved();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    Prompter* prompter_ = nullptr;
};
