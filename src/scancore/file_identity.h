// Which object a path leads to, (device, inode): the one such pair that the
// scan core, the scanner and the window use, to tell hard links of one file
// from another's and to see that an item is still what was scanned.
#pragma once

#include "bl_scan.h"

#include <cstddef>
#include <functional>
#include <optional>

using FileIdentity = bl_file_identity_t;

inline bool operator==(const FileIdentity &a, const FileIdentity &b)
{
    return a.device == b.device && a.inode == b.inode;
}

inline bool operator<(const FileIdentity &a, const FileIdentity &b)
{
    return a.device != b.device ? a.device < b.device : a.inode < b.inode;
}

struct FileIdentityHash {
    size_t operator()(const FileIdentity &f) const { return std::hash<uint64_t>()(f.device * 0x9e3779b97f4a7c15ull ^ f.inode); }
};

// Of the path itself, a link as the link; nothing when it is not there.
std::optional<FileIdentity> fileIdentityOf(const char *path, bool followLink = false);
