#include "cli/clireport.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

bool RunReport::open(const QString& target, QString& error) {
    target_ = target;
    if (target == QLatin1String("-")) {
        if (standardOutput_.open(stdout, QIODevice::WriteOnly))
            device_ = &standardOutput_;
        else
            error = QStringLiteral("cannot write the report to standard output: %1")
                        .arg(standardOutput_.errorString());
    } else {
        file_.setFileName(target);
        if (file_.open(QIODevice::WriteOnly))
            device_ = &file_;
        else
            error =
                QStringLiteral("cannot write the report %1: %2").arg(target, file_.errorString());
    }
    return device_ != nullptr;
}

void RunReport::add(const ImageReport& report, const QString& message) {
    if (!device_)
        return;
    const QJsonObject line{
        {QStringLiteral("input"), report.inputPath},
        {QStringLiteral("output"), report.outputPath.isEmpty() ? QJsonValue(QJsonValue::Null)
                                                               : QJsonValue(report.outputPath)},
        {QStringLiteral("status"), StatusText(report.outcome)},
        {QStringLiteral("message"), message},
        {QStringLiteral("milliseconds"), report.milliseconds},
    };
    device_->write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    // A script reading standard output sees each image as it is reported.
    if (device_ == &standardOutput_)
        standardOutput_.flush();
}

bool RunReport::finish(QString& error) {
    if (device_ == &file_ && !file_.commit())
        error = QStringLiteral("cannot write the report %1: %2").arg(target_, file_.errorString());
    else if (device_ == &standardOutput_ && !standardOutput_.flush())
        error = QStringLiteral("cannot write the report to standard output: %1")
                    .arg(standardOutput_.errorString());
    device_ = nullptr;
    return error.isEmpty();
}

QString StatusText(ImageOutcome outcome) {
    switch (outcome) {
    case ImageOutcome::Written:
        return QStringLiteral("written");
    case ImageOutcome::Failed:
        return QStringLiteral("failed");
    case ImageOutcome::Skipped:
        return QStringLiteral("skipped");
    case ImageOutcome::UpToDate:
        return QStringLiteral("up to date");
    case ImageOutcome::Repeat:
        return QStringLiteral("repeat");
    case ImageOutcome::OtherShard:
        break;
    }
    return QString();
}
