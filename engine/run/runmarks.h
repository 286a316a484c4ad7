#pragma once

#include "engine/run/job.h"
#include "engine/stamping/stamp.h"
#include "engine/stamping/textstyle.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QRect>
#include <QSize>

#include <map>
#include <tuple>

// One mark of a run: where its pixels come from and how it is placed. A text is drawn for each
// picture; a picture or SVG mark is made once and sized for each picture size.
struct RunMarkLayer {
    StampMark mark; // a picture or an SVG, unsized; null for a text
    TextStyle text; // the text drawn for each picture, when not empty
    int placement = 0;
    StampStyle style;
};

// The marks of a run, their files decoded once and shared by every worker: the first mark, placed
// as each request says, and the further ones over it in their order, each with its own placement
// and style. A mark is sized once for each picture size met, not once per picture.
class RunWatermark {
public:
    // The job's marks: its watermark file or its text, then its further marks. A raster picture
    // is refused like any picture above maxPixels. Raises a Failure naming the file.
    RunWatermark(const WatermarkJob& job, qint64 maxPixels);
    // One watermark file: a raster picture or an SVG.
    RunWatermark(const QString& path, BgrColor transparent, const StampStyle& style,
                 qint64 maxPixels);
    explicit RunWatermark(StampMark mark);

    const QList<RunMarkLayer>& layers() const { return layers_; }
    // The first mark's box on a picture of that upright size.
    QSize sizeFor(QSize picture) const { return layers_.front().mark.sizeFor(picture); }
    // A picture or SVG mark for a picture of the given upright size where only `visible` of it
    // lands on the picture, in the picture's colours (its pixels' colour profile, empty for
    // sRGB). A mark much larger than its visible part is made only there, and is not kept for
    // others.
    StampMark forPicture(qsizetype layer, QSize picture, QRect visible,
                         const QByteArray& profile = {});

private:
    StampMark kept(qsizetype layer, QSize picture, const QByteArray& profile);

    QList<RunMarkLayer> layers_;
    QMutex mutex_;
    // Keyed by the colour profile the mark's pixels end in.
    std::map<std::tuple<qsizetype, int, int, QByteArray>, StampMark> bySize_;
};
