// Moves an item to the user's Trash (freedesktop.org Trash specification),
// or deletes it for good where its file system has none, off the main
// thread. The session store holds one; tests replace it.
#pragma once

#include "file_url.h"
#include "scan_node_record.h"

#include <functional>
#include <sys/stat.h>
#include <optional>

// An item as the scan saw it: what the move checks before it acts.
struct TrashTarget {
    FileUrl url;
    // The scanned folder, and what it was when it was scanned; the item lies
    // below it.
    FileUrl rootURL;
    std::optional<FileIdentity> root;
    // What the scan recorded of the item: its kind and, for a regular file,
    // its size; its identity where the tree keeps one (files with links).
    ScanNodeKind kind = ScanNodeKind::file;
    bool isSpecial = false;
    qint64 logicalSize = 0;
    std::optional<FileIdentity> item;
};

struct TrashOutcome {
    enum class Kind { done, failed, noTrash };
    Kind kind = Kind::done;
    // Why it failed (or, for noTrash, which file system has no Trash); what
    // is left when a deletion stopped part-way.
    QString reason;
};

class TrashService {
public:
    using Completion = std::function<void(const TrashOutcome &outcome)>;

    virtual ~TrashService() = default;
    // done runs later on the main thread, whatever the outcome. The item is
    // checked against the scan below the scanned folder's descriptor without
    // following a link, and moved from the checked folder: no name is
    // looked up again after the check.
    virtual void moveToTrash(const TrashTarget &target, Completion done) const;
    // The same check, then the item is removed, a folder with all it holds,
    // below the checked folder and never through a link.
    virtual void deletePermanently(const TrashTarget &target, Completion done) const;

    // The check alone, on this thread: why the path no longer leads to what
    // was scanned (nothing when it does); on success *parent is a descriptor
    // of the folder holding it (the caller closes it).
    static std::optional<QString> check(const TrashTarget &target, int *parent, struct stat *found);
};
