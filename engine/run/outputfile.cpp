// The safe output file: a nameless temporary file that takes the target's place once complete.
#include "engine/run/outputfile.h"

#include "support/failure.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
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

QByteArray TemporaryPrefix(const QByteArray& target) {
    return '.' + target.mid(target.lastIndexOf('/') + 1) + ".tintorel-";
}

// A name beside the target that no one else uses: hidden, so that a folder scan never lists it.
QByteArray TemporaryName(const QByteArray& target) {
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray() : target.left(slash + 1);
    return folder + TemporaryPrefix(target) +
           QByteArray::number(QRandomGenerator::global()->generate64(), 36);
}

// One of our own hidden copies of the target: the prefix, then the random part in base 36.
bool IsTemporaryOf(const char* entry, const QByteArray& prefix) {
    const QByteArray name(entry);
    if (!name.startsWith(prefix) || name.size() == prefix.size() ||
        name.size() > prefix.size() + 13)
        return false;
    for (const char c : name.mid(prefix.size()))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')))
            return false;
    return true;
}

// Removes a hidden copy left by a run that was killed before its rename. A copy still being
// written or renamed is locked by its writer, so only an abandoned one is taken; the name must
// still be the file that was locked, since another run may have cleaned it up meanwhile.
void RemoveIfAbandoned(int folder, const char* name) {
    const int fd = ::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_ino == opened.st_ino && named.st_dev == opened.st_dev)
        ::unlinkat(folder, name, 0);
    ::close(fd);
}

// The hidden copies of the target that earlier runs left behind, removed once the target is
// written: they hold nothing the target does not.
void RemoveAbandonedCopies(const QByteArray& target) {
    const int folder = ::open(FolderOf(target).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return;
    DIR* entries = ::fdopendir(folder);
    if (!entries) {
        ::close(folder);
        return;
    }
    const QByteArray prefix = TemporaryPrefix(target);
    while (const dirent* entry = ::readdir(entries))
        if (IsTemporaryOf(entry->d_name, prefix))
            RemoveIfAbandoned(::dirfd(entries), entry->d_name);
    ::closedir(entries);
}

// The new name is on disk only once its folder is: a power cut after "written" must not take it.
int SyncFolder(const QByteArray& target) {
    const int folder = ::open(FolderOf(target).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return errno;
    const int result = ::fsync(folder) == 0 || errno == EINVAL || errno == EROFS ? 0 : errno;
    ::close(folder);
    return result;
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
    // Held until the copy has its name, so that no other run takes it for an abandoned one. A
    // file system without locks leaves the copy unlocked, and the rename still finds it.
    ::flock(fd_, LOCK_SH | LOCK_NB);
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
    // the whole new file under that name, which the next copy written to the target removes.
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
    // The lock stays on a second descriptor of the same open file until the rename is done.
    const int lock = ::dup(fd_);
    if (::close(std::exchange(fd_, -1)) != 0) {
        const int error = errno;
        ::close(lock);
        fail(error);
    }
    const int renamed =
        named || ::rename(namedTemporary_.constData(), encodedTarget_.constData()) == 0 ? 0 : errno;
    if (lock >= 0)
        ::close(lock);
    if (renamed != 0)
        fail(renamed);
    finishCommit(named);
}

void OutputFile::finishCommit(bool linked) {
    namedTemporary_.clear();
    if (const int error = SyncFolder(encodedTarget_)) {
        // A new name that may not last is taken back; a replaced file is gone already, and the
        // whole new copy in its place is worth more than none.
        if (linked)
            ::unlink(encodedTarget_.constData());
        QIODevice::close();
        committed_ = true;
        throw Failure(reason(error));
    }
    committed_ = true;
    QIODevice::close();
    RemoveAbandonedCopies(encodedTarget_);
}
