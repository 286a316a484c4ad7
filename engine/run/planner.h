#pragma once

#include "engine/io/picture.h"
#include "engine/run/job.h"
#include "engine/run/provenance.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <optional>

inline const QString kWouldReplaceInputMessage =
    QStringLiteral("The output file would replace one of the listed images, which are never "
                   "overwritten: ");
inline const QString kWouldReplaceWatermarkMessage =
    QStringLiteral("The output file would replace the watermark picture, which is never "
                   "overwritten: ");
inline const QString kKeptExistingMessage =
    QStringLiteral("The output file exists and was not written by Tintorel, so it is kept: ");
inline const QString kAlreadyStampedNote = QStringLiteral("already stamped in this run");

// Where and in which format one image's stamped copy is written.
struct OutputPlan {
    QString path;
    PictureFormat format = PictureFormat::Jpeg;
};

inline const QString kHeifAsJpegNote = QStringLiteral(
    "written as JPEG: Tintorel reads HEIC and HEIF pictures but does not write them");

// The output path and format for an input under the job's format, or nothing when no file is
// written for it (an extension that Automatic does not know, or no format selected).
//
// The output path is the output folder, "/", the subfolder and "/" when there is one, the input's
// base name with its final dot, and the extension. The folder is used as typed: a trailing "/"
// gives a doubled one, passed on.
//
// With a name pattern, the base name is the pattern filled for the input at that place in the
// list (from 1), any "/" in a filled value made "_".
std::optional<OutputPlan> PlanOutput(const WatermarkJob& job, const QString& inputPath,
                                     const QString& subfolder = {}, int position = 1);
// What the user is told of the format PlanOutput chose: Automatic writes a HEIC or HEIF as JPEG.
// Empty for the others.
QString FormatNote(const WatermarkJob& job, const QString& inputPath);

// The part of a run shared among count machines (1 to count) that an image belongs to, from its
// output's path below the output folder before any numbering, or its own name there when it gets
// no output. That path is the same on every machine whatever the order of the list and wherever
// the machine reaches the files, and every image that could contend for one output name falls in
// the same part. The part is taken from a SHA-256 of the path, which no Qt version changes.
int ShardOf(const QString& relativeOutput, int count);

// The file name without its last extension but with the dot before it ("holiday.photo.JPG" gives
// "holiday.photo."; "README" gives the empty text).
QString BaseNameWithDot(const QString& fileName);

// A file on disk, whatever text names it (a link, a doubled separator, "..").
struct FileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};
size_t qHash(const FileIdentity& id, size_t seed = 0);
// The file the path names, following links; nothing when it does not exist.
std::optional<FileIdentity> IdentityOf(const QString& path);

// What the run does with one listed image, decided before it is stamped.
struct ImagePlan {
    enum class Kind {
        Stamp,        // stamp it into output.path
        NoOutput,     // the format rule writes nothing for it
        Repeat,       // the same file on disk as an earlier entry: stamped once already
        WouldReplace, // its output would replace an input or the watermark: refused
        KeptExisting, // its output name holds a file this program did not write, kept as told
        UpToDate,     // its output was made from this image, watermark and options: nothing to do
        OtherShard,   // named with the whole run, but stamped by another part of it
    };
    // Why an output takes a numbered name, "1 (2).jpg", instead of the one it would have had.
    enum class Renamed {
        No,
        EarlierImage, // an earlier image of the run has that name
        Existing,     // a file that this program did not write has it, and both are kept
    };
    Kind kind = Kind::Stamp;
    OutputPlan output;
    Renamed renamed = Renamed::No;
    QString refusal; // the message of a refused output
    QString note;    // what the user is told of the output's format (FormatNote)
    QByteArray mark; // what the copy is made from, set on it when it is written
};

// Decides, in list order, what becomes of each image of one run: its output name (the first image
// that maps to a name keeps it, each later one takes the next free numbered name, so that a rerun
// of the same list gives the same names), whether it is a repeat of an earlier entry, and whether
// its output would replace a listed input or the watermark, which are never overwritten. A file
// at an output name that this program wrote (it carries the mark, see provenance.h) is refreshed;
// any other file is kept, replaced or passed over as the job's Existing says; kept, the copy takes
// the next free numbered name, which a rerun finds again by its mark. A run in parts plans the
// whole list in every part, so that the names are those of the whole run, and hands on only its
// own images; a run that updates passes over the images whose outputs carry the mark of this
// image, watermark and options.
class RunPlanner {
public:
    explicit RunPlanner(const WatermarkJob& job);

    // The files on disk of every input and of the watermark; call once before the first plan().
    void learnFiles();
    // The plan of the image at a position, 1 to the number of inputs; positions in ascending order.
    ImagePlan plan(int position);

private:
    ImagePlan planName(int position);
    void chooseName(ImagePlan& plan);
    bool refusesProtected(ImagePlan& plan, const QString& candidate) const;
    QString shardKey(int position) const;

    const WatermarkJob& job_;
    QSet<FileIdentity> inputs_;
    std::optional<FileIdentity> watermark_;
    QByteArray watermarkDigest_;
    QSet<FileIdentity> stamped_;
    QSet<QString> taken_;
    OutputMarks marks_;
    ExistingOutput chosen_; // what stands at the name chosen last
};
