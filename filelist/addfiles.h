#pragma once

#include "support/folderscan.h"

#include <QString>
#include <QStringList>
#include <functional>

class ImageFileList;
class Prompter;
class QMimeData;

inline const QString kAddFilesDialogTitle =
    QStringLiteral("Add File(s) - Hold Ctrl or Shift to select multiple files");
// The picture filter of the open dialog. The upper-case patterns are there for the desktop's own
// dialogs, whose patterns are case-sensitive: a camera's "IMG_0001.JPG" must be offered too.
inline const QString kPictureFilter =
    QStringLiteral("All Pictures (*.bmp *.jpg *.jpeg *.gif *.png *.tif *.tiff *.webp *.avif *.heic "
                   "*.heif *.jxl *.BMP *.JPG *.JPEG *.GIF *.PNG *.TIF *.TIFF *.WEBP *.AVIF *.HEIC "
                   "*.HEIF *.JXL)");
inline const QString kExtensionPromptText =
    QStringLiteral("Enter file extension to load:\r\r"
                   "(* for all files, txt for all txt files, doc for all doc files, etc.)");
inline const QString kDefaultExtension = QStringLiteral("*");

// "Add Image File(s)": the multi-selection open dialog; the picked paths are appended in the
// order the dialog returns them, whatever their type.
void AddImageFiles(ImageFileList& list, Prompter& prompter);

// "Add All File(s) In Folder": asks for an extension and a folder (both remembered), then appends
// every matching file of the folder's tree under the busy mark.
void AddFolderFiles(ImageFileList& list, Prompter& prompter,
                    const std::function<void(bool busy)>& setBusy);

// The hooks of a scan run from the window: it yields to the event queue so that the window stays
// alive, reports unexpected failures of the folder walk through the prompter (none without), and
// gathers into leftOut, when given, the files and folders it leaves out for their names.
FolderScanHooks WindowScanHooks(Prompter* prompter, QStringList* leftOut = nullptr);

inline const QString kLeftOutMessage =
    QStringLiteral("These files and folders were not added: their names cannot be read as text "
                   "(they are not valid UTF-8) or hold a control character or \"?\".\r\r");

// One box, after a scan, naming what it left out for their names; nothing when it left out none.
void TellLeftOut(Prompter* prompter, const QStringList& leftOut);

// True when dragged data offers at least one file of this machine, the only thing a drop on the
// list can use.
bool OffersLocalFiles(const QMimeData& data);
// The plain paths of the local files among the dragged URLs, in the source's order; URLs of
// other machines and of other kinds are left out.
QStringList DroppedLocalPaths(const QMimeData& data);

// Adds dropped paths in order: a folder adds every file of its tree, anything else is appended as
// it came, without tests. A failure is reported (when there is a prompter) and the next path is
// taken; entries already appended stay.
void AddDroppedPaths(ImageFileList& list, const QStringList& paths, Prompter* prompter);

// "Open with" from the desktop: the files and folders given to the program when it starts join
// the list as a drop adds them. A relative path is taken from the folder the program started in.
void AddStartPaths(ImageFileList& list, const QStringList& arguments, Prompter* prompter);
