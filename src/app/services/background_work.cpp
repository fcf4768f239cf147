#include "background_work.h"

#include <QCoreApplication>
#include <QPointer>

QThreadPool &backgroundPool()
{
    // A child of the application, so that it ends (its work done) before
    // the application does, and tests find it to wait for.
    static QPointer<QThreadPool> pool;
    if (!pool) {
        pool = new QThreadPool(QCoreApplication::instance());
        pool->setObjectName(QStringLiteral("background"));
    }
    return *pool;
}
