#pragma once

#include "engine/job.h"

#include <QSet>
#include <QString>
#include <functional>
#include <optional>

inline const QString kWouldReplaceInputMessage =
    QStringLiteral("The output file would replace one of the listed images, which are never "
                   "overwritten: ");

enum class OutputWriter { Bmp, Encoder };

// Where and how one image's stamped copy is written.
struct OutputPlan {
    QString path;
    OutputWriter writer = OutputWriter::Encoder;
    QString mimeType; // for the encoder writer
};

// The output path and writer for an input under the job's format, or nothing when no file is
// written for it (an extension that Automatic does not know, or no format selected).
//
// The output path is the output folder, "/", the input's base name with its final dot, and the
// extension. The folder is used as typed: a trailing "/" gives a doubled one, passed on.
std::optional<OutputPlan> PlanOutput(const WatermarkJob& job, const QString& inputPath);

// The file name without its last extension but with the dot before it ("holiday.photo.JPG" gives
// "holiday.photo."; "README" gives the empty text).
QString BaseNameWithDot(const QString& fileName);

// Knows which files on disk the listed inputs are, so that a run never writes over one of them,
// whatever text names it (a link, a doubled separator, "..").
class InputIdentities {
public:
    using EntryAt = std::function<QString(int position)>;
    using Count = std::function<int()>;

    InputIdentities(EntryAt entryAt, Count count)
        : entryAt_(std::move(entryAt)), count_(std::move(count)) {}

    // True when the path names the same file on disk as a listed input.
    bool isListedInput(const QString& path);

private:
    EntryAt entryAt_;
    Count count_;
    int covered_ = 0; // entries 1..covered_ are in files_; the list only grows while a run is busy
    QSet<QPair<quint64, quint64>> files_;
};
