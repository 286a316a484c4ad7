#pragma once

#include <QTreeWidget>

// The list of input images, shown as a one-column report headed "Image File(s)". An entry holds
// its path text and nothing else; positions count from 1; duplicates are allowed; at most one
// entry is selected. It lives in memory only and is empty at every start.
class ListView1 : public QTreeWidget {
    Q_OBJECT

public:
    explicit ListView1(QWidget* parent = nullptr);

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

signals:
    // An entry left the list or the list was emptied; a drag in progress must forget its entry.
    void entriesRemoved();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};
