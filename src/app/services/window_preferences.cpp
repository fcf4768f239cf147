#include "window_preferences.h"

#include <QSettings>

WindowPreferences WindowPreferences::load(const QString &organization, const QString &application)
{
    WindowPreferences p;
    p.scan = ScanOptions::fromUserDefaults(organization, application);
    const QSettings settings(organization, application);
    p.sizeShown = settings.value(QStringLiteral("sizeShown")).toString() == u"apparent" ? SizeMeasure::logical
                                                                                         : SizeMeasure::allocated;
    p.units = settings.value(QStringLiteral("byteUnits")).toString() == u"binary" ? ByteUnits::binary : ByteUnits::decimal;
    return p;
}

void WindowPreferences::save(const QString &organization, const QString &application) const
{
    scan.saveToUserDefaults(organization, application);
    QSettings settings(organization, application);
    settings.setValue(QStringLiteral("sizeShown"), sizeShown == SizeMeasure::logical ? "apparent" : "allocated");
    settings.setValue(QStringLiteral("byteUnits"), units == ByteUnits::binary ? "binary" : "decimal");
}
