#pragma once

#include "support/color.h"

#include <QFrame>

// The transparent-colour swatch: a plain area showing the colour that is left out of the
// watermark. A click on it, or Space or Return while it has the keyboard focus, asks for another
// colour.
class ColorSwatch : public QFrame {
    Q_OBJECT

public:
    explicit ColorSwatch(QWidget* parent = nullptr);

    BgrColor color() const { return color_; }
    void setColor(BgrColor color);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    BgrColor color_ = kWhite;
};
