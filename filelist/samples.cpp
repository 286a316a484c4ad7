#include "filelist/samples.h"

#include "filelist/imagelist.h"
#include "support/folderscan.h"
#include "support/imaging.h"
#include "support/paths.h"
#include "support/prompter.h"

void AddSampleFiles(ImageFileList& list, Prompter& prompter,
                    const std::function<void(const QUrl&)>& openUrl) {
    const QString folder = ProgramFolder() + kSamplesFolder;
    // The folder is listed afresh every time, so a sample added since the last press is found.
    for (const QString& name : ListFilesInFolder(folder, QStringLiteral("*.*"))) {
        const QString path = folder + kSeparator + name;
        if (PathExists(path) && !list.ListContainsPath(path))
            list.append(path);
    }
    // Asked every time, even when nothing was added, so the user can always look at them first.
    if (prompter.askYesNo(kOpenSamplesQuestion, ShortTitle()))
        openUrl(QUrl::fromLocalFile(folder + kSeparator));
}
