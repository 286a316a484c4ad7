#pragma once

#include <QCursor>
#include <QObject>
#include <QString>

class QWidget;

// The optional skin beside the program: a Qt style sheet.
inline const QString kSkinFile = QStringLiteral("/x/o.cjs");
inline const QString kHandPointerFile = QStringLiteral("/HAND-M.CUR");

// The desktop's colour for the faces of buttons and panels.
QColor FaceColor();

// Fills the widget's own background with the colour (buttons paint theirs in the button role) and
// gives its text a colour that reads on it.
void PaintBackground(QWidget* widget, const QColor& color);

// Gives the window and its option buttons, check boxes, frames and labels the face colour; the
// other controls keep theirs.
void ApplyFaceColors(QWidget* window);

// When the skin file ships beside the program: the face colours, then the style sheet. Raises a
// Failure when the file is there but cannot be read. Without it the window stays white.
void ApplySkin(QWidget* window);

// The pointer convention of the main window: a hand over the push buttons, the arrow over the
// window, its frames and the list, and the busy hourglass left alone wherever the pointer goes.
class PointerRules : public QObject {
    Q_OBJECT

public:
    PointerRules(QWidget* window, QCursor hand);

    void watchButton(QWidget* button);
    void watchSurface(QWidget* surface);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* window_;
    QCursor hand_;
};
