#pragma once

#include "engine/run/runner.h"

#include <QString>
#include <QStringList>

// The end of a run that did not write every picture: what was written, failed and skipped.
inline const QString kDoneCountsMessage =
    QStringLiteral("Done: %1 written, %2 failed, %3 skipped.");
inline const QString kStoppedCountsMessage =
    QStringLiteral("Stopped: %1 written, %2 failed, %3 skipped.");
inline const QString kFolderUnwritableMessage =
    QStringLiteral("Stopped: the output folder %1 cannot be written. Nothing more was tried.");
inline const QString kNoAutomaticFormatReason =
    QStringLiteral("its extension names no format that Automatic writes");

// What the window tells at the end of a run, gathered while the run goes on: one box at the end
// instead of one per failure, so that no number of failing pictures can hold the user.
class RunTally {
public:
    // A run of `listed` pictures begins.
    void begin(int listed);
    // A failed step, as the common error report would have shown it.
    void addFailure(int step, const QString& description);
    void addReport(const ImageReport& report);
    // The run stopped because the output folder takes no file; reason is the system's words for
    // it when no picture's failure told them.
    void setFolderUnwritable(const QString& folder, const QString& reason = {});

    bool started() const { return listed_ >= 0; }
    // The end message for a run that ended with `closing` ("Done." or "Stopped.").
    QString message(const QString& closing) const;
    // The failures and the skipped pictures with their reasons, one entry each.
    QString details() const;
    bool anyFailure() const { return !details_.isEmpty(); }

private:
    int listed_ = -1;
    int written_ = 0;
    int failed_ = 0;
    int skipped_ = 0;
    int reported_ = 0;
    QStringList details_;
    QString unwritableFolder_;
};

// Why no file can be made in the folder (an error number: EACCES, EROFS, ENOSPC, EDQUOT), or 0
// when one can. Tried with a file that leaves no trace.
int FolderRefusesFiles(const QString& folder);

// Whether a failed step means that no picture of the run can be written: the output folder is
// read-only, refuses us, or the disk or the quota is full.
bool FailsEveryPicture(const StepFailure& failure);
