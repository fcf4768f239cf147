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

    static ScanFailure rootInaccessible(const FileUrl &url) { return {Kind::rootInaccessible, url}; }
    static ScanFailure ioError(const FileUrl &url) { return {Kind::ioError, url}; }
    static ScanFailure insufficientMemory(const FileUrl &url) { return {Kind::insufficientMemory, url}; }
    static ScanFailure bookmarkResolutionFailed() { return {Kind::bookmarkResolutionFailed, {}}; }

    QString message() const;

    friend bool operator==(const ScanFailure &, const ScanFailure &) = default;
};
