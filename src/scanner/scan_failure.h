// Why a scan produced no tree; `message` is the only failure text a user sees.
#pragma once

#include "file_url.h"

#include <QString>

struct ScanFailure {
    enum class Kind { rootInaccessible, ioError, bookmarkResolutionFailed };
    Kind kind = Kind::ioError;
    FileUrl url; // empty for bookmarkResolutionFailed

    static ScanFailure rootInaccessible(const FileUrl &url) { return {Kind::rootInaccessible, url}; }
    static ScanFailure ioError(const FileUrl &url) { return {Kind::ioError, url}; }
    static ScanFailure bookmarkResolutionFailed() { return {Kind::bookmarkResolutionFailed, {}}; }

    QString message() const;

    friend bool operator==(const ScanFailure &, const ScanFailure &) = default;
};
