#pragma once

#include "engine/run/runner.h"

#include <QFile>
#include <QString>

#include <memory>

class OutputFile;

// The run's account for scripts: one JSON object a line (JSON Lines) for each image of the run, in
// list order, with its input, output, status, message and milliseconds.
class RunReport {
public:
    RunReport();
    ~RunReport();

    // Starts the report at target, or on standard output for "-". A regular file (or one that
    // does not exist yet) is written as every output is, into an unnamed file in its folder that
    // takes its place at finish(), so an earlier report stays whole until the new one is complete;
    // a link to a file writes that file. A device or a named pipe is written directly, as the run
    // goes, and stays what it is. False with the reason when it cannot be started.
    bool open(const QString& target, QString& error);
    bool isOpen() const { return device_ != nullptr; }

    // message: what the run said about the image, or the empty text.
    void add(const ImageReport& report, const QString& message);

    // Puts the finished file in place and syncs its folder, so that the report is on disk when
    // the run says so. False with the reason when any write, the sync or the renaming failed;
    // an earlier report file then stays as it was.
    bool finish(QString& error);

private:
    bool openDirect(const QString& path, QString& error);
    QString failureText(const QString& reason) const;

    std::unique_ptr<OutputFile> file_;
    QFile direct_; // standard output, a device or a named pipe
    QIODevice* device_ = nullptr;
    QString target_;
    QString writeError_; // the first write that failed; nothing is written after it
    bool replacing_ = false;
};

// The status a report gives an outcome: "written", "failed", "skipped", "up to date", "repeat".
QString StatusText(ImageOutcome outcome);

// Why the report cannot go to target: it is one of the run's inputs, its watermark, its list of
// inputs (filesFrom) or the output of one of its images (the same file, or the same path for an
// output yet to be made). The empty text when it can.
QString ReportClash(const QString& target, const WatermarkJob& job, const QString& filesFrom);
