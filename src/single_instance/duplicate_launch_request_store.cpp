#include "duplicate_launch_request_store.h"

#include "duplicate_launch_signal.h"
#include "instance_lock.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QUuid>
#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The folder itself, not what a link there points at: a link would make
// the sweep delete every request-like file of its target.
bool isRealDirectory(const QString &path)
{
    struct stat st;
    return lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A request file's text, when it is a regular file of a request's size: a
// FIFO would block, a link to a device would never end.
std::optional<QByteArray> readRequestFile(const QString &path)
{
    constexpr qint64 kMaxRequestBytes = 1 << 20;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat st;
    std::optional<QByteArray> text;
    // Another user's file has no say in what this window opens.
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_size <= kMaxRequestBytes) {
        QByteArray bytes(qsizetype(st.st_size), Qt::Uninitialized);
        qsizetype got = 0;
        for (ssize_t n; got < bytes.size() && (n = ::read(fd, bytes.data() + got, size_t(bytes.size() - got))) > 0;)
            got += n;
        if (got == bytes.size())
            text = bytes;
    }
    ::close(fd);
    return text;
}

} // namespace

void DuplicateLaunchRequestStore::enqueue(const DuplicateLaunchRequest &request,
                                          const SingleInstanceConfiguration &configuration)
{
    const QString directory = configuration.duplicateLaunchRequestsURL();
    try {
        createPrivateDirectory(directory);
    } catch (const DirectoryCreationError &e) {
        throw RequestWriteError(std::string("cannot write a launch request: ") + e.what());
    }
    const QString name = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + ".json";
    // Written beside its final name and renamed into place: a reader sees a
    // whole request or none (the temporary name does not end in .json).
    QSaveFile file(QDir(directory).filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(request.toJson()) < 0 || !file.commit())
        throw RequestWriteError("cannot write a launch request in " + directory.toStdString() + ": " +
                                file.errorString().toStdString());
}

void DuplicateLaunchRequestStore::post(const DuplicateLaunchRequest &request,
                                       const SingleInstanceConfiguration &configuration)
{
    std::exception_ptr failure;
    if (!request.isEmpty()) {
        try {
            enqueue(request, configuration);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    DuplicateLaunchSignal::post(configuration.activationSignalName);
    if (failure)
        std::rethrow_exception(failure);
}

QList<DuplicateLaunchRequest>
DuplicateLaunchRequestStore::consumePending(const SingleInstanceConfiguration &configuration)
{
    QList<DuplicateLaunchRequest> requests;
    const QDir directory(configuration.duplicateLaunchRequestsURL());
    if (!isRealDirectory(directory.path()))
        return requests;
    // A request that waited this long was meant for a window long gone.
    const QDateTime staleBefore = QDateTime::currentDateTimeUtc().addSecs(-kMaxRequestAgeSeconds);
    const QStringList names =
        directory.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted);
    for (const QString &name : names) {
        const qsizetype dot = name.lastIndexOf(u'.');
        if (dot <= 0 || name.mid(dot + 1) != u"json")
            continue; // not ours: left in place
        const QString path = directory.filePath(name);
        std::optional<DuplicateLaunchRequest> request;
        if (const std::optional<QByteArray> text = readRequestFile(path))
            request = DuplicateLaunchRequest::fromJson(*text);
        if (request && request->createdAt >= staleBefore)
            requests.append(*request);
        QFile::remove(path); // malformed and stale requests are dropped too
    }
    std::stable_sort(requests.begin(), requests.end(),
                     [](const DuplicateLaunchRequest &a, const DuplicateLaunchRequest &b) {
                         return a.createdAt < b.createdAt;
                     });
    return requests;
}
