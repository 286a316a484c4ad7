#include "app/runtally.h"

#include "engine/run/batch.h"
#include "engine/run/stampfile.h"
#include "support/errorreport.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

void RunTally::begin(int listed) {
    *this = RunTally();
    listed_ = listed;
}

void RunTally::addFailure(int step, const QString& description) {
    // The report's own words, step and location: the failure's text names the file.
    details_ << description + QStringLiteral("\n") + ErrorLocation::StartRun +
                    QStringLiteral("at line ") + QString::number(step);
}

void RunTally::addReport(const ImageReport& report) {
    ++reported_;
    switch (report.outcome) {
    case ImageOutcome::Written:
    case ImageOutcome::Repeat:   // the same file, its copy written once already
    case ImageOutcome::UpToDate: // its copy stands as this run would write it
        ++written_;
        break;
    case ImageOutcome::Failed:
        ++failed_;
        break;
    case ImageOutcome::OtherShard: // the window never shares a run among machines
        ++skipped_;
        break;
    case ImageOutcome::Skipped:
        ++skipped_;
        // A skip with a failure was listed with it; one without has no output format.
        if (report.failures.isEmpty())
            details_ << report.inputPath + QStringLiteral(": ") + kNoAutomaticFormatReason;
        break;
    }
}

void RunTally::setFolderUnwritable(const QString& folder, const QString& reason) {
    unwritableFolder_ = folder;
    if (!reason.isEmpty())
        details_ << folder + QStringLiteral(": ") + reason;
}

QString RunTally::message(const QString& closing) const {
    if (!unwritableFolder_.isEmpty())
        return kFolderUnwritableMessage.arg(unwritableFolder_);
    const bool stopped = closing == kStoppedMessage;
    // A stop leaves pictures unwritten by the user's wish; only failures need counting then.
    if (details_.isEmpty() && (stopped || written_ == listed_))
        return closing;
    // A run that ends without reaching every picture unstopped could not begin (the watermark is
    // no picture): those it never reached failed with it.
    const int failed = failed_ + (stopped ? 0 : listed_ - reported_);
    const QString& form = stopped ? kStoppedCountsMessage : kDoneCountsMessage;
    return form.arg(written_).arg(failed).arg(skipped_);
}

QString RunTally::details() const {
    return details_.join(QStringLiteral("\n\n"));
}

bool FailsEveryPicture(const StepFailure& failure) {
    if (failure.step != RunStep::Write)
        return false;
    for (int error : {EACCES, EROFS, ENOSPC, EDQUOT})
        if (failure.text.contains(QString::fromLocal8Bit(std::strerror(error))))
            return true;
    return false;
}

namespace {
bool FailsEveryFile(int error) {
    return error == EACCES || error == EROFS || error == ENOSPC || error == EDQUOT;
}
} // namespace

int FolderRefusesFiles(const QString& folder) {
    const QByteArray path = QFile::encodeName(folder);
    int fd = ::open(path.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A file system without unnamed files: a named one, removed at once.
        QByteArray name = path + "/.tintorel-probe-XXXXXX";
        fd = ::mkstemp(name.data());
        if (fd >= 0)
            ::unlink(name.constData());
    }
    if (fd < 0)
        return FailsEveryFile(errno) ? errno : 0;
    ::close(fd);
    // An empty file still fits on a full disk; the pictures would not.
    struct statvfs space {};
    if (::statvfs(path.constData(), &space) == 0 && space.f_bavail == 0)
        return ENOSPC;
    return 0;
}
