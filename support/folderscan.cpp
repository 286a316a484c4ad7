// The folder scan: a tree walked level by level; links, pseudo file systems, hidden files left out.
#include "support/folderscan.h"

#include "support/errorreport.h"
#include "support/paths.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QRegularExpression>
#include <QScopeGuard>

#include <algorithm>
#include <array>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <utility>

namespace {

// The longest folder path a scan enters and the longest name it follows, in characters and in
// bytes; the system refuses longer ones anyway.
constexpr qsizetype kMaxFolderPathLength = 4096;
constexpr qsizetype kMaxNameBytes = 256;

// Kernel file systems (statfs f_type) whose folders hold the system's state, not pictures: a scan
// never goes into them, and lists nothing there even when the user picks one. devtmpfs reports
// itself as tmpfs and so cannot be told from /tmp; its device nodes are never regular files, so
// none of them is ever listed.
constexpr std::array<quint32, 15> kPseudoFileSystems = {
    0x9fa0,     // proc
    0x62656572, // sysfs
    0x1cd1,     // devpts
    0x27e0eb,   // cgroup
    0x63677270, // cgroup2
    0x64626720, // debugfs
    0x74726163, // tracefs
    0x73636673, // securityfs
    0x6165676c, // pstore
    0xcafe4a11, // bpf
    0x62656570, // configfs
    0x65735543, // fusectl
    0x19800202, // mqueue
    0x958458f6, // hugetlbfs
    0x0187,     // autofs
};

// The bytes the system knows a path by; empty when the text cannot name a path at all.
QByteArray EncodedPath(const QString& path) {
    QByteArray bytes = QFile::encodeName(path);
    return bytes.contains('\0') ? QByteArray() : bytes;
}

// A name read from disk as text, or nothing when its bytes are not valid in the file-name
// encoding: the text would turn back into other bytes and so name another file, or none.
std::optional<QString> DecodedName(const QByteArray& raw) {
    QString name = QFile::decodeName(raw);
    if (QFile::encodeName(name) != raw)
        return std::nullopt;
    return name;
}

QString WithSeparator(const QString& folder) {
    return folder.endsWith(kSeparator) ? folder : folder + kSeparator;
}

enum class Listing { Ok, Gone, Failed };

// The entry names of one folder, without "." and "..". The system hands them out in whatever
// order its directory happens to keep; sorting them by their bytes makes every scan of the same
// tree give the same order. Permission denied and not found mean the folder is gone for the scan.
Listing ReadFolderNames(const QString& folder, QList<QByteArray>& names) {
    const QByteArray path = EncodedPath(folder);
    DIR* dir = path.isEmpty() ? nullptr : ::opendir(path.constData());
    if (dir == nullptr)
        return (path.isEmpty() || errno == EACCES || errno == ENOENT) ? Listing::Gone
                                                                      : Listing::Failed;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.append(name);
    }
    const bool complete = errno == 0;
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return complete ? Listing::Ok : Listing::Failed;
}

bool OnPseudoFileSystem(const QString& folder) {
    const QByteArray path = EncodedPath(folder);
    struct statfs info {};
    if (path.isEmpty() || ::statfs(path.constData(), &info) != 0)
        return false;
    const auto type = static_cast<quint32>(info.f_type);
    return std::find(kPseudoFileSystems.begin(), kPseudoFileSystems.end(), type) !=
           kPseudoFileSystems.end();
}

// A folder whose subfolders the scan may look at and whose files it may list.
bool IsScannableFolder(const QString& folder) {
    return folder.size() < kMaxFolderPathLength && IsFolder(folder) && !OnPseudoFileSystem(folder);
}

void PassOver(const FolderScanHooks& hooks, const QString& path, const QString& reason,
              bool folder) {
    if (hooks.passedOver)
        hooks.passedOver(path, reason, folder);
}

// The name of a subfolder the scan may follow, or nothing for a hidden one (".", ".." among
// them) and for a name it cannot trust, which is told to the hooks.
std::optional<QString> FollowableName(const QString& parent, const QByteArray& raw,
                                      const FolderScanHooks& hooks) {
    if (raw.size() >= kMaxNameBytes || raw.startsWith('.'))
        return std::nullopt;
    std::optional<QString> name = DecodedName(raw);
    if (name && !HasUnsafeNameChars(*name))
        return name;
    const QString reason = name ? kUnsafeNameReason : kUndecodableNameReason;
    if (hooks.leftOut)
        hooks.leftOut(parent + QString::fromUtf8(raw), reason);
    PassOver(hooks, parent + QString::fromUtf8(raw), reason, true);
    return std::nullopt;
}

