#include "window_preferences.h"

#include <QSettings>
#include <algorithm>

WindowPreferences WindowPreferences::load(const QString &organization, const QString &application)
{
    WindowPreferences p;
    p.scan = ScanOptions::fromUserDefaults(organization, application);
    const QSettings settings(organization, application);
    p.sizeShown = settings.value(QStringLiteral("sizeShown")).toString() == u"apparent" ? SizeMeasure::logical
                                                                                         : SizeMeasure::allocated;
    p.units = settings.value(QStringLiteral("byteUnits")).toString() == u"binary" ? ByteUnits::binary : ByteUnits::decimal;
    p.keepHistory = settings.value(QStringLiteral("keepHistory"), true).toBool();
    p.historyPerFolder = std::clamp(settings.value(QStringLiteral("historyPerFolder"), 10).toInt(), 1, 1000);
    p.historyMiB = std::clamp(settings.value(QStringLiteral("historyMiB"), 1024).toInt(), 1, 1 << 20);
    return p;
}

void WindowPreferences::save(const QString &organization, const QString &application) const
{
    scan.saveToUserDefaults(organization, application);
    QSettings settings(organization, application);
    settings.setValue(QStringLiteral("sizeShown"), sizeShown == SizeMeasure::logical ? "apparent" : "allocated");
    settings.setValue(QStringLiteral("byteUnits"), units == ByteUnits::binary ? "binary" : "decimal");
    settings.setValue(QStringLiteral("keepHistory"), keepHistory);
    settings.setValue(QStringLiteral("historyPerFolder"), historyPerFolder);
    settings.setValue(QStringLiteral("historyMiB"), historyMiB);
}
