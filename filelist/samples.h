#pragma once

#include <QString>
#include <QUrl>
#include <functional>

class ImageFileList;
class Prompter;

// The folder of the sample images, inside the program's folder.
inline const QString kSamplesFolder = QStringLiteral("/Samples");
inline const QString kOpenSamplesQuestion =
    QStringLiteral("Would you like this software to open the folder where these sample files are "
                   "stored (so that you can view them before working with them)?");

// Adds each sample image that ships beside the program and is not listed yet, then offers to open
// the samples folder. A failure is left to the caller's report; entries already added stay.
void AddSampleFiles(ImageFileList& list, Prompter& prompter,
                    const std::function<void(const QUrl&)>& openUrl);
