// GIO first: Qt's "signals" keyword macro would break its headers.
#include <gio/gio.h>

#include "finder_reveal_service.h"

#include "app_identifiers.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>

namespace {

// A file URI of the path's own bytes: names that are not UTF-8 reach the
// file manager as they are on disk.
QByteArray fileUri(const QByteArray &path)
{
    return "file://" + path.toPercentEncoding("/");
}

// Our desktop file declares folders, so the desktop's default for them may
// be this very program, which would scan the folder instead of showing it.
bool isThisApplication(GAppInfo *app)
{
    const char *id = g_app_info_get_id(app);
    const char *exe = g_app_info_get_executable(app);
    const QByteArray program = exe ? QByteArray(exe).mid(QByteArray(exe).lastIndexOf('/') + 1) : QByteArray();
    const QString desktopFile = app_identifiers::kReverseDns + QStringLiteral(".desktop");
    return (id && QString::fromUtf8(id) == desktopFile) || program == QByteArray(app_identifiers::kApplication.data());
}

GAppInfo *folderHandler()
{
    if (GAppInfo *preferred = g_app_info_get_default_for_type("inode/directory", FALSE)) {
        if (!isThisApplication(preferred))
            return preferred;
        g_object_unref(preferred);
    }
    GList *all = g_app_info_get_all_for_type("inode/directory");
    GAppInfo *found = nullptr;
    for (GList *l = all; l && !found; l = l->next) {
        if (!isThisApplication(G_APP_INFO(l->data)))
            found = G_APP_INFO(g_object_ref(l->data));
    }
    g_list_free_full(all, g_object_unref);
    return found;
}

} // namespace

void FinderRevealService::reveal(const QList<FileUrl> &urls, Failed failed) const
{
    if (urls.isEmpty())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openParentFolders(urls, failed);
        return;
    }
    QStringList uris;
    for (const FileUrl &url : urls)
        uris << QString::fromLatin1(fileUri(url.nativeFilePath()));
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << uris << QString();
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [watcher, urls, failed] {
        if (watcher->isError())
            openParentFolders(urls, failed);
        watcher->deleteLater();
    });
}

void FinderRevealService::open(const FileUrl &url, Failed failed) const
{
    const QByteArray uri = fileUri(url.nativeFilePath());
    GFile *file = g_file_new_for_uri(uri.constData());
    GError *error = nullptr;
    GAppInfo *app = g_file_query_default_handler(file, nullptr, &error);
    // A folder shows in the file manager, never in a new scan of ours.
    if (app && url.isDirectory() && isThisApplication(app)) {
        g_object_unref(app);
        app = folderHandler();
    }
    if (app) {
        GList *files = g_list_append(nullptr, file);
        g_clear_error(&error);
        g_app_info_launch(app, files, nullptr, &error);
        g_list_free(files);
        g_object_unref(app);
    } else if (!error) {
        g_set_error_literal(&error, G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "No application is set up to open this item.");
    }
    if (error && failed)
        failed(QString::fromUtf8(error->message));
    g_clear_error(&error);
    g_object_unref(file);
}

void FinderRevealService::openParentFolders(const QList<FileUrl> &urls, const Failed &failed)
{
    GAppInfo *app = folderHandler();
    if (!app) {
        if (failed)
            failed(QStringLiteral("No file manager is set up to open folders."));
        return;
    }
    GList *uris = nullptr;
    QList<QByteArray> kept;
    for (const FileUrl &url : urls) {
        QByteArray parent = url.nativeFilePath();
        parent.truncate(std::max<qsizetype>(parent.lastIndexOf('/'), 1));
        kept << fileUri(parent);
        uris = g_list_append(uris, kept.last().data());
    }
    GError *error = nullptr;
    if (!g_app_info_launch_uris(app, uris, nullptr, &error) && failed)
        failed(error ? QString::fromUtf8(error->message) : QStringLiteral("The file manager did not start."));
    g_clear_error(&error);
    g_list_free(uris);
    g_object_unref(app);
}
