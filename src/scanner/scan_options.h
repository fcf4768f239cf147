// The choices a scan is made with beyond its folder.
#pragma once

#include <QString>
#include <functional>

struct ScanOptions {
    // Enter the mounts below the root; kernel file systems never are.
    bool crossFileSystems = false;

    // The window's choices: the user defaults beside "allowMultipleInstances".
    static ScanOptions fromUserDefaults(const QString &organization, const QString &application);
};

// Asked at the start of every scan, so a changed setting counts from the next.
using ScanOptionsSource = std::function<ScanOptions()>;
