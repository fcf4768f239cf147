#include "app_version_info.h"

#include <QFileInfo>
#include <QLocale>

namespace {

QString stringValue(const QVariantMap &info, const QString &key)
{
    const QVariant value = info.value(key);
    return value.typeId() == QMetaType::QString ? value.toString() : QStringLiteral("0");
}

std::optional<QDateTime> executableDate(const Bundle &bundle)
{
    if (!bundle.executablePath)
        return std::nullopt;
    const QFileInfo file(*bundle.executablePath);
    const QDateTime modified = file.exists() ? file.lastModified() : QDateTime();
    if (!modified.isValid())
        return std::nullopt;
    return modified;
}

} // namespace

AppVersionInfo AppVersionInfo::current(const Bundle &bundle)
{
    return {stringValue(bundle.infoDictionary, QStringLiteral("CFBundleShortVersionString")),
            stringValue(bundle.infoDictionary, QStringLiteral("CFBundleVersion")), executableDate(bundle)};
}

QString AppVersionInfo::displayLabel() const
{
    return AppVersionDisplay::label(*this, QTimeZone::systemTimeZone());
}

QString AppVersionDisplay::label(const AppVersionInfo &info, const QTimeZone &timeZone)
{
    // The C locale: ASCII digits and the Gregorian calendar whatever the user's settings.
    const QString date = info.buildDate
        ? QLocale::c().toString(info.buildDate->toTimeZone(timeZone), QStringLiteral("yyyy-MM-dd HH:mm:ss"))
        : QStringLiteral("unknown");
    return QStringLiteral("v") + info.shortVersion + QStringLiteral(" (") + info.buildVersion
        + QStringLiteral(") \u2022 build ") + date;
}

QString AppVersionDisplay::current(const Bundle &bundle)
{
    return AppVersionInfo::current(bundle).displayLabel();
}
