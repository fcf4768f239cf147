// Moves an item to the user's Trash (freedesktop.org Trash specification)
// off the main thread. The session store holds one; tests replace it.
#pragma once

#include "file_url.h"

#include <functional>
#include <optional>

class TrashService {
public:
    // The platform's error text, or nothing on success.
    using Completion = std::function<void(std::optional<QString> error)>;

    virtual ~TrashService() = default;
    // done runs later on the main thread, whatever the outcome.
    virtual void moveToTrash(const FileUrl &url, Completion done) const;
};
