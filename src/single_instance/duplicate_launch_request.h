// What a second launch hands to the running instance: its arguments and the
// files or folders it was asked to open, stamped with a time. One JSON file
// per request in the request directory.
#pragma once

#include <QDateTime>
#include <QList>
#include <QStringList>
#include <QUrl>
#include <optional>

struct DuplicateLaunchRequest {
    QStringList arguments;
    QList<QUrl> fileURLs;
    QDateTime createdAt;
    // What the launch was started with to let a window come forward
    // (XDG_ACTIVATION_TOKEN or DESKTOP_STARTUP_ID); empty when nothing.
    QString activationToken;

    bool isEmpty() const { return arguments.isEmpty() && fileURLs.isEmpty(); }

    // Compact JSON with "arguments", "fileURLs" and "createdAt" (ISO 8601,
    // UTC, whole seconds), and "activationToken" when there is one.
    QByteArray toJson() const;
    // nullopt unless the three first keys are present with the right types.
    static std::optional<DuplicateLaunchRequest> fromJson(const QByteArray &json);

    friend bool operator==(const DuplicateLaunchRequest &, const DuplicateLaunchRequest &) = default;
};
