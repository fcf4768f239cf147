// What the user chose in Preferences: how the window scans and what it
// shows, stored in the user defaults beside "allowMultipleInstances".
#pragma once

#include "byte_count_text.h"
#include "scan_options.h"
#include "size_order.h"

struct WindowPreferences {
    ScanOptions scan;
    SizeMeasure sizeShown = SizeMeasure::allocated;
    ByteUnits units = ByteUnits::decimal;
    // Each finished scan kept, to show what changed at the next.
    bool keepHistory = true;
    int historyPerFolder = 10;
    int historyMiB = 1024;

    static WindowPreferences load(const QString &organization, const QString &application);
    void save(const QString &organization, const QString &application) const;

    friend bool operator==(const WindowPreferences &, const WindowPreferences &) = default;
};
