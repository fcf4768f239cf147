#include "single_instance_configuration.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <cerrno>

bool SingleInstancePolicy::allowsMultipleInstances() const
{
    if (kind != Kind::userDefaults)
        return false;
    return QSettings(organization, application).value(allowMultipleInstancesKey, false).toBool();
}

SingleInstanceConfiguration::SingleInstanceConfiguration(const QString &bundleIdentifier,
                                                         const SingleInstancePolicy &policy,
                                                         const SingleInstanceLockLocation &lockLocation,
                                                         const QString &lockFileName,
                                                         const QString &activationSignalName)
    : bundleIdentifier(defaultBundleIdentifier(bundleIdentifier)), policy(policy),
      lockLocation(lockLocation), lockFileName(lockFileName), activationSignalName(activationSignalName)
{
    if (this->lockFileName.isEmpty())
        this->lockFileName = this->bundleIdentifier + ".lock";
    if (this->activationSignalName.isEmpty())
        this->activationSignalName = this->bundleIdentifier + ".single-instance.activate";
}

QString SingleInstanceConfiguration::defaultBundleIdentifier(const QString &bundleIdentifier)
{
    if (!bundleIdentifier.isEmpty())
        return bundleIdentifier;
    if (QCoreApplication::instance() && !QCoreApplication::applicationName().isEmpty())
        return QCoreApplication::applicationName();
    return QString::fromLocal8Bit(program_invocation_short_name);
}

QString SingleInstanceConfiguration::lockURL() const
{
    QString base = lockLocation.path;
    if (lockLocation.kind == SingleInstanceLockLocation::Kind::applicationSupport) {
        base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        if (base.isEmpty())
            base = QDir::homePath() + "/.local/share";
    }
    return QDir(QDir(base).filePath(bundleIdentifier)).filePath(lockFileName);
}

QString SingleInstanceConfiguration::duplicateLaunchRequestsURL() const
{
    return QDir(QFileInfo(lockURL()).path()).filePath("DuplicateLaunchRequests");
}
