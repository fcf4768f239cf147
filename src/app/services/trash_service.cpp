// GIO first: Qt's "signals" keyword macro would break its headers.
#include <gio/gio.h>

#include "trash_service.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::optional<QString> TrashTarget::mismatch() const
{
    const QString gone = QStringLiteral("It is no longer the item that was scanned.");
    const QByteArray rootPath = rootURL.nativePath();
    const QByteArray path = url.nativePath();
    const QByteArray prefix = rootPath.endsWith('/') ? rootPath : rootPath + '/';
    if (!path.startsWith(prefix) || path.size() == prefix.size())
        return gone;
    // The root is reached as it was at scan time, links and all.
    int folder = ::open(rootPath.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return qt_error_string(errno);
    struct stat st;
    if (root && (::fstat(folder, &st) != 0 || FileIdentity{st.st_dev, st.st_ino} != *root)) {
        ::close(folder);
        return gone;
    }
    // Below it the scan entered no link, so neither does the check.
    const QList<QByteArray> names = path.mid(prefix.size()).split('/');
    for (qsizetype i = 0; i + 1 < names.size(); ++i) {
        const int next = ::openat(folder, names[i].constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int error = errno;
        ::close(folder);
        if (next < 0)
            return error == ENOTDIR || error == ELOOP ? gone : qt_error_string(error);
        folder = next;
    }
    const int found = ::fstatat(folder, names.last().constData(), &st, AT_SYMLINK_NOFOLLOW);
    const int error = errno;
    ::close(folder);
    if (found != 0)
        return qt_error_string(error);
    if (item && FileIdentity{st.st_dev, st.st_ino} != *item)
        return gone;
    return std::nullopt;
}

void TrashService::moveToTrash(const TrashTarget &target, Completion done) const
{
    // GIO, as the desktop's file manager does: it creates the trash where it
    // is missing, percent-encodes the recorded path, takes the name's own
    // bytes, and trashes a link as the link.
    QThreadPool::globalInstance()->start([target, done = std::move(done)]() mutable {
        // Checked as late as can be, just before the move.
        std::optional<QString> error = target.mismatch();
        if (!error) {
            GFile *file = g_file_new_for_path(target.url.nativeFilePath().constData());
            GError *failure = nullptr;
            if (!g_file_trash(file, nullptr, &failure))
                error = failure ? QString::fromUtf8(failure->message) : QStringLiteral("Unknown error");
            g_clear_error(&failure);
            g_object_unref(file);
        }
        QMetaObject::invokeMethod(QCoreApplication::instance(),
                                  [done = std::move(done), error] { done(error); }, Qt::QueuedConnection);
    });
}
