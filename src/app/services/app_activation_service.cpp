#include "app_activation_service.h"

#include <QApplication>
#include <QWidget>

void AppActivationService::bringToFront() const
{
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (!window->isWindow() || window->windowType() != Qt::Window)
            continue;
        if (window->isMinimized())
            window->showNormal();
        else
            window->show();
        window->raise();
        window->activateWindow();
        return;
    }
}
