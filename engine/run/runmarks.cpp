// The run's marks: their files decoded once, each sized once for each picture size met.
#include "engine/run/runmarks.h"

#include "engine/io/colourprofile.h"

#include <QMutexLocker>

namespace {
constexpr qint64 kBytesPerPixel = 4;
// A mark up to this size is kept for the next picture of the same size.
constexpr qint64 kKeptMarkBytes = 16 * 1024 * 1024;
} // namespace

RunWatermark::RunWatermark(const WatermarkJob& job, qint64 maxPixels) {
    RunMarkLayer first{{}, job.Text, job.Placement, job.Style};
    if (job.Text.text.isEmpty())
        first.mark = LoadMark(job.WatermarkPath, job.TransparentColor, job.Style, maxPixels);
    layers_ << first;
    for (const MarkLayer& more : job.MoreMarks) {
        RunMarkLayer layer{{}, more.Text, more.Placement, more.Style};
        if (more.Text.text.isEmpty())
            layer.mark = LoadMark(more.WatermarkPath, job.TransparentColor, more.Style, maxPixels);
        layers_ << layer;
    }
}

RunWatermark::RunWatermark(const QString& path, BgrColor transparent, const StampStyle& style,
                           qint64 maxPixels)
    : RunWatermark(StampMark(LoadMark(path, transparent, style, maxPixels))) {}

RunWatermark::RunWatermark(StampMark mark) {
    layers_ << RunMarkLayer{mark, {}, 0, mark.style()};
}

StampMark RunWatermark::kept(qsizetype layer, QSize picture, const QByteArray& profile) {
    QMutexLocker lock(&mutex_);
    const StampMark& mark = layers_.at(layer).mark;
    // The colours the mark ends in: its own when the picture's give the same.
    const QByteArray& colours = ConvertsColours(mark.profile(), profile) ? profile : mark.profile();
    const auto key = std::tuple(layer, picture.width(), picture.height(), colours);
    auto found = bySize_.find(key);
    if (found == bySize_.end()) {
        // A run meets few sizes; a handful of sizes is all a camera's pictures take.
        constexpr size_t kKeptSizes = 8;
        if (bySize_.size() >= kKeptSizes * size_t(layers_.size()))
            bySize_.clear();
        found = bySize_.emplace(key, mark.forPicture(picture).inColours(profile)).first;
    }
    return found->second;
}

StampMark RunWatermark::forPicture(qsizetype layer, QSize picture, QRect visible,
                                   const QByteArray& profile) {
    const StampMark& mark = layers_.at(layer).mark;
    const QSize whole = mark.sizeFor(picture);
    const qint64 wholeBytes = qint64(whole.width()) * whole.height() * kBytesPerPixel;
    const qint64 visibleBytes = qint64(visible.width()) * visible.height() * kBytesPerPixel;
    if (wholeBytes <= kKeptMarkBytes)
        return kept(layer, picture, profile);
    // Made for this picture alone, counted in its admission; a partly visible one is cut.
    return mark
        .partForPicture(picture, visibleBytes < wholeBytes ? visible : QRect(QPoint(0, 0), whole))
        .inColours(profile);
}
