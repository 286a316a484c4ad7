#include "options/colorswatch.h"

#include <QMouseEvent>

ColorSwatch::ColorSwatch(QWidget* parent) : QFrame(parent) {
    setFrameShape(QFrame::Panel);
    setFrameShadow(QFrame::Sunken);
    setAutoFillBackground(true);
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
