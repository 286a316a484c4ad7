// Path helpers: the program's folder, the default output folder, names and folders.
#include "support/paths.h"

#include "support/failure.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <filesystem>
#include <sys/stat.h>

namespace {
QString g_programFolderForTesting;
} // namespace

void SetProgramFolderForTesting(const QString& folder) {
    g_programFolderForTesting = folder;
}

QString ProgramFolder() {
    if (!g_programFolderForTesting.isEmpty())
        return g_programFolderForTesting;
    // applicationDirPath() resolves /proc/self/exe, so a link in bin/ leads to the real folder.
    QString folder = QCoreApplication::applicationDirPath();
    if (folder.size() > 1 && folder.endsWith(kSeparator))
        folder.chop(1);
    return folder;
}

namespace {
QString WithSeparator(const QString& folder) {
    return folder.endsWith(kSeparator) ? folder : folder + kSeparator;
}
} // namespace

QString DesktopFolderPath() {
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (desktop.isEmpty())
        throw Failure(SystemErrorText(EINVAL));
    return WithSeparator(desktop);
}

QString DefaultOutputFolder() {
    // Many desktops have no Desktop folder, and a first run must not be refused for a folder that
    // is not there. QStandardPaths reads the XDG user folders (xdg-user-dir).
    for (const auto location :
         {QStandardPaths::DesktopLocation, QStandardPaths::PicturesLocation}) {
        const QString folder = QStandardPaths::writableLocation(location);
        if (!folder.isEmpty() && IsFolder(folder))
            return WithSeparator(folder);
    }
    return WithSeparator(QDir::homePath());
}

namespace {
bool StatPath(const QString& path, struct stat& info) {
    if (path.isEmpty())
        return false;
    const QByteArray encoded = QFile::encodeName(path);
    if (encoded.contains('\0'))
        return false;
    return ::stat(encoded.constData(), &info) == 0;
}
} // namespace

bool PathExists(const QString& path) {
    struct stat info {};
    return StatPath(path, info);
}

QString FileNameOfPath(const QString& path) {
    return path.mid(path.lastIndexOf(kSeparator) + 1);
}

QString FolderOfPath(const QString& path) {
    const qsizetype last = path.lastIndexOf(kSeparator);
    return last < 0 ? QString() : path.left(last + 1);
}

bool IsFolder(const QString& path) {
    struct stat info {};
    return StatPath(path, info) && S_ISDIR(info.st_mode);
}

namespace {
// Replaces each pair of separators by one, left to right, never re-examining what it wrote.
QString CollapsePairs(QStringView text) {
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        result += text[i];
        if (text[i] == kSeparator && i + 1 < text.size() && text[i + 1] == kSeparator)
            ++i;
    }
    return result;
}
} // namespace

void MakeFolderPath(const QString& path) {
    // The standard library gives the system's reason, which a script's user needs to see.
    std::error_code error;
    std::filesystem::create_directories(
        std::filesystem::path(QFile::encodeName(path).toStdString()), error);
    if (error)
        throw Failure(SystemErrorText(error.value()));
}

QString CleanPath(const QString& path) {
    if (!path.startsWith(kSeparator))
        return CollapsePairs(path);
    qsizetype start = 1;
    while (start < path.size() && path[start] == kSeparator)
        ++start;
    return kSeparator + CollapsePairs(QStringView(path).mid(start));
}