// True when the folder is one of those on the way to parent: the parent itself or any folder its
// path passes through, links resolved. A link to one of them would lead the scan round forever.
bool LeadsBack(const QString& parent, const struct stat& folder) {
    // From the root, so that a link to a folder above a relative input is known too.
    const QByteArray path = EncodedPath(WithSeparator(QFileInfo(parent).absoluteFilePath()));
    for (qsizetype end = path.indexOf('/'); end >= 0; end = path.indexOf('/', end + 1)) {
        const QByteArray prefix = end == 0 ? QByteArrayLiteral("/") : path.left(end);
        struct stat info {};
        if (::stat(prefix.constData(), &info) == 0 && info.st_dev == folder.st_dev &&
            info.st_ino == folder.st_ino)
            return true;
    }
    return false;
}

// Whether a link among the entries of parent (open as dir) is entered as a folder. A link to a
// file or to nothing is the listing's to tell of; a hidden one is passed over in silence.
bool FollowsLink(int dir, const QByteArray& raw, const QString& parent,
                 const FolderScanHooks& hooks) {
    struct stat target {};
    if (raw.startsWith('.') || ::fstatat(dir, raw.constData(), &target, 0) != 0 ||
        !S_ISDIR(target.st_mode))
        return false;
    const QString path = parent + QString::fromUtf8(raw);
    if (!hooks.followFolderLinks)
        PassOver(hooks, path, kFolderLinkReason, true);
    else if (LeadsBack(parent, target))
        PassOver(hooks, path, kLinkLoopReason, true);
    else
        return true;
    return false;
}

// Why a matching name that is no openable file is passed over; empty for a folder or a link to
// one, which the scan enters or tells of itself, and for a name gone meanwhile.
QString NotAFileReason(const QString& path) {
    const QByteArray encoded = EncodedPath(path);
    struct stat info {};
    if (encoded.isEmpty() || ::lstat(encoded.constData(), &info) != 0)
        return errno == ENAMETOOLONG ? kLongPathReason : QString();
    if (S_ISLNK(info.st_mode) && ::stat(encoded.constData(), &info) != 0)
        return kDanglingLinkReason;
    return S_ISDIR(info.st_mode) || S_ISREG(info.st_mode) ? QString() : kNotRegularReason;
}

void Yield(const FolderScanHooks& hooks) {
    if (hooks.yield)
        hooks.yield();
}

Guard::Reporter ReporterOf(const FolderScanHooks& hooks) {
    return [&hooks](int step, const QString& description) {
        if (hooks.report)
            hooks.report(step, description);
    };
}

