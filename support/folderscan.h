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
};

inline const QString kUndecodableNameReason =
    QStringLiteral("left out: its name is not valid UTF-8");
inline const QString kUnsafeNameReason =
    QStringLiteral("left out: its name holds a control character or \"?\"");

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
// Names whose bytes are not valid in the file-name encoding are handed to undecodable, if given.
QStringList ListFilesInFolder(const QString& folder, const QString& pattern,
                              const std::function<void(const QByteArray& name)>& undecodable = {});

// Appends every subfolder of the set's entries, breadth first, level by level, each level in the
// order of its parents. Links to folders are never followed (no cycles), hidden folders and
// pseudo file systems (proc, sysfs, ...) are skipped with their subtrees, and an unreadable
// folder silently drops out of the set with its files.
void GetSubDirectories2016(FolderSet& set, bool tree, FolderScanHooks& hooks);

// Every matching file of the folder's tree, the folder's own first, then its subfolders level by
// level; names beginning with "~" are left out. Each path is cleaned of doubled separators and
// handed to append as soon as it is found.
void CollectFolderFiles(const QString& folder, const QString& pattern,
                        const std::function<void(const QString& path)>& append,
                        FolderScanHooks& hooks);
