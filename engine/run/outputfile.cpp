// The safe output file: a nameless temporary file that takes the target's place once complete.
#include "engine/run/outputfile.h"

#include "support/failure.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {
constexpr mode_t kNewFileMode = 0666; // narrowed by the user's umask, as for any new file

QByteArray FolderOf(const QByteArray& path) {
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

// A name beside the target that no one else uses: hidden, so that a folder scan never lists it.
QByteArray TemporaryName(const QByteArray& target) {
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray() : target.left(slash + 1);
    const QByteArray name = target.mid(slash + 1);
    return folder + '.' + name + ".tintorel-" +
           QByteArray::number(QRandomGenerator::global()->generate64(), 36);
}

int SyncData(int fd) {
    // File systems that cannot sync (a pipe-like device, some network mounts) say so with EINVAL;
    // the data is as safe as that file system makes it.
    if (::fdatasync(fd) == 0 || errno == EINVAL || errno == EROFS)
        return 0;
    return errno;
}
} // namespace

OutputFile::OutputFile(const QString& target)
    : target_(target), encodedTarget_(QFile::encodeName(target)) {
    struct stat existing {};
    const bool replacing = ::stat(encodedTarget_.constData(), &existing) == 0;
    const QByteArray folder = FolderOf(encodedTarget_);
    fd_ = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, kNewFileMode);
    if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // No unnamed files here: a named one, removed again on every way out but success.
        for (int attempt = 0; fd_ < 0 && attempt < 16; ++attempt) {
            namedTemporary_ = TemporaryName(encodedTarget_);
            fd_ = ::open(namedTemporary_.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC,
                         kNewFileMode);
            if (fd_ < 0 && errno != EEXIST)
                break;
        }
        if (fd_ < 0)
            namedTemporary_.clear();
    }
    if (fd_ < 0)
        fail(errno);
    // The copy keeps the permissions of the file it replaces, as a save in place would.
    if (replacing && S_ISREG(existing.st_mode) && ::fchmod(fd_, existing.st_mode & 07777) != 0)
        fail(errno);
    QIODevice::open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

OutputFile::~OutputFile() {
    if (!committed_)
        discard();
}

QString OutputFile::reason(int errorNumber) const {
    return target_ + QStringLiteral(": ") + SystemErrorText(errorNumber);
}

void OutputFile::fail(int errorNumber) {
    discard();
    throw Failure(reason(errorNumber));
}

void OutputFile::closeDescriptor() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void OutputFile::discard() {
    closeDescriptor();
    if (!namedTemporary_.isEmpty())
        ::unlink(namedTemporary_.constData());
    namedTemporary_.clear();
    if (isOpen())
        QIODevice::close();
}

bool OutputFile::setAttribute(const char* name, const QByteArray& value) {
    return fd_ >= 0 && ::fsetxattr(fd_, name, value.constData(), size_t(value.size()), 0) == 0;
}

qint64 OutputFile::size() const {
    struct stat info {};
    return fd_ >= 0 && ::fstat(fd_, &info) == 0 ? qint64(info.st_size) : 0;
}

qint64 OutputFile::readData(char*, qint64) {
    return -1;
}

qint64 OutputFile::writeData(const char* data, qint64 size) {
    if (fd_ < 0)
        return -1;
    qint64 done = 0;
    while (done < size) {
        const ssize_t written = ::pwrite(fd_, data + done, size_t(size - done), pos() + done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            setErrorString(reason(written < 0 ? errno : ENOSPC));
            return -1;
        }
        done += written;
    }
    return done;
}

bool OutputFile::linkTo(const QByteArray& name) {
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd_);
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno != EEXIST)
        fail(errno);
    return false;
}

void OutputFile::commit() {
    if (fd_ < 0)
        throw Failure(errorString().isEmpty() ? reason(EBADF) : errorString());
    if (const int error = SyncData(fd_))
        fail(error);
    // A new file takes its name in one step, so that a program killed at any moment leaves the
    // whole file or none. Only a file that replaces another goes through a hidden name first,
    // since no file can be linked over another; killed between the two steps, the program leaves
    // the whole new file under that name.
    const bool unnamed = namedTemporary_.isEmpty();
    const bool named = unnamed && linkTo(encodedTarget_);
    if (named)
        namedTemporary_ = encodedTarget_; // ours now: removed again if the close fails
    for (int attempt = 0; namedTemporary_.isEmpty() && attempt < 16; ++attempt) {
        const QByteArray temporary = TemporaryName(encodedTarget_);
        if (linkTo(temporary))
            namedTemporary_ = temporary;
    }
    if (namedTemporary_.isEmpty())
        fail(EEXIST);
    if (::close(std::exchange(fd_, -1)) != 0)
        fail(errno);
    if (!named && ::rename(namedTemporary_.constData(), encodedTarget_.constData()) != 0)
        fail(errno);
    namedTemporary_.clear();
    committed_ = true;
    QIODevice::close();
}
