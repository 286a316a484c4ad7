#pragma once

#include "engine/io/picture.h"
#include "engine/run/job.h"

#include <QByteArray>
#include <QHash>
#include <QString>

class OutputFile;

// Every copy the run writes carries a mark: a digest of what it was made from (the input's path,
// size and modification time, the watermark's content, and every option that changes the copy's
// bytes). The mark tells a rerun two things: that this program wrote the file, so a rerun may
// refresh it, and whether the copy still matches its input, so that --update passes over it only
// then. The mark is an extended attribute of the copy, set before the copy takes its name. Where
// the file system holds no such attributes, it is recorded in a hidden file in the copy's folder,
// with the copy's inode and size, so that a file put there later under the same name is not
// taken for the copy.
inline constexpr char kSourceAttribute[] = "user.tintorel.source";
inline const QString kMarksFileName = QStringLiteral(".tintorel-marks");

// A SHA-256 of a regular file's bytes, as hex; empty for anything else and when the file cannot
// be read.
QByteArray ContentDigest(const QString& path);

// The digest of what every mark of the job is drawn from: the watermark file's content, and each
// further mark's picture or font file after it.
QByteArray MarksDigest(const WatermarkJob& job);

// The mark of the copy of an input made under the job in the format, given the digest of the
// marks' content (MarksDigest). A text mark's copy depends on the input's place in the list when
// its text names it.
QByteArray SourceMark(const WatermarkJob& job, const QString& input, PictureFormat format,
                      const QByteArray& watermarkDigest, int place = 0);

// What a file at an output path is to the run.
struct ExistingOutput {
    enum class Kind {
        None,    // nothing there
        Ours,    // a copy this program wrote; mark says from what
        Foreign, // anything else: a file without a mark, a link, a folder, a pipe
    };
    Kind kind = Kind::None;
    QByteArray mark;
};

// Reads what stands at output paths; the records kept beside copies are read once per folder.
class OutputMarks {
public:
    ExistingOutput inspect(const QString& path);

private:
    struct Record {
        quint64 inode = 0;
        qint64 size = 0;
        QByteArray mark;
    };
    using Records = QHash<QByteArray, Record>; // by the file's name in its folder
    const Records& recordsOf(const QByteArray& folder);

    QHash<QByteArray, Records> folders_;
};

// Sets the mark on a copy that has not yet taken its name. False when the file system holds no
// extended attributes: the mark is then to be recorded beside the copy once it has its name.
bool MarkCopy(OutputFile& file, const QByteArray& mark);

// Records the mark of a copy that has just taken its name in the hidden file of its folder. The
// reason when that fails, or the empty text.
QString RecordMarkBeside(const QString& path, const QByteArray& mark);

// Lets a test take every file system for one that holds no extended attributes.
void SetMarkAttributesUnsupportedForTesting(bool unsupported);
