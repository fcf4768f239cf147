// Names and places of the single-instance layer: where the lock file and the
// request directory live, what the activation signal is called, and whether
// the user allows several instances.
#pragma once

#include <QString>

struct SingleInstancePolicy {
    enum class Kind { userDefaults, alwaysSingle };
    Kind kind = Kind::alwaysSingle;
    // userDefaults: the QSettings store and the boolean key that, when true,
    // lets every launch run.
    QString organization;
    QString application;
    QString allowMultipleInstancesKey;

    static SingleInstancePolicy userDefaults(const QString &organization, const QString &application,
                                             const QString &key)
    {
        return {Kind::userDefaults, organization, application, key};
    }
    static SingleInstancePolicy alwaysSingle() { return {}; }

    bool allowsMultipleInstances() const;
};

struct SingleInstanceLockLocation {
    enum class Kind { directory, applicationSupport };
    Kind kind = Kind::applicationSupport;
    QString path; // directory only

    static SingleInstanceLockLocation directory(const QString &path) { return {Kind::directory, path}; }
    static SingleInstanceLockLocation applicationSupport() { return {}; }
};

struct SingleInstanceConfiguration {
    QString bundleIdentifier;
    SingleInstancePolicy policy;
    SingleInstanceLockLocation lockLocation;
    QString lockFileName;
    QString activationSignalName;

    // Empty bundleIdentifier: defaultBundleIdentifier(); empty names derive
    // from the identifier (".lock", ".single-instance.activate").
    SingleInstanceConfiguration(const QString &bundleIdentifier, const SingleInstancePolicy &policy,
                                const SingleInstanceLockLocation &lockLocation,
                                const QString &lockFileName = QString(),
                                const QString &activationSignalName = QString());

    // The identifier when it is not empty, else the process name.
    static QString defaultBundleIdentifier(const QString &bundleIdentifier = QString());

    QString lockURL() const;
    QString duplicateLaunchRequestsURL() const;
};
