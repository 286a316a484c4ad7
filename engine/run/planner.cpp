// Planning the run: each image's output name, format and folder, and what is never written over.
#include "engine/run/planner.h"

#include "engine/io/picturefacts.h"
#include "engine/io/picturereader.h"
#include "engine/io/picturewriter.h"
#include "engine/stamping/marktext.h"
#include "engine/stamping/stamp.h"
#include "support/failure.h"
#include "support/paths.h"

#include <QFileInfo>

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <sys/stat.h>

namespace {
struct AutomaticFormat {
    const char* extension;
    PictureFormat format;
};

// Automatic writes each known extension under its own spelling, in the format it names, where
// this build writes that format. HEIC and HEIF, which it only reads, become JPEG.
const AutomaticFormat kAutomaticFormats[] = {
    {"bmp", PictureFormat::Bmp},   {"jpg", PictureFormat::Jpeg},  {"jpeg", PictureFormat::Jpeg},
    {"jpe", PictureFormat::Jpeg},  {"jfif", PictureFormat::Jpeg}, {"gif", PictureFormat::Gif},
    {"png", PictureFormat::Png},   {"tif", PictureFormat::Tiff},  {"tiff", PictureFormat::Tiff},
    {"webp", PictureFormat::Webp}, {"avif", PictureFormat::Avif}, {"jxl", PictureFormat::Jxl},
    {"heic", PictureFormat::Heif}, {"heif", PictureFormat::Heif},
};

// The numbered form of a file name: "1.jpg" gives "1 (2).jpg", "README" gives "README (2)".
QString NumberedName(const QString& name, int number) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString suffix = QStringLiteral(" (%1)").arg(number);
    return dot < 0 ? name + suffix : name.left(dot) + suffix + name.mid(dot);
}

// The copy's name from the pattern, with the dot before the extension. A picture that cannot
// be read fills only the variables of its name and place; it fails when it is stamped.
QString NamedWithDot(const QString& pattern, const QString& inputPath, int position) {
    MarkTextValues values;
    values.path = inputPath;
    values.place = position;
    if (MarkTextNeedsPicture(pattern)) {
        values.modified = QFileInfo(inputPath).lastModified();
        try {
            const std::unique_ptr<PictureReader> reader = PictureReader::open(inputPath);
            values.facts = FactsOf(reader->metadata());
            values.upright = OrientedSize(reader->size(), reader->orientation());
        } catch (const Failure&) {
        }
    }
    QString name = FillMarkText(pattern, values).text;
    name.replace(QLatin1Char('/'), QLatin1Char('_')).replace(QChar(0), QLatin1Char('_'));
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        name = BaseNameWithDot(FileNameOfPath(inputPath)).chopped(1);
    return name + QLatin1Char('.');
}

QString SubfolderAt(const WatermarkJob& job, int position) {
    return job.OutputSubfolders.value(position - 1);
}
} // namespace

size_t qHash(const FileIdentity& id, size_t seed) {
    return qHashMulti(seed, id.device, id.inode);
}

std::optional<FileIdentity> IdentityOf(const QString& path) {
    struct stat info {};
    const QByteArray encoded = QFile::encodeName(path);
    if (path.isEmpty() || encoded.contains('\0') || ::stat(encoded.constData(), &info) != 0)
        return std::nullopt;
    return FileIdentity{quint64(info.st_dev), quint64(info.st_ino)};
}

QString BaseNameWithDot(const QString& fileName) {
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : fileName.left(dot + 1);
}

std::optional<OutputPlan> PlanOutput(const WatermarkJob& job, const QString& inputPath,
                                     const QString& subfolder, int position) {
    if (!job.Format)
        return std::nullopt;
    const QString fileName = FileNameOfPath(inputPath);
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString extension = dot < 0 ? fileName : fileName.mid(dot + 1);
    const QString folder =
        subfolder.isEmpty() ? job.OutputFolder : job.OutputFolder + kSeparator + subfolder;
    const QString outputBase =
        folder + kSeparator +
        (job.NamePattern.isEmpty() ? BaseNameWithDot(fileName)
                                   : NamedWithDot(job.NamePattern, inputPath, position));
    switch (*job.Format) {
    case OutputFormat::Automatic:
        for (const AutomaticFormat& format : kAutomaticFormats) {
            if (extension.toLower() != QLatin1String(format.extension))
                continue;
            if (format.format == PictureFormat::Heif)
                return OutputPlan{outputBase + QStringLiteral("jpg"), PictureFormat::Jpeg};
            if (!WritesFormat(format.format))
                return std::nullopt;
            return OutputPlan{outputBase + extension, format.format};
        }
        return std::nullopt;
    case OutputFormat::Jpg:
        return OutputPlan{outputBase + QStringLiteral("jpg"), PictureFormat::Jpeg};
    case OutputFormat::Bmp:
        return OutputPlan{outputBase + QStringLiteral("bmp"), PictureFormat::Bmp};
    case OutputFormat::Png:
        return OutputPlan{outputBase + QStringLiteral("png"), PictureFormat::Png};
    case OutputFormat::Tif:
        return OutputPlan{outputBase + QStringLiteral("tif"), PictureFormat::Tiff};
    case OutputFormat::Gif:
        return OutputPlan{outputBase + QStringLiteral("gif"), PictureFormat::Gif};
    case OutputFormat::Webp:
        return OutputPlan{outputBase + QStringLiteral("webp"), PictureFormat::Webp};
    case OutputFormat::Avif:
        return OutputPlan{outputBase + QStringLiteral("avif"), PictureFormat::Avif};
    case OutputFormat::Jxl:
        return OutputPlan{outputBase + QStringLiteral("jxl"), PictureFormat::Jxl};
    }
    return std::nullopt;
}

