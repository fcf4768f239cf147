#include "finder_reveal_service.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

void FinderRevealService::reveal(const QList<FileUrl> &urls) const
{
    if (urls.isEmpty())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openParentFolders(urls);
        return;
    }
    QStringList uris;
    for (const FileUrl &url : urls)
        uris << QUrl::fromLocalFile(url.path()).toString(QUrl::FullyEncoded);
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << uris << QString();
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [watcher, urls] {
        if (watcher->isError())
            openParentFolders(urls);
        watcher->deleteLater();
    });
}

void FinderRevealService::openParentFolders(const QList<FileUrl> &urls)
{
    for (const FileUrl &url : urls)
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(url.path()).absolutePath()));
}
