#include "filelist/addfiles.h"

#include "filelist/imagelist.h"
#include "support/errorreport.h"
#include "support/imaging.h"
#include "support/paths.h"
#include "support/prompter.h"
#include "support/settings.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMimeData>
#include <QSysInfo>
#include <QUrl>

#include <algorithm>
#include <optional>

namespace {
const QString kEveryFile = QStringLiteral("*.*");
const QString kLocalHost = QStringLiteral("localhost");

// The scan takes a folder without a final separator; the root stays "/".
QString WithoutTrailingSeparator(QString folder) {
    while (folder.size() > 1 && folder.endsWith(kSeparator))
        folder.chop(1);
    return folder;
}

// A file URL names a file of this machine when it has no host, or names this machine; some
// sources still write "file://localhost/...".
std::optional<QString> LocalPathOf(const QUrl& url) {
    if (!url.isLocalFile())
        return std::nullopt;
    QUrl local = url;
    if (const QString host = url.host(); !host.isEmpty()) {
        if (host.compare(kLocalHost, Qt::CaseInsensitive) != 0 &&
            host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) != 0)
            return std::nullopt;
        local.setHost(QString());
    }
    const QString path = local.toLocalFile();
    return path.isEmpty() ? std::nullopt : std::optional(path);
}

Guard::Reporter ListReporter(Prompter* prompter) {
    if (!prompter)
        return [](int, const QString&) {
        };
    return [prompter](int step, const QString& text) {
        ReportError(*prompter, ErrorLocation::ListHandlers, step, text);
    };
}
} // namespace

void AddImageFiles(ImageFileList& list, Prompter& prompter) {
    Guard guard(prompter, ErrorLocation::AddImageFiles);
    QStringList picked;
    // The dialog gives full paths in its own order; what the user picked or typed is listed as
    // it is, image or not, existing or not.
    guard.step(1, [&] {
        picked = prompter.chooseOpenFiles(kAddFilesDialogTitle, kPictureFilter, QString(), true);
    });
    guard.step(2, [&] {
        for (const QString& path : std::as_const(picked))
            list.append(path);
    });
}

void AddFolderFiles(ImageFileList& list, Prompter& prompter,
                    const std::function<void(bool busy)>& setBusy) {
    Guard guard(prompter, ErrorLocation::AddFolderFiles);
    QString extension;
    guard.step(1, [&] {
        extension = prompter
                        .askText(ShortTitle(), kExtensionPromptText,
                                 GetSetting(SettingKey::Extension, kDefaultExtension))
                        .value_or(QString());
    });
    if (extension.isEmpty())
        return;
    guard.step(2, [&] { SaveSetting(SettingKey::Extension, extension); });
    QString folder;
    guard.step(3, [&] {
        folder = prompter.chooseFolder(kPickFolderPrompt, GetSetting(SettingKey::LastScanFolder));
    });
    if (folder.isEmpty())
        return;
    guard.step(4, [&] { SaveSetting(SettingKey::LastScanFolder, folder); });
    guard.step(5, [&] { setBusy(true); });
    QStringList leftOut;
    guard.step(6, [&] {
        FolderScanHooks hooks = WindowScanHooks(&prompter, &leftOut);
        // "*" gives "*.*", every file; letters give that one extension.
        CollectFolderFiles(
            WithoutTrailingSeparator(folder), QStringLiteral("*.") + extension,
            [&list](const QString& path) { list.append(path); }, hooks);
    });
    guard.step(7, [&] { setBusy(false); });
    guard.step(8, [&] { TellLeftOut(&prompter, leftOut); });
}

FolderScanHooks WindowScanHooks(Prompter* prompter, QStringList* leftOut) {
    FolderScanHooks hooks;
    hooks.yield = [] {
        QCoreApplication::processEvents();
    };
    if (prompter) {
        hooks.report = [prompter](int step, const QString& text) {
            ReportError(*prompter, ErrorLocation::FolderTree, step, text);
        };
    }
    if (leftOut)
        hooks.leftOut = [leftOut](const QString& path, const QString&) { *leftOut << path; };
    return hooks;
}

void TellLeftOut(Prompter* prompter, const QStringList& leftOut) {
    if (!prompter || leftOut.isEmpty())
        return;
    // A box names a screenful; a tree of such names is summed up after that.
    constexpr qsizetype kNamed = 15;
    QString text = kLeftOutMessage + leftOut.mid(0, kNamed).join(QLatin1Char('\r'));
    if (leftOut.size() > kNamed)
        text += QStringLiteral("\r... and %1 more").arg(leftOut.size() - kNamed);
    prompter->showMessage(text, ShortTitle(), Prompter::Icon::None);
}

bool OffersLocalFiles(const QMimeData& data) {
    if (!data.hasUrls())
        return false;
    const QList<QUrl> urls = data.urls();
    return std::any_of(urls.begin(), urls.end(),
                       [](const QUrl& url) { return LocalPathOf(url).has_value(); });
}

QStringList DroppedLocalPaths(const QMimeData& data) {
    QStringList paths;
    for (const QUrl& url : data.urls()) {
        if (const std::optional<QString> path = LocalPathOf(url))
            paths.append(*path);
    }
    return paths;
}

void AddDroppedPaths(ImageFileList& list, const QStringList& paths, Prompter* prompter) {
    Guard guard(ListReporter(prompter));
    QStringList leftOut;
    FolderScanHooks hooks = WindowScanHooks(prompter, &leftOut);
    const auto append = [&list](const QString& path) {
        list.append(path);
    };
    for (const QString& path : paths) {
        // A dropped folder brings its whole tree, whatever the files are; a dropped file is
        // listed as the source named it.
        guard.step(1, [&] {
            if (IsFolder(path))
                CollectFolderFiles(WithoutTrailingSeparator(path), kEveryFile, append, hooks);
            else
                list.append(path);
        });
    }
    guard.step(2, [&] { TellLeftOut(prompter, leftOut); });
}

void AddStartPaths(ImageFileList& list, const QStringList& arguments, Prompter* prompter) {
    QStringList paths;
    for (const QString& argument : arguments) {
        if (!argument.isEmpty())
            paths << QFileInfo(argument).absoluteFilePath();
    }
    AddDroppedPaths(list, paths, prompter);
}
