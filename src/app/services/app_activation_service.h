// Brings the application's window to the front, over other applications.
#pragma once

#include <QString>

class AppActivationService {
public:
    virtual ~AppActivationService() = default;
    virtual void bringToFront() const;
    // With the activation token a later launch was started with (Wayland's
    // XDG_ACTIVATION_TOKEN, X11's DESKTOP_STARTUP_ID): the desktop lets the
    // window come forward on its behalf, and that launch's startup
    // notification is completed here, since it never shows a window itself.
    void bringToFront(const QString &activationToken) const;
};
