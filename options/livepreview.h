#pragma once

#include "engine/run/job.h"
#include "engine/stamping/decode.h"

#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QImage>
#include <QLabel>
#include <QTimer>

#include <functional>

// The "More Options" dialog's own preview: the selected picture decoded once, reduced to the
// preview's size on a worker, and the marks stamped on it anew a moment after each change, on the
// window's thread, where a reduced picture takes a few milliseconds.
class LivePreview : public QLabel {
    Q_OBJECT

public:
    // The room of the preview in pixels, and the settle time after a change before it is redrawn:
    // a dragged spin box draws once per pause, not once per step.
    static constexpr QSize kRoom{360, 270};
    static constexpr int kSettleMs = 30;

    LivePreview(std::function<WatermarkJob()> options, std::function<QString()> picture,
                QWidget* parent);

    // Something changed: redraw soon. A different picture is decoded first.
    void changed();
    // Milliseconds from the last change to its picture on the screen; -1 before one.
    qint64 lastRedrawMs() const { return lastRedrawMs_; }

signals:
    void redrawn();

private:
    void redraw();
    void decoded();
    StampMark markFor(const QString& watermark, const TextStyle& text, BgrColor transparent,
                      const StampStyle& style);

    std::function<WatermarkJob()> options_;
    std::function<QString()> picture_;
    QTimer settle_;
    QElapsedTimer sinceChange_;
    qint64 lastRedrawMs_ = -1;
    QString shownPath_;
    ReducedPicture reduced_;
    QFutureWatcher<ReducedPicture> decoding_;
    QString decodingPath_;
    // The watermark picture as last decoded, by path: a change of style does not decode it again.
    QString markPath_;
    BgrColor markTransparent_ = 0;
    int markTolerance_ = -1;
    StampMark mark_;
};
