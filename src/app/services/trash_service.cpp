#include "trash_service.h"

#include <QCoreApplication>
#include <QFile>
#include <QThreadPool>

void TrashService::moveToTrash(const FileUrl &url, Completion done) const
{
    QThreadPool::globalInstance()->start([path = url.path(), done = std::move(done)]() mutable {
        std::optional<QString> error;
        QFile item(path);
        if (!item.moveToTrash())
            error = item.errorString();
        QMetaObject::invokeMethod(QCoreApplication::instance(),
                                  [done = std::move(done), error] { done(error); }, Qt::QueuedConnection);
    });
}
