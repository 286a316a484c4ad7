#pragma once

#include <QString>

// The program's one path separator; the root folder "/" plays the part of a drive root.
inline constexpr QChar kSeparator = u'/';
inline const QString kSeparatorText = QStringLiteral("/");

// The folder of the running executable, without a final separator (the root stays "/"). An
// installed program runs through a link in bin/; the real folder beside the assets is meant.
QString ProgramFolder();
// Lets a test put the program's optional files (samples, pointers, skin) in a folder of its own;
// the empty text returns to the executable's folder.
void SetProgramFolderForTesting(const QString& folder);

// The user's Desktop folder followed by "/". Raises a Failure when it cannot be resolved.
QString DesktopFolderPath();

// The output folder of a first start, followed by "/": the first existing one of the XDG desktop
// folder, the XDG pictures folder and the home folder (the last even when it does not exist).
QString DefaultOutputFolder();

// True for an existing file or folder whose time stamp can be read; false for any failure.
bool PathExists(const QString& path);

// The text after the last separator, or the whole path when it holds none.
QString FileNameOfPath(const QString& path);

// Everything up to and including the last separator, or the empty text when there is none.
QString FolderOfPath(const QString& path);

// True when the path names a folder; false for anything else and for any failure.
bool IsFolder(const QString& path);

// Creates the folder with every missing parent. A folder that exists already is fine, also one
// that another worker makes at the same moment. Raises a Failure with the system's reason.
void MakeFolderPath(const QString& path);

// Removes the doubled separators that joining a folder and a name produce, in one left-to-right
// pass. Every absolute path starts at the one root "/", so a leading run of separators becomes a
// single one: there is no network-path prefix to keep on this system.
QString CleanPath(const QString& path);
