#include "app_activation_service.h"

#include <QApplication>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QWidget>
#include <xcb/xcb.h>

namespace {

xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr);
    const xcb_atom_t a = reply ? reply->atom : XCB_ATOM_NONE;
    free(reply);
    return a;
}

xcb_window_t rootOf(xcb_connection_t *c)
{
    return xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
}

// The freedesktop startup-notification "remove" message for id, in the
// protocol's 20-byte pieces to the root window.
void completeStartup(xcb_connection_t *c, xcb_window_t window, const QByteArray &id)
{
    QByteArray quoted = id;
    quoted.replace('\\', "\\\\").replace('"', "\\\"");
    const QByteArray message = "remove: ID=\"" + quoted + "\"" + '\0';
    const xcb_atom_t begin = atom(c, "_NET_STARTUP_INFO_BEGIN"), more = atom(c, "_NET_STARTUP_INFO");
    for (qsizetype at = 0; at < message.size(); at += 20) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 8;
        event.window = window;
        event.type = at == 0 ? begin : more;
        memcpy(event.data.data8, message.constData() + at, size_t(std::min<qsizetype>(20, message.size() - at)));
        xcb_send_event(c, 0, rootOf(c), XCB_EVENT_MASK_PROPERTY_CHANGE, reinterpret_cast<const char *>(&event));
    }
}

// Asks the window manager to activate window as the launch did at its
// time: focus-stealing prevention lets a request of the user's newest
// action through.
void activateAt(xcb_connection_t *c, xcb_window_t window, uint32_t time)
{
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom(c, "_NET_ACTIVE_WINDOW");
    event.data.data32[0] = 1; // from an application
    event.data.data32[1] = time;
    xcb_send_event(c, 0, rootOf(c), XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char *>(&event));
}

} // namespace

void AppActivationService::bringToFront() const
{
    bringToFront(QString());
}

void AppActivationService::bringToFront(const QString &activationToken) const
{
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (!window->isWindow() || window->windowType() != Qt::Window)
            continue;
        if (window->isMinimized())
            window->showNormal();
        else
            window->show();
        window->raise();
        if (!activationToken.isEmpty() && QGuiApplication::platformName() == u"wayland")
            qputenv("XDG_ACTIVATION_TOKEN", activationToken.toUtf8()); // taken by the next activation
        window->activateWindow();
        const auto *x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
        if (!activationToken.isEmpty() && x11 && x11->connection()) {
            xcb_connection_t *c = x11->connection();
            const auto time = QRegularExpression(QStringLiteral("_TIME(\\d+)$")).match(activationToken);
            if (time.hasMatch())
                activateAt(c, xcb_window_t(window->winId()), time.captured(1).toUInt());
            completeStartup(c, xcb_window_t(window->winId()), activationToken.toUtf8());
            xcb_flush(c);
        }
        return;
    }
}