// Adds the followable subfolders of one entry of the set to next. An entry that vanished or may
// not be read leaves the set with its files, silently; any other failure only ends the work on it.
void ScanFolder(FolderSet& set, const QString& entry, FolderSet& next,
                const FolderScanHooks& hooks) {
    if (entry.size() >= kMaxFolderPathLength || !IsFolder(entry))
        return;
    Yield(hooks);
    QList<QByteArray> names;
    const Listing listing =
        OnPseudoFileSystem(entry) ? Listing::Gone : ReadFolderNames(entry, names);
    if (listing == Listing::Gone)
        set.removeOne(entry);
    if (listing != Listing::Ok)
        return;
    const QString parent = WithSeparator(entry);
    const int dir = ::open(EncodedPath(parent).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return;
    const auto closeDir = qScopeGuard([dir] { ::close(dir); });
    for (const QByteArray& raw : std::as_const(names)) {
        struct stat info {};
        if (::fstatat(dir, raw.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !(S_ISDIR(info.st_mode) || S_ISLNK(info.st_mode)))
            continue;
        Yield(hooks);
        if (S_ISLNK(info.st_mode) && !FollowsLink(dir, raw, parent, hooks))
            continue;
        const std::optional<QString> name = FollowableName(parent, raw, hooks);
        if (!name)
            continue;
        const QString folder = parent + *name + kSeparator;
        if (hooks.skipFolder && hooks.skipFolder(folder))
            continue;
        if (folder.size() >= kMaxFolderPathLength)
            PassOver(hooks, folder.chopped(1), kLongPathReason, true);
        else
            next.append(folder);
    }
}

} // namespace

QRegularExpression FilePatternExpression(const QString& pattern) {
    const QString effective = pattern == QLatin1String("*.*") ? QStringLiteral("*") : pattern;
    QString expression;
    QString literal;
    for (const QChar c : effective) {
        if (c != u'*' && c != u'?') {
            literal += c;
            continue;
        }
        // Whole runs are escaped, so that a character made of two halves stays one.
        expression += QRegularExpression::escape(std::exchange(literal, QString()));
        expression += c == u'*' ? QStringLiteral(".*") : QStringLiteral(".");
    }
    expression += QRegularExpression::escape(literal);
    return QRegularExpression(QRegularExpression::anchoredPattern(expression),
                              QRegularExpression::CaseInsensitiveOption |
                                  QRegularExpression::DotMatchesEverythingOption);
}

bool IsOpenableFile(const QString& path) {
    const QByteArray encoded = EncodedPath(path);
    struct stat info {};
    return !encoded.isEmpty() && ::stat(encoded.constData(), &info) == 0 && S_ISREG(info.st_mode);
}

bool HasUnsafeNameChars(const QString& name) {
    // A name decoded from bytes that are not valid in the file-name encoding carries replacement
    // characters; a text that does not survive the trip to bytes and back cannot name a file.
    const auto unsafe = [](QChar c) {
        const char16_t code = c.unicode();
        return code < 32 || (code >= 127 && code <= 159) || code == u'?' ||
               code == QChar::ReplacementCharacter;
    };
    return std::any_of(name.cbegin(), name.cend(), unsafe) ||
           QFile::decodeName(QFile::encodeName(name)) != name;
}

QStringList ListFilesInFolder(
    const QString& folder, const QString& pattern,
    const std::function<void(const QByteArray& name)>& undecodable,
    const std::function<void(const QString& name, const QString& reason)>& passedOver) {
    const QString base = WithSeparator(folder);
    QList<QByteArray> names;
    if (ReadFolderNames(base, names) != Listing::Ok)
        return {};
    const QRegularExpression expression = FilePatternExpression(pattern);
    QStringList files;
    for (const QByteArray& raw : std::as_const(names)) {
        const std::optional<QString> name = DecodedName(raw);
        if (!name) {
            struct stat info {};
            const QByteArray full = EncodedPath(base) + raw;
            if (undecodable && !raw.startsWith('.') && ::stat(full.constData(), &info) == 0 &&
                S_ISREG(info.st_mode))
                undecodable(raw);
            continue;
        }
        if (raw.startsWith('.') || !expression.match(*name).hasMatch())
            continue;
        if (IsOpenableFile(base + *name))
            files.append(*name);
        else if (const QString reason = passedOver ? NotAFileReason(base + *name) : QString();
                 !reason.isEmpty())
            passedOver(*name, reason);
    }
    return files;
}

void GetSubDirectories2016(FolderSet& set, bool tree, FolderScanHooks& hooks) {
    Guard guard(ReporterOf(hooks));
    FolderSet next;
    // Walked over a copy: an entry that cannot be read drops out of the set meanwhile. The
    // caller's own entries are scanned even when hidden, since the user chose them.
    const FolderSet given = set;
    for (const QString& entry : given)
        guard.step(1, [&] { ScanFolder(set, entry, next, hooks); });
    if (tree && !next.isEmpty())
        guard.step(2, [&] { GetSubDirectories2016(next, true, hooks); });
    guard.step(3, [&] {
        for (const QString& folder : std::as_const(next)) {
            if (IsScannableFolder(folder))
                set.append(folder);
            Yield(hooks);
        }
    });
}

void CollectFolderFiles(const QString& folder, const QString& pattern,
                        const std::function<void(const QString& path)>& append,
                        FolderScanHooks& hooks) {
    Guard guard(ReporterOf(hooks));
    FolderSet set{folder + kSeparator};
    guard.step(1, [&] { GetSubDirectories2016(set, true, hooks); });
    for (const QString& entry : std::as_const(set)) {
        guard.step(2, [&] {
            const QString parent = entry.endsWith(kSeparator) ? entry.chopped(1) : entry;
            const auto undecodable = [&](const QByteArray& raw) {
                const QString path = CleanPath(parent + kSeparator + QString::fromUtf8(raw));
                if (hooks.leftOut)
                    hooks.leftOut(path, kUndecodableNameReason);
                PassOver(hooks, path, kUndecodableNameReason, false);
            };
            const auto notAFile = [&](const QString& name, const QString& reason) {
                PassOver(hooks, CleanPath(parent + kSeparator + name), reason, false);
            };
            for (const QString& name : ListFilesInFolder(parent, pattern, undecodable, notAFile)) {
                // "~" marks the temporary copies editors leave beside a file.
                if (!name.startsWith(u'~'))
                    append(CleanPath(parent + kSeparator + name));
                else
                    PassOver(hooks, CleanPath(parent + kSeparator + name), kTildeNameReason, false);
            }
        });
    }
}
