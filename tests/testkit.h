#pragma once

#include "support/prompter.h"

#include <QImage>
#include <QList>
#include <QQueue>
#include <QString>
#include <QStringList>

#include <functional>

// A prompter whose answers a test scripts in advance and which records everything it was asked,
// so that no test ever waits on a modal box. An unscripted question gets the "cancel" answer.
class ScriptedPrompter : public Prompter {
public:
    struct Shown {
        QString kind; // "message", "question", "existing", "text", "files", "folder", "color"
        QString text;
        QString title;
        Icon icon = Icon::None;
        QString details; // the details area of a box that has one
    };

    void showMessage(const QString& text, const QString& title, Icon icon) override;
    // Recorded as a "message" whose details are kept beside it.
    void showDetails(const QString& text, const QString& title, Icon icon,
                     const QString& details) override;
    bool askYesNo(const QString& text, const QString& title) override;
    // Recorded as "existing"; unscripted, both are kept.
    ExistingAnswer askExisting(const QString& text, const QString& title) override;
    std::optional<QString> askText(const QString& title, const QString& label,
                                   const QString& initialText) override;
    QStringList chooseOpenFiles(const QString& title, const QString& filter,
                                const QString& initialPath, bool multiple) override;
    QString chooseFolder(const QString& prompt, const QString& initialFolder) override;
    std::optional<BgrColor> chooseColor(BgrColor initial) override;

    // Something to do while the next OK box shows, as a user or the desktop might.
    std::function<void()> whileNextBoxShows;

    // Scripted answers, taken in order.
    QQueue<bool> yesNoAnswers;
    QQueue<ExistingAnswer> existingAnswers;
    QQueue<std::optional<QString>> textAnswers;
    QQueue<QStringList> fileAnswers;
    QQueue<QString> folderAnswers;
    QQueue<std::optional<BgrColor>> colorAnswers;

    // What was asked.
    QList<Shown> shown;
    QStringList textInitials;   // the initial text of each text prompt
    QStringList folderInitials; // the starting folder of each folder picker
    QStringList filters;        // the filter of each open dialog
    QList<bool> multipleFlags;  // whether each open dialog allowed several files

    QStringList messages() const; // the texts of the OK boxes, in order
    int count(const QString& kind) const;
    void clear();
};

// A solid image with an optional block of another colour, for tests that compose and compare.
QImage SolidImage(int width, int height, QRgb color);

// Writes an image in the given format, failing the test when it cannot.
void WriteImage(const QImage& image, const QString& path, const char* format);

// What a program run as a process did: its exit code (-1 when it did not end in time or was
// killed) and what it wrote.
struct ProcessResult {
    int code = -1;
    QString errors;
    QString output;
};
ProcessResult RunProcess(const QString& program, const QStringList& arguments,
                         const QByteArray& input = {}, int timeoutMs = 60000);

// The bytes of a file; empty when it cannot be read.
QByteArray Contents(const QString& path);
