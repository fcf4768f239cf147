// The choices a scan is made with beyond its folder.
#pragma once

#include "exclusions.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

struct ScanOptions {
    // Enter the mounts below the root; kernel file systems never are.
    bool crossFileSystems = false;
    // Shell globs of entries to leave out, as bytes (see bl::Exclusions).
    QList<QByteArray> excludePatterns;
    // Leave out folders tagged with a CACHEDIR.TAG.
    bool excludeCaches = false;

    bl::Exclusions exclusionsBelow(const QByteArray &rootPath) const;

    // The window's choices: the user defaults beside "allowMultipleInstances".
    static ScanOptions fromUserDefaults(const QString &organization, const QString &application);
    void saveToUserDefaults(const QString &organization, const QString &application) const;

    friend bool operator==(const ScanOptions &, const ScanOptions &) = default;
};

// Asked at the start of every scan, so a changed setting counts from the next.
using ScanOptionsSource = std::function<ScanOptions()>;
