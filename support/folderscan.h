#pragma once

#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <functional>

// An ordered collection of folder paths, each ending in "/". A scan starts it with the chosen
// folder and grows it level by level.
using FolderSet = QStringList;

// What a folder scan needs of its caller: a yield to the event queue between folders (so a long
// scan keeps the window alive), and the common error report for failures it does not expect.
struct FolderScanHooks {
    std::function<void()> yield;
    std::function<void(int step, const QString& description)> report;
    // A folder the scan must not enter, such as the output folder of a run inside its input.
    std::function<bool(const QString& folder)> skipFolder;
    // A file or folder left out for its name (bytes that are not valid UTF-8, which no text can
    // name, or characters a scan must not trust), told rather than dropped in silence. The path
    // shows the bytes it cannot decode as U+FFFD.
    std::function<void(const QString& path, const QString& reason)> leftOut;
    // Everything the scan passes over that is or may hold a picture, each with its reason and
    // whether it is a folder: the names leftOut hears of, and besides them files that are no
    // regular file (a pipe, a device, a link to nothing), names beginning with "~", links to
    // folders not followed, and folders whose path is too long to enter. Hidden names (a leading
    // ".") are not told: they are the program's own temporary files and the user's hidden ones.
    std::function<void(const QString& path, const QString& reason, bool folder)> passedOver;
    // Follow links to folders, each unless it leads back to a folder on its own way there (the
    // same device and inode), which would make the scan endless. Off, links to folders are never
    // followed.
    bool followFolderLinks = false;
};

inline const QString kUndecodableNameReason =
    QStringLiteral("left out: its name is not valid UTF-8");
inline const QString kUnsafeNameReason =
    QStringLiteral("left out: its name holds a control character or \"?\"");
inline const QString kNotRegularReason =
    QStringLiteral("left out: a pipe, device or socket, not a picture file");
inline const QString kDanglingLinkReason = QStringLiteral("left out: a link to nothing");
inline const QString kTildeNameReason =
    QStringLiteral("left out: a name beginning with \"~\" marks an editor's temporary copy");
inline const QString kFolderLinkReason =
    QStringLiteral("left out: a link to a folder, which this scan does not follow");
inline const QString kLinkLoopReason =
    QStringLiteral("left out: a link back to a folder on its own way, which would never end");
inline const QString kLongPathReason =
    QStringLiteral("left out: its path is longer than 4096 characters");

// True for a path that names an existing regular file (following a link to one). A folder, a
// FIFO, a socket, a device, a missing path or any failure gives false; nothing is opened, so a
// scan never hangs on a pipe or a device.
bool IsOpenableFile(const QString& path);

// True when a file name holds a character a scan must not trust: a control character (below 32
// or 127 to 159), "?", or bytes that are not valid in the file-name encoding.
bool HasUnsafeNameChars(const QString& name);

// The program's file patterns as an expression: "*" any run, "?" one character, everything else
// literally and without regard to case. "*.*" is the habitual "all files" and so also takes names
// without a dot.
QRegularExpression FilePatternExpression(const QString& pattern);

// The names (without folder) of the openable files in one folder that match the pattern, in the
// folder's listing order. Matching is case-insensitive with "*" for any run of characters and
// "?" for one; "*.*" matches every name, with or without a dot. Names starting with "." are hidden
// and never listed. A missing or unreadable folder gives no names.
// Names whose bytes are not valid in the file-name encoding are handed to undecodable, if given;
// matching names that are no openable file nor a folder to passedOver, with the reason.
QStringList ListFilesInFolder(
    const QString& folder, const QString& pattern,
    const std::function<void(const QByteArray& name)>& undecodable = {},
    const std::function<void(const QString& name, const QString& reason)>& passedOver = {});

// Appends every subfolder of the set's entries, breadth first, level by level, each level in the
// order of its parents. Links to folders are followed only as the hooks say, never round a loop;
// hidden folders and pseudo file systems (proc, sysfs, ...) are skipped with their subtrees, and
// an unreadable folder silently drops out of the set with its files.
void GetSubDirectories2016(FolderSet& set, bool tree, FolderScanHooks& hooks);

// Every matching file of the folder's tree, the folder's own first, then its subfolders level by
// level; names beginning with "~" are left out. Each path is cleaned of doubled separators and
// handed to append as soon as it is found.
void CollectFolderFiles(const QString& folder, const QString& pattern,
                        const std::function<void(const QString& path)>& append,
                        FolderScanHooks& hooks);
