// Moves an item to the user's Trash (freedesktop.org Trash specification)
// off the main thread. The session store holds one; tests replace it.
#pragma once

#include "file_url.h"

#include <functional>
#include <optional>

// An item as the scan saw it: what the move checks before it acts.
struct TrashTarget {
    FileUrl url;
    // The scanned folder, and what it was when it was scanned (nothing for
    // a scan opened from a file); the item lies below it.
    FileUrl rootURL;
    std::optional<FileIdentity> root;
    // The item when the user was asked.
    std::optional<FileIdentity> item;

    // Why the path no longer names the item, or nothing: the root is the
    // scanned folder, every folder on the way is a folder reached without a
    // link, and the item is the object the user was asked about.
    std::optional<QString> mismatch() const;
};

class TrashService {
public:
    // The reason it failed, or nothing on success.
    using Completion = std::function<void(std::optional<QString> error)>;

    virtual ~TrashService() = default;
    // done runs later on the main thread, whatever the outcome.
    virtual void moveToTrash(const TrashTarget &target, Completion done) const;
};
