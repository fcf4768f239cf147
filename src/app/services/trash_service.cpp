// GIO first: Qt's "signals" keyword macro would break its headers.
#include <gio/gio.h>

#include "trash_service.h"

#include <QCoreApplication>
#include <QThreadPool>

void TrashService::moveToTrash(const FileUrl &url, Completion done) const
{
    // GIO, as the desktop's file manager does: it creates the trash where it
    // is missing, percent-encodes the recorded path, takes the name's own
    // bytes, and trashes a link as the link.
    QThreadPool::globalInstance()->start([path = url.nativeFilePath(), done = std::move(done)]() mutable {
        std::optional<QString> error;
        GFile *file = g_file_new_for_path(path.constData());
        GError *failure = nullptr;
        if (!g_file_trash(file, nullptr, &failure)) {
            error = failure ? QString::fromUtf8(failure->message) : QStringLiteral("Unknown error");
            g_clear_error(&failure);
        }
        g_object_unref(file);
        QMetaObject::invokeMethod(QCoreApplication::instance(),
                                  [done = std::move(done), error] { done(error); }, Qt::QueuedConnection);
    });
}
