// Why a scan produced no tree; `message` is the only failure text a user sees.
#pragma once

#include "file_url.h"

#include <QString>

struct ScanFailure {
    // insufficientMemory: the tree did not fit; a part of it is never shown
    // as if it were the whole.
    enum class Kind { rootInaccessible, ioError, bookmarkResolutionFailed, insufficientMemory };
    Kind kind = Kind::ioError;
    FileUrl url; // empty for bookmarkResolutionFailed
    int error = 0; // the system's reason (errno), when there is one

    static ScanFailure rootInaccessible(const FileUrl &url, int error = 0) { return {Kind::rootInaccessible, url, error}; }
    static ScanFailure ioError(const FileUrl &url, int error = 0) { return {Kind::ioError, url, error}; }
    static ScanFailure insufficientMemory(const FileUrl &url) { return {Kind::insufficientMemory, url, 0}; }
    static ScanFailure bookmarkResolutionFailed() { return {Kind::bookmarkResolutionFailed, {}, 0}; }

    QString message() const;

    friend bool operator==(const ScanFailure &, const ScanFailure &) = default;
};
