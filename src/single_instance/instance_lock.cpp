#include "instance_lock.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string describe(InstanceLockError::Kind kind, int error)
{
    switch (kind) {
    case InstanceLockError::Kind::openFailed:
        return "the lock file could not be opened (" + std::string(std::strerror(error)) + ")";
    case InstanceLockError::Kind::lockFailed:
        return "the lock file could not be locked (" + std::string(std::strerror(error)) + ")";
    case InstanceLockError::Kind::alreadyRunning:
        break;
    }
    return "another instance is running";
}

} // namespace

InstanceLockError::InstanceLockError(Kind kind, int error)
    : kind_(kind), errno_(error), text_(describe(kind, error))
{
}

void createPrivateDirectory(const QString &path)
{
    const QByteArray bytes = QFile::encodeName(path);
    for (qsizetype at = 1; at <= bytes.size(); ++at) {
        if (at != bytes.size() && bytes[at] != '/')
            continue;
        const QByteArray prefix = bytes.left(at);
        if (mkdir(prefix.constData(), 0700) == 0) {
            chmod(prefix.constData(), 0700); // a umask may have taken the owner's bits too
            continue;
        }
        if (errno == EEXIST)
            continue;
        const int error = errno;
        struct stat st;
        if (stat(prefix.constData(), &st) == 0 && S_ISDIR(st.st_mode))
            continue; // e.g. EACCES on an ancestor that exists
        throw DirectoryCreationError(error, QFile::decodeName(prefix));
    }
    struct stat st;
    if (lstat(bytes.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw DirectoryCreationError(errno ? errno : ENOTDIR, path);
}

std::unique_ptr<InstanceLock> InstanceLock::acquire(const QString &lockPath)
{
    createPrivateDirectory(QFileInfo(lockPath).path());
    // Never through a link: a link planted at the lock's path would have its
    // target truncated and overwritten with our process identifier.
    const int fd = open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0)
        throw InstanceLockError::openFailed(errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        throw InstanceLockError::openFailed(EINVAL);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK)
            throw InstanceLockError::alreadyRunning();
        throw InstanceLockError::lockFailed(error);
    }
    std::unique_ptr<InstanceLock> lock(new InstanceLock(fd, lockPath));
    lock->recordProcessIdentifier();
    return lock;
}

InstanceLock::InstanceLock(int fileDescriptor, const QString &lockURL)
    : fileDescriptor_(fileDescriptor), lockURL_(lockURL)
{
}

InstanceLock::~InstanceLock()
{
    flock(fileDescriptor_, LOCK_UN);
    close(fileDescriptor_);
}

void InstanceLock::recordProcessIdentifier()
{
    // Truncated only now that the lock is ours: a loser never touches the
    // holder's identifier. Failures here do not undo the lock.
    const QByteArray text = QByteArray::number(qint64(getpid())) + '\n';
    [[maybe_unused]] const int truncated = ftruncate(fileDescriptor_, 0);
    [[maybe_unused]] const ssize_t written = write(fileDescriptor_, text.constData(), size_t(text.size()));
}
