#pragma once

#include "engine/run/runner.h"

#include <QFile>
#include <QSaveFile>
#include <QString>

// The run's account for scripts: one JSON object a line (JSON Lines) for each image of the run, in
// list order, with its input, output, status, message and milliseconds.
class RunReport {
public:
    // Starts the report at target, or on standard output for "-". A file is written as every
    // output is, into a temporary file beside it that takes its place at finish(); an earlier
    // report stays whole until then. False with the reason when it cannot be started.
    bool open(const QString& target, QString& error);
    bool isOpen() const { return device_ != nullptr; }

    // message: what the run said about the image, or the empty text.
    void add(const ImageReport& report, const QString& message);

    // Puts the finished file in place. False with the reason when that fails.
    bool finish(QString& error);

private:
    QSaveFile file_;
    QFile standardOutput_;
    QIODevice* device_ = nullptr;
    QString target_;
};

// The status a report gives an outcome: "written", "failed", "skipped", "up to date", "repeat".
QString StatusText(ImageOutcome outcome);
