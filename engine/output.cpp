#include "engine/output.h"

#include "engine/writer.h"
#include "support/failure.h"
#include "support/paths.h"

#include <QFile>

#include <sys/stat.h>

namespace {
struct AutomaticFormat {
    const char* extension;
    OutputWriter writer;
    const QString* mimeType;
};

// Automatic writes each known extension under its own spelling, in the format it names.
const AutomaticFormat kAutomaticFormats[] = {
    {"bmp", OutputWriter::Bmp, nullptr},         {"jpg", OutputWriter::Encoder, &kMimeJpeg},
    {"jpeg", OutputWriter::Encoder, &kMimeJpeg}, {"jpe", OutputWriter::Encoder, &kMimeJpeg},
    {"jfif", OutputWriter::Encoder, &kMimeJpeg}, {"gif", OutputWriter::Encoder, &kMimeGif},
    {"png", OutputWriter::Encoder, &kMimePng},   {"tif", OutputWriter::Encoder, &kMimeTiff},
    {"tiff", OutputWriter::Encoder, &kMimeTiff},
};

std::optional<QPair<quint64, quint64>> FileIdentity(const QString& path) {
    struct stat info {};
    const QByteArray encoded = QFile::encodeName(path);
    if (path.isEmpty() || ::stat(encoded.constData(), &info) != 0)
        return std::nullopt;
    return qMakePair(quint64(info.st_dev), quint64(info.st_ino));
}
} // namespace

QString BaseNameWithDot(const QString& fileName) {
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : fileName.left(dot + 1);
}

std::optional<OutputPlan> PlanOutput(const WatermarkJob& job, const QString& inputPath) {
    if (!job.Format)
        return std::nullopt;
    const QString fileName = FileNameOfPath(inputPath);
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString extension = dot < 0 ? fileName : fileName.mid(dot + 1);
    const QString outputBase = job.OutputFolder + kSeparator + BaseNameWithDot(fileName);
    switch (*job.Format) {
    case OutputFormat::Automatic:
        for (const AutomaticFormat& format : kAutomaticFormats) {
            if (extension.toLower() == QLatin1String(format.extension))
                return OutputPlan{outputBase + extension, format.writer,
                                  format.mimeType ? *format.mimeType : QString()};
        }
        return std::nullopt;
    case OutputFormat::Jpg:
        return OutputPlan{outputBase + QStringLiteral("jpg"), OutputWriter::Encoder, kMimeJpeg};
    case OutputFormat::Bmp:
        return OutputPlan{outputBase + QStringLiteral("bmp"), OutputWriter::Bmp, QString()};
    case OutputFormat::Png:
        return OutputPlan{outputBase + QStringLiteral("png"), OutputWriter::Encoder, kMimePng};
    }
    return std::nullopt;
}

bool InputIdentities::isListedInput(const QString& path) {
    // A file that does not exist yet cannot be one of the inputs.
    const auto target = FileIdentity(path);
    if (!target)
        return false;
    const int count = count_();
    for (; covered_ < count; ++covered_) {
        QString entry;
        try {
            entry = entryAt_(covered_ + 1);
        } catch (const Failure&) {
            continue;
        }
        if (const auto id = FileIdentity(entry))
            files_.insert(*id);
    }
    return files_.contains(*target);
}
