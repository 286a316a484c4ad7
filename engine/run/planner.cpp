// Planning the run: each image's output name, format and folder, and what is never written over.
#include "engine/run/planner.h"

#include "support/paths.h"

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

// Automatic writes each known extension under its own spelling, in the format it names.
const AutomaticFormat kAutomaticFormats[] = {
    {"bmp", PictureFormat::Bmp},  {"jpg", PictureFormat::Jpeg},  {"jpeg", PictureFormat::Jpeg},
    {"jpe", PictureFormat::Jpeg}, {"jfif", PictureFormat::Jpeg}, {"gif", PictureFormat::Gif},
    {"png", PictureFormat::Png},  {"tif", PictureFormat::Tiff},  {"tiff", PictureFormat::Tiff},
};

// The numbered form of a file name: "1.jpg" gives "1 (2).jpg", "README" gives "README (2)".
QString NumberedName(const QString& name, int number) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString suffix = QStringLiteral(" (%1)").arg(number);
    return dot < 0 ? name + suffix : name.left(dot) + suffix + name.mid(dot);
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
                                     const QString& subfolder) {
    if (!job.Format)
        return std::nullopt;
    const QString fileName = FileNameOfPath(inputPath);
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString extension = dot < 0 ? fileName : fileName.mid(dot + 1);
    const QString folder =
        subfolder.isEmpty() ? job.OutputFolder : job.OutputFolder + kSeparator + subfolder;
    const QString outputBase = folder + kSeparator + BaseNameWithDot(fileName);
    switch (*job.Format) {
    case OutputFormat::Automatic:
        for (const AutomaticFormat& format : kAutomaticFormats) {
            if (extension.toLower() == QLatin1String(format.extension))
                return OutputPlan{outputBase + extension, format.format};
        }
        return std::nullopt;
    case OutputFormat::Jpg:
        return OutputPlan{outputBase + QStringLiteral("jpg"), PictureFormat::Jpeg};
    case OutputFormat::Bmp:
        return OutputPlan{outputBase + QStringLiteral("bmp"), PictureFormat::Bmp};
    case OutputFormat::Png:
        return OutputPlan{outputBase + QStringLiteral("png"), PictureFormat::Png};
    }
    return std::nullopt;
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
    watermarkChanged_ = QFileInfo(job_.WatermarkPath).lastModified();
}

QString RunPlanner::freeName(const QString& path) {
    const QString folder = FolderOfPath(path);
    const QString name = FileNameOfPath(path);
    for (int number = 2;; ++number) {
        const QString candidate = folder + NumberedName(name, number);
        if (!taken_.contains(CleanPath(candidate)))
            return candidate;
    }
}

ImagePlan RunPlanner::plan(int position) {
    ImagePlan plan = planName(position);
    if (job_.Shard.count > 1 && ShardOf(shardKey(position), job_.Shard.count) != job_.Shard.index)
        plan.kind = ImagePlan::Kind::OtherShard;
    else if (job_.UpdateOnly && plan.kind == ImagePlan::Kind::Stamp &&
             isUpToDate(job_.InputPaths.at(position - 1), plan.output.path))
        plan.kind = ImagePlan::Kind::UpToDate;
    return plan;
}

QString RunPlanner::shardKey(int position) const {
    const QString& input = job_.InputPaths.at(position - 1);
    const std::optional<OutputPlan> output = PlanOutput(job_, input);
    const QString name = FileNameOfPath(output ? output->path : input);
    const QString subfolder = SubfolderAt(job_, position);
    return subfolder.isEmpty() ? name : subfolder + kSeparator + name;
}

bool RunPlanner::isUpToDate(const QString& input, const QString& output) const {
    const QFileInfo written(output);
    const QDateTime inputChanged = QFileInfo(input).lastModified();
    // Strictly newer: a time stamp too coarse to tell the two apart gives a fresh copy.
    return written.isFile() && inputChanged.isValid() && watermarkChanged_.isValid() &&
           written.lastModified() > inputChanged && written.lastModified() > watermarkChanged_;
}

ImagePlan RunPlanner::planName(int position) {
    ImagePlan plan;
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
    const std::optional<OutputPlan> output = PlanOutput(job_, input, SubfolderAt(job_, position));
    if (!output) {
        plan.kind = ImagePlan::Kind::NoOutput;
        return plan;
    }
    plan.output = *output;
    if (taken_.contains(CleanPath(output->path))) {
        plan.output.path = freeName(output->path);
        plan.renamed = true;
    }
    taken_.insert(CleanPath(plan.output.path));
    if (const auto target = IdentityOf(plan.output.path)) {
        if (inputs_.contains(*target)) {
            plan.kind = ImagePlan::Kind::WouldReplace;
            plan.refusal = kWouldReplaceInputMessage + plan.output.path;
        } else if (watermark_ && *watermark_ == *target) {
            plan.kind = ImagePlan::Kind::WouldReplace;
            plan.refusal = kWouldReplaceWatermarkMessage + plan.output.path;
        }
    }
    return plan;
}
