// The application's version, build number and build date, and the one-line
// label the landing and progress views show at their foot.
#pragma once

#include "bundle.h"

#include <QDateTime>
#include <QTimeZone>

struct AppVersionInfo {
    QString shortVersion;
    QString buildVersion;
    std::optional<QDateTime> buildDate; // the executable's modification time

    // Missing or non-string version values read as "0"; an unreadable date as absent.
    static AppVersionInfo current(const Bundle &bundle);
    QString displayLabel() const;

    friend bool operator==(const AppVersionInfo &, const AppVersionInfo &) = default;
};

namespace AppVersionDisplay {
// "v1.4 (27) • build 2026-03-02 09:05:03" in the given zone, "unknown" without a date.
QString label(const AppVersionInfo &info, const QTimeZone &timeZone);
QString current(const Bundle &bundle);
} // namespace AppVersionDisplay
