#pragma once

#include "engine/stamping/surface.h"

#include <QImage>
#include <QWidget>

// The composing surface's picture area: shows the surface's backing bitmap at the top-left corner
// of the preview window, at one image pixel per screen pixel or scaled down to a smaller size.
class PreviewArea : public QWidget {
    Q_OBJECT

public:
    explicit PreviewArea(QWidget* parent);

    Surface& surface() { return surface_; }
    // Takes the given size and repaints; called after every compose onto the surface. A size
    // smaller than the surface's shows the picture smoothly scaled to it.
    void refresh(QSize shownSize);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Surface surface_;
    // The picture scaled to the area, made once per compose; null when it is shown unscaled.
    QImage scaled_;
};

// The preview window "Preview": holds the composing surface that the preview and the run share.
// It is created hidden, shown without owner and not modal, and destroyed when the user closes it.
class Form2 : public QWidget {
    Q_OBJECT

public:
    Form2();

    PreviewArea* pPreview() const { return pPreview_; }
    Surface& surface() { return pPreview_->surface(); }

    // Fits the window to the composed image: the inside of the window is exactly the image, or,
    // for an image larger than the screen's available area (less the window's frame), the image
    // scaled down to fit it with its proportions kept. A shown window is kept on the screen.
    void fitToImage();
    // Shows the window without owner and not modal. The first showing after the window was
    // created centres it on the screen; later ones leave it where the user put it, as far as it
    // stays on the screen.
    void showPreview();
    // The most of a picture the window shows unscaled: the screen's available area less the
    // window's frame; empty when no screen is known.
    QSize pictureRoom() const;

protected:
    bool event(QEvent* event) override;

private:
    QRect availableArea() const;
    // What the window manager's frame and title bar add to the window, once known.
    QSize frameSize() const;
    // Fits the window again when its frame has become known or changed since the last fit.
    void refitToFrame();
    void centreOnScreen();
    void keepOnScreen();

    PreviewArea* pPreview_;
    bool shownBefore_ = false;
    QSize fittedFrame_;
};
