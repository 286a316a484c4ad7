#include "options/livepreview.h"

#include "engine/stamping/compose.h"
#include "engine/stamping/marksource.h"
#include "support/failure.h"

#include <QFileInfo>
#include <QPixmap>
#include <QtConcurrent/QtConcurrentRun>

LivePreview::LivePreview(std::function<WatermarkJob()> options, std::function<QString()> picture,
                         QWidget* parent)
    : QLabel(parent), options_(std::move(options)), picture_(std::move(picture)) {
    setObjectName(QStringLiteral("livePreview"));
    setAccessibleName(QStringLiteral("Preview of the selected picture"));
    setMinimumSize(kRoom);
    setAlignment(Qt::AlignCenter);
    setFrameShape(QFrame::StyledPanel);
    settle_.setSingleShot(true);
    settle_.setInterval(kSettleMs);
    connect(&settle_, &QTimer::timeout, this, &LivePreview::redraw);
    connect(&decoding_, &QFutureWatcherBase::finished, this, &LivePreview::decoded);
}

void LivePreview::changed() {
    if (!settle_.isActive())
        sinceChange_.start();
    settle_.start();
}

void LivePreview::redraw() {
    const QString path = picture_();
    if (path != shownPath_) {
        // A photograph is decoded once, reduced, on a worker; the marks are stamped when it is in.
        if (path != decodingPath_) {
            decodingPath_ = path;
            decoding_.setFuture(QtConcurrent::run([path] {
                try {
                    return DecodeReducedPicture(path, kRoom, DefaultMaxPixels());
                } catch (const Failure&) {
                    return ReducedPicture();
                }
            }));
        }
        return;
    }
    if (reduced_.picture.isNull()) {
        setText(path.isEmpty() ? QStringLiteral("Add a picture to the list to see it here")
                               : QStringLiteral("This picture cannot be shown"));
        return;
    }
    ReducedPicture shown = reduced_;
    shown.picture.detach();
    const WatermarkJob job = options_();
    try {
        const StampMark first =
            markFor(job.WatermarkPath, job.Text, job.TransparentColor, job.Style);
        if (!first.isNull())
            StampOnReduced(shown, first, job.Placement, job.Style);
        for (const MarkLayer& layer : job.MoreMarks) {
            const StampMark further =
                markFor(layer.WatermarkPath, layer.Text, job.TransparentColor, layer.Style);
            if (!further.isNull())
                StampOnReduced(shown, further, layer.Placement, layer.Style);
        }
    } catch (const Failure&) {
        // A mark that cannot be made is the run's to report; the picture shows without it.
    }
    // The reduced decode keeps at least the room's pixels; the rest is scaled away here.
    setPixmap(QPixmap::fromImage(shown.picture.scaled(contentsRect().size(), Qt::KeepAspectRatio,
                                                      Qt::SmoothTransformation)));
    repaint();
    lastRedrawMs_ = sinceChange_.elapsed();
    emit redrawn();
}

void LivePreview::decoded() {
    if (decoding_.future().isCanceled())
        return;
    reduced_ = decoding_.result();
    shownPath_ = decodingPath_;
    decodingPath_.clear();
    redraw();
}

StampMark LivePreview::markFor(const QString& watermark, const TextStyle& text,
                               BgrColor transparent, const StampStyle& style) {
    if (!text.text.isEmpty()) {
        // A text takes the size its style gives it, whatever the scale.
        StampStyle textStyle = style;
        textStyle.scale = 0;
        return StampMark(PixelsMarkSource(TextMarkFor(text, shownPath_, reduced_.fullSize)),
                         textStyle);
    }
    if (watermark.isEmpty() || !QFileInfo(watermark).isFile())
        return {};
    // The file is read once; a change of style makes the same pixels into another mark.
    if (watermark != markPath_ || transparent != markTransparent_ ||
        style.keyTolerance != markTolerance_) {
        mark_ = LoadMark(watermark, transparent, style, DefaultMaxPixels());
        markPath_ = watermark;
        markTransparent_ = transparent;
        markTolerance_ = style.keyTolerance;
    }
    return StampMark(mark_.source(), style);
}
