#include "finder_reveal_service.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QUrl>

namespace {

// A file URI of the path's own bytes: names that are not UTF-8 reach the
// file manager as they are on disk.
QString fileUri(const QByteArray &path)
{
    return QStringLiteral("file://") + QString::fromLatin1(path.toPercentEncoding("/"));
}

} // namespace

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
        uris << fileUri(url.nativeFilePath());
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
    for (const FileUrl &url : urls) {
        QByteArray parent = url.nativeFilePath();
        parent.truncate(std::max<qsizetype>(parent.lastIndexOf('/'), 1));
        QDesktopServices::openUrl(QUrl(fileUri(parent), QUrl::StrictMode));
    }
}
