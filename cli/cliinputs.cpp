#include "cli/cliinputs.h"

#include "engine/run/planner.h"
#include "support/folderscan.h"
#include "support/paths.h"

#include <QFile>
#include <QImageReader>
#include <QSet>

#include <algorithm>

namespace {
QStringList ReadLines(QIODevice& device) {
    QStringList lines;
    QTextStream in(&device);
    QString line;
    while (in.readLineInto(&line)) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (!line.isEmpty())
            lines << line;
    }
    return lines;
}

// The inputs named on the command line and in the --files-from list, in that order.
std::optional<QStringList> GivenInputs(const CliRequest& request, QString& error) {
    QStringList given = request.inputs;
    if (request.filesFrom.isEmpty())
        return given;
    QFile list;
    const bool opened = request.filesFrom == QLatin1String("-")
                            ? list.open(stdin, QIODevice::ReadOnly)
                            : (list.setFileName(request.filesFrom), list.open(QIODevice::ReadOnly));
    if (!opened) {
        error = QStringLiteral("cannot read %1: %2").arg(request.filesFrom, list.errorString());
        return std::nullopt;
    }
    return given << ReadLines(list);
}

// Which files of an input folder are inputs: those matching one of the --extension patterns, or
// without them the pictures, so that a stray text file is no failed image.
class FolderFilter {
public:
    explicit FolderFilter(const QStringList& extensions) {
        for (const QString& extension : extensions)
            patterns_ << FilePatternExpression(QStringLiteral("*.") + extension);
    }
    bool takes(const QString& fileName) const {
        if (patterns_.isEmpty())
            return IsPictureName(fileName);
        return std::any_of(patterns_.begin(), patterns_.end(), [&](const QRegularExpression& p) {
            return p.match(fileName).hasMatch();
        });
    }

private:
    QList<QRegularExpression> patterns_;
};

// The folder of a found file below the input folder root (which ends in "/"), without a final
// separator.
QString SubfolderBelow(const QString& root, const QString& file) {
    if (!file.startsWith(root))
        return QString();
    const QString folder = FolderOfPath(file.mid(root.size()));
    return folder.isEmpty() ? folder : folder.chopped(1);
}

// How the command line scans an input folder (root, ending in "/", while it is scanned): links to
// folders followed, the output folder left out, and every picture left out told on the error
// stream now and kept for the report; other files are no inputs, as they would not be had they
// been listed.
FolderScanHooks ScanHooks(const CliRequest& request, const FolderFilter& filter, CliInputs& inputs,
                          const QString& root, QTextStream& errors) {
    FolderScanHooks hooks;
    hooks.report = [&errors](int, const QString& text) {
        errors << text << '\n';
    };
    hooks.followFolderLinks = true;
    hooks.passedOver = [&](const QString& path, const QString& reason, bool folder) {
        if (!folder && !filter.takes(FileNameOfPath(path)))
            return;
        errors << path << ": " << reason << '\n';
        // A link round a loop leaves no picture out: each is found by the way the link leads.
        if (reason == kLinkLoopReason)
            return;
        const QString relative = path.startsWith(root) ? path.mid(root.size()) : path;
        inputs.leftOut << LeftOutInput{path, reason, inputs.paths.size(), relative};
    };
    // The output folder inside an input folder holds the outputs of earlier runs, not inputs.
    if (const std::optional<FileIdentity> output = IdentityOf(request.job.OutputFolder))
        hooks.skipFolder = [output](const QString& folder) {
            return IdentityOf(folder) == output;
        };
    return hooks;
}
} // namespace

bool IsPictureName(const QString& fileName) {
    static const QSet<QString> extensions = [] {
        QSet<QString> known;
        for (const char* written : {"bmp", "jpg", "jpeg", "jpe", "jfif", "gif", "png", "tif",
                                    "tiff", "webp", "avif", "heic", "heif", "jxl"})
            known.insert(QString::fromLatin1(written));
        for (const QByteArray& format : QImageReader::supportedImageFormats())
            known.insert(QString::fromLatin1(format).toLower());
        return known;
    }();
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 && extensions.contains(fileName.mid(dot + 1).toLower());
}

std::optional<CliInputs> CollectInputs(const CliRequest& request, QTextStream& errors,
                                       QString& error) {
    const std::optional<QStringList> given = GivenInputs(request, error);
    if (!given)
        return std::nullopt;
    const FolderFilter filter(request.extensions);
    CliInputs inputs;
    QString root;
    FolderScanHooks hooks = ScanHooks(request, filter, inputs, root, errors);
    for (const QString& path : *given) {
        if (!IsFolder(path)) {
            inputs.paths << path;
            inputs.subfolders << QString();
            continue;
        }
        root = CleanPath(path + kSeparator);
        const auto take = [&](const QString& file) {
            if (filter.takes(FileNameOfPath(file))) {
                inputs.paths << file;
                inputs.subfolders << SubfolderBelow(root, file);
            }
        };
        CollectFolderFiles(path, QStringLiteral("*.*"), take, hooks);
    }
    if (!request.keepTree)
        inputs.subfolders.clear();
    return inputs;
}
