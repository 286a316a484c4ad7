#include "options/colorswatch.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

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
    // The focus mark is a ring inside the sunken edge, never over the colour itself: the style's
    // own mark tints the whole area and would misstate the colour. The outer ring has the
    // selection colour, the inner one stands out from the swatch's colour, whatever it is.
    QPainter painter(this);
    const QRect inside = contentsRect();
    const QColor shown = palette().color(QPalette::Window);
    painter.setPen(
        QPen(palette().color(QPalette::Highlight), 2, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    painter.drawRect(QRectF(inside).adjusted(1, 1, -1, -1));
    painter.setPen(shown.lightness() > 127 ? Qt::black : Qt::white);
    painter.drawRect(inside.adjusted(2, 2, -3, -3));
}
