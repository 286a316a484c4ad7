#pragma once

#include "support/color.h"

#include <QFrame>

// The transparent-colour swatch: a plain area showing the colour that is left out of the
// watermark. A click on it asks for another colour.
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

private:
    BgrColor color_ = kWhite;
};
