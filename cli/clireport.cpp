#include "cli/clireport.h"

#include "engine/run/outputfile.h"
#include "engine/run/planner.h"
#include "support/failure.h"
#include "support/paths.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

namespace {
const QString kCannotWrite = QStringLiteral("cannot write the report %1: %2");
const QString kEarlierKept = QStringLiteral("; the earlier report stays as it was");
const QString kClash = QStringLiteral("it is %1; choose another file for the report");

// A failure's text without the file it names, which the report's message names already.
QString ReasonOf(const QString& text, const QString& path) {
    const QString prefix = path + QStringLiteral(": ");
    return text.startsWith(prefix) ? text.mid(prefix.size()) : text;
}

// The path as the system finds it: the folder's real path, when it exists, and the name.
QString ResolvedPath(const QString& path) {
    const QFileInfo info(path);
    const QString real = QFileInfo(info.absolutePath()).canonicalFilePath();
    return QDir::cleanPath((real.isEmpty() ? info.absolutePath() : real) + kSeparator +
                           info.fileName());
}

// Tells whether a path names the report's file: the same file where the report exists, the
// same path where it does not.
class SameFile {
public:
    explicit SameFile(const QString& report)
        : identity_(IdentityOf(report)), name_(FileNameOfPath(report)),
          resolved_(ResolvedPath(report)) {}
    bool operator()(const QString& path) const {
        if (identity_)
            return IdentityOf(path) == identity_;
        // Only a path of the same name can be the same path; most are told apart without a look
        // at the disk.
        return FileNameOfPath(path) == name_ && ResolvedPath(path) == resolved_;
    }

private:
    std::optional<FileIdentity> identity_;
    QString name_;
    QString resolved_;
};

// The run's output paths, as the run will plan them.
QStringList PlannedOutputs(const WatermarkJob& job) {
    RunPlanner planner(job);
    planner.learnFiles();
    QStringList outputs;
    for (int position = 1; position <= job.InputPaths.size(); ++position) {
        const ImagePlan plan = planner.plan(position);
        outputs << (plan.output.path.isEmpty() ? QString() : plan.output.path);
    }
    return outputs;
}
} // namespace

RunReport::RunReport() = default;
RunReport::~RunReport() = default;

QString RunReport::failureText(const QString& reason) const {
    return kCannotWrite.arg(target_, reason);
}

bool RunReport::openDirect(const QString& path, QString& error) {
    direct_.setFileName(path);
    if (direct_.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        device_ = &direct_;
    else
        error = failureText(direct_.errorString());
    return device_ != nullptr;
}

bool RunReport::open(const QString& target, QString& error) {
    target_ = target;
    if (target == QLatin1String("-")) {
        if (direct_.open(stdout, QIODevice::WriteOnly))
            device_ = &direct_;
        else
            error = QStringLiteral("cannot write the report to standard output: %1")
                        .arg(direct_.errorString());
        return device_ != nullptr;
    }
    const QByteArray encoded = QFile::encodeName(target);
    struct stat link {};
    struct stat info {};
    const bool exists = ::lstat(encoded.constData(), &link) == 0;
    if (exists && ::stat(encoded.constData(), &info) != 0) {
        error = failureText(QStringLiteral("it is a link to nothing"));
        return false;
    }
    if (exists && (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode) || S_ISFIFO(info.st_mode)))
        return openDirect(target, error);
    if (exists && !S_ISREG(info.st_mode)) {
        error = failureText(S_ISDIR(info.st_mode) ? SystemErrorText(EISDIR)
                                                  : QStringLiteral("it is not a regular file"));
        return false;
    }
    // A link keeps pointing where it did; the file it names is the one replaced.
    const QString file =
        exists && S_ISLNK(link.st_mode) ? QFileInfo(target).canonicalFilePath() : target;
    replacing_ = exists;
    try {
        file_ = std::make_unique<OutputFile>(file);
    } catch (const Failure& failure) {
        error = failureText(ReasonOf(failure.text(), file));
        return false;
    }
    device_ = file_.get();
    return true;
}

void RunReport::add(const ImageReport& report, const QString& message) {
    if (!device_ || !writeError_.isEmpty())
        return;
    const QJsonObject line{
        {QStringLiteral("input"), report.inputPath},
        {QStringLiteral("output"), report.outputPath.isEmpty() ? QJsonValue(QJsonValue::Null)
                                                               : QJsonValue(report.outputPath)},
        {QStringLiteral("status"), StatusText(report.outcome)},
        {QStringLiteral("message"), message},
        {QStringLiteral("milliseconds"), report.milliseconds},
    };
    const QByteArray bytes = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    if (device_->write(bytes) != bytes.size())
        writeError_ = ReasonOf(device_->errorString(), file_ ? file_->target() : target_);
    // A script reading standard output sees each image as it is reported.
    else if (device_ == &direct_ && !direct_.flush())
        writeError_ = direct_.errorString();
}

bool RunReport::finish(QString& error) {
    if (device_ && file_ && writeError_.isEmpty()) {
        // The output file syncs the folder once the report has its name, as for every copy.
        try {
            file_->commit();
        } catch (const Failure& failure) {
            writeError_ = ReasonOf(failure.text(), file_->target());
        }
    }
    if (!writeError_.isEmpty()) {
        if (file_)
            file_->discard();
        error =
            target_ == QLatin1String("-")
                ? QStringLiteral("cannot write the report to standard output: %1").arg(writeError_)
                : failureText(writeError_) + (file_ && replacing_ ? kEarlierKept : QString());
    }
    device_ = nullptr;
    return error.isEmpty();
}

QString StatusText(ImageOutcome outcome) {
    switch (outcome) {
    case ImageOutcome::Written:
        return QStringLiteral("written");
    case ImageOutcome::Failed:
        return QStringLiteral("failed");
    case ImageOutcome::Skipped:
        return QStringLiteral("skipped");
    case ImageOutcome::UpToDate:
        return QStringLiteral("up to date");
    case ImageOutcome::Repeat:
        return QStringLiteral("repeat");
    case ImageOutcome::OtherShard:
        break;
    }
    return QString();
}

QString ReportClash(const QString& target, const WatermarkJob& job, const QString& filesFrom) {
    if (target.isEmpty() || target == QLatin1String("-"))
        return {};
    const SameFile same(target);
    const auto refusal = [&target](const QString& what) {
        return kCannotWrite.arg(target, kClash.arg(what));
    };
    for (const QString& input : job.InputPaths) {
        if (same(input))
            return refusal(QStringLiteral("the input %1").arg(input));
    }
    if (same(job.WatermarkPath))
        return refusal(QStringLiteral("the watermark %1").arg(job.WatermarkPath));
    if (!filesFrom.isEmpty() && filesFrom != QLatin1String("-") && same(filesFrom))
        return refusal(QStringLiteral("the list of inputs %1").arg(filesFrom));
    const QStringList outputs = PlannedOutputs(job);
    for (qsizetype i = 0; i < outputs.size(); ++i) {
        if (!outputs[i].isEmpty() && same(outputs[i]))
            return refusal(
                QStringLiteral("the output %1 of %2").arg(outputs[i], job.InputPaths.at(i)));
    }
    return {};
}