QString FormatNote(const WatermarkJob& job, const QString& inputPath) {
    if (job.Format != OutputFormat::Automatic)
        return {};
    const QString extension = QFileInfo(inputPath).suffix().toLower();
    return extension == QLatin1String("heic") || extension == QLatin1String("heif")
               ? kHeifAsJpegNote
               : QString();
}

int ShardOf(const QString& relativeOutput, int count) {
    if (count <= 1)
        return 1;
    const QByteArray digest =
        QCryptographicHash::hash(relativeOutput.toUtf8(), QCryptographicHash::Sha256);
    return int(qFromBigEndian<quint64>(digest.constData()) % quint64(count)) + 1;
}

RunPlanner::RunPlanner(const WatermarkJob& job) : job_(job) {}

void RunPlanner::learnFiles() {
    for (const QString& input : job_.InputPaths) {
        if (const auto id = IdentityOf(input))
            inputs_.insert(*id);
    }
    watermark_ = IdentityOf(job_.WatermarkPath);
    // By content: a watermark put back by a copy that keeps the old time is still a new one.
    watermarkDigest_ = MarksDigest(job_);
}

ImagePlan RunPlanner::plan(int position) {
    ImagePlan plan = planName(position);
    if (job_.Shard.count > 1 && ShardOf(shardKey(position), job_.Shard.count) != job_.Shard.index) {
        plan.kind = ImagePlan::Kind::OtherShard;
    } else if (plan.kind == ImagePlan::Kind::Stamp) {
        plan.mark = SourceMark(job_, job_.InputPaths.at(position - 1), plan.output.format,
                               watermarkDigest_, position);
        if (job_.UpdateOnly && chosen_.kind == ExistingOutput::Kind::Ours &&
            chosen_.mark == plan.mark)
            plan.kind = ImagePlan::Kind::UpToDate;
    }
    return plan;
}

QString RunPlanner::shardKey(int position) const {
    const QString& input = job_.InputPaths.at(position - 1);
    const std::optional<OutputPlan> output = PlanOutput(job_, input, {}, position);
    const QString name = FileNameOfPath(output ? output->path : input);
    const QString subfolder = SubfolderAt(job_, position);
    return subfolder.isEmpty() ? name : subfolder + kSeparator + name;
}

bool RunPlanner::refusesProtected(ImagePlan& plan, const QString& candidate) const {
    const auto target = IdentityOf(candidate);
    if (target && inputs_.contains(*target))
        plan.refusal = kWouldReplaceInputMessage + candidate;
    else if (target && watermark_ && *watermark_ == *target)
        plan.refusal = kWouldReplaceWatermarkMessage + candidate;
    else
        return false;
    plan.kind = ImagePlan::Kind::WouldReplace;
    return true;
}

// Walks from the plain name through the numbered ones to the first that no earlier image of the
// run has and that holds nothing to keep. A rerun walks the same way and so comes to the same
// name, where it finds its own earlier copy by the mark.
void RunPlanner::chooseName(ImagePlan& plan) {
    const QString plain = plan.output.path;
    QString candidate = plain;
    for (int number = 2;; ++number) {
        if (!taken_.contains(CleanPath(candidate))) {
            if (refusesProtected(plan, candidate))
                break;
            chosen_ = marks_.inspect(candidate);
            if (chosen_.kind != ExistingOutput::Kind::Foreign ||
                job_.Existing == ExistingFiles::Replace)
                break;
            if (job_.Existing == ExistingFiles::Skip) {
                plan.kind = ImagePlan::Kind::KeptExisting;
                plan.refusal = kKeptExistingMessage + candidate;
                break;
            }
            if (plan.renamed == ImagePlan::Renamed::No)
                plan.renamed = ImagePlan::Renamed::Existing;
        } else if (plan.renamed == ImagePlan::Renamed::No) {
            plan.renamed = ImagePlan::Renamed::EarlierImage;
        }
        candidate = FolderOfPath(plain) + NumberedName(FileNameOfPath(plain), number);
    }
    plan.output.path = candidate;
    taken_.insert(CleanPath(candidate));
}

ImagePlan RunPlanner::planName(int position) {
    ImagePlan plan;
    chosen_ = {};
    const QString& input = job_.InputPaths.at(position - 1);
    // The same file listed twice (a folder and a file inside it, a file dropped twice) is
    // stamped once; the repeat takes no name from a later image.
    if (const auto id = IdentityOf(input)) {
        if (stamped_.contains(*id)) {
            plan.kind = ImagePlan::Kind::Repeat;
            return plan;
        }
        stamped_.insert(*id);
    }
    const std::optional<OutputPlan> output =
        PlanOutput(job_, input, SubfolderAt(job_, position), position);
    if (!output) {
        plan.kind = ImagePlan::Kind::NoOutput;
        return plan;
    }
    plan.output = *output;
    plan.note = FormatNote(job_, input);
    chooseName(plan);
    return plan;
}
