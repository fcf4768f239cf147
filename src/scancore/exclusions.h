// What a scan leaves out besides other file systems: entries that match the
// user's patterns, and folders tagged as caches. Shared by both engines so
// that they leave out the same entries.
#pragma once

#include <string>
#include <vector>

namespace bl {

class Exclusions {
public:
    Exclusions() = default;
    // Shell globs: one without "/" is matched against an entry's name, one
    // starting with "/" against its whole path, any other against its path
    // below rootPath. caches: leave out folders with a valid CACHEDIR.TAG.
    Exclusions(const char *rootPath, const std::vector<std::string> &patterns, bool caches);

    bool active() const { return caches_ || !names_.empty() || wantsPath(); }
    bool wantsPath() const { return !below_.empty() || !whole_.empty(); }
    bool excludesCaches() const { return caches_; }

    // name: the entry's own; below: its path below the root ("a/b/name"),
    // needed only when wantsPath().
    bool excludes(const char *name, const char *below) const;

private:
    std::vector<std::string> names_, below_, whole_;
    std::string root_; // without a final "/"
    bool caches_ = false;
};

// Whether the folder name inside dirfd holds a CACHEDIR.TAG that begins
// with the signature of the Cache Directory Tagging convention.
bool holdsCacheTag(int dirfd, const char *name);

} // namespace bl
