#pragma once

#include "engine/surface.h"

#include <QWidget>
#include <functional>

inline const QString kInvalidWatermarkPathMessage =
    QStringLiteral("The selected watermark path is not valid.");

// The composing surface's picture area: shows the surface's backing bitmap at one image pixel per
// screen pixel, at the top-left corner of the preview window.
class PreviewArea : public QWidget {
    Q_OBJECT

public:
    explicit PreviewArea(QWidget* parent);

    Surface& surface() { return surface_; }
    // Takes the surface's size and repaints; called after every compose onto it.
    void refresh();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Surface surface_;
};

// The preview window "Preview": holds the composing surface that the preview and the run share.
// It is created hidden, shown without owner and not modal, and destroyed when the user closes it.
class Form2 : public QWidget {
    Q_OBJECT

public:
    Form2();

    PreviewArea* pPreview() const { return pPreview_; }
    Surface& surface() { return pPreview_->surface(); }

    // Fits the window to the composed image: 4 pixels wider and 26 pixels taller than it.
    void fitToImage();
    // Shows the window without owner and not modal. The first showing after the window was
    // created centres it on the screen; later ones leave it where the user put it.
    void showPreview();

protected:
    bool event(QEvent* event) override;

private:
    void centreOnScreen();

    PreviewArea* pPreview_;
    bool shownBefore_ = false;
};

class Prompter;
struct WatermarkJob;

// The preview of one image: composes it exactly as the run does onto the preview window's surface
// and shows that window, fitted to the image, without owner and not modal. An empty image path
// (nothing selected) fails to load and is reported; the window is shown all the same. A watermark
// path that names no file is answered by its own message and nothing else happens.
void PreviewWatermark(const QString& imagePath, const WatermarkJob& options,
                      Surface& watermarkSurface, const std::function<Form2*()>& form2,
                      Prompter& prompter);
