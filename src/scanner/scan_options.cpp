#include "scan_options.h"

#include <QFile>
#include <QSettings>

ScanOptions ScanOptions::fromUserDefaults(const QString &organization, const QString &application)
{
    const QSettings settings(organization, application);
    ScanOptions options;
    options.crossFileSystems = settings.value(QStringLiteral("crossFileSystems"), false).toBool();
    for (const QString &pattern : settings.value(QStringLiteral("excludePatterns")).toStringList())
        options.excludePatterns.append(QFile::encodeName(pattern));
    options.excludeCaches = settings.value(QStringLiteral("excludeCaches"), false).toBool();
    return options;
}

void ScanOptions::saveToUserDefaults(const QString &organization, const QString &application) const
{
    QSettings settings(organization, application);
    settings.setValue(QStringLiteral("crossFileSystems"), crossFileSystems);
    QStringList patterns;
    for (const QByteArray &pattern : excludePatterns)
        patterns.append(QFile::decodeName(pattern));
    settings.setValue(QStringLiteral("excludePatterns"), patterns);
    settings.setValue(QStringLiteral("excludeCaches"), excludeCaches);
}

bl::Exclusions ScanOptions::exclusionsBelow(const QByteArray &rootPath) const
{
    std::vector<std::string> patterns;
    for (const QByteArray &p : excludePatterns)
        patterns.push_back(p.toStdString());
    return bl::Exclusions(rootPath.constData(), patterns, excludeCaches);
}
