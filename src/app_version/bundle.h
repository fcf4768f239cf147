// What the application knows about itself, built in at compile time: its
// identifier, version values and executable. Read by the version label and
// the single-instance start.
#pragma once

#include <QString>
#include <QVariantMap>
#include <optional>

struct Bundle {
    QString identifier;
    // "CFBundleShortVersionString" (the project version), "CFBundleVersion" (the build number).
    QVariantMap infoDictionary;
    std::optional<QString> executablePath;

    // This program's bundle; the executable is known once a QCoreApplication exists.
    static Bundle main();
};
