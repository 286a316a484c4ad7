#include "options/colorswatch.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyleOptionFocusRect>
#include <QStylePainter>

ColorSwatch::ColorSwatch(QWidget* parent) : QFrame(parent) {
    setFrameShape(QFrame::Panel);
    setFrameShadow(QFrame::Sunken);
    setAutoFillBackground(true);
    // A tab stop of the window like any control, so that the keyboard reaches the colour too.
    setFocusPolicy(Qt::StrongFocus);
    setColor(kWhite);
}

void ColorSwatch::setColor(BgrColor color) {
    color_ = color;
    QPalette swatch = palette();
    swatch.setColor(QPalette::Window, BgrToQColor(color));
    setPalette(swatch);
}

void ColorSwatch::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
    QFrame::mouseReleaseEvent(event);
}

void ColorSwatch::keyPressEvent(QKeyEvent* event) {
    // The keys that press a push button; a held key asks once.
    const int key = event->key();
    if (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) {
        if (!event->isAutoRepeat())
            emit clicked();
        event->accept();
        return;
    }
    QFrame::keyPressEvent(event);
}

void ColorSwatch::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    if (!hasFocus())
        return;
    // The desktop style's own focus mark, inside the sunken edge.
    QStylePainter painter(this);
    QStyleOptionFocusRect focus;
    focus.initFrom(this);
    focus.rect = contentsRect().adjusted(2, 2, -2, -2);
    focus.backgroundColor = palette().color(QPalette::Window);
    painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
}
