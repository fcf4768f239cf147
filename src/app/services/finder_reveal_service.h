// Shows items selected in a file-manager window: the freedesktop.org
// FileManager1 interface on the session bus, or, where no file manager
// answers, the item's folder opened by the desktop's handler of folders
// that is not this application.
#pragma once

#include "file_url.h"

#include <QList>
#include <functional>

class FinderRevealService {
public:
    // Why nothing could show the items.
    using Failed = std::function<void(const QString &reason)>;

    virtual ~FinderRevealService() = default;
    // Returns at once; the file manager answers later, and failed runs on
    // the main thread when none can.
    virtual void reveal(const QList<FileUrl> &urls, Failed failed) const;
    // Opens the item with the desktop's default application for its type, a
    // folder with the file manager; failed runs before it returns.
    virtual void open(const FileUrl &url, Failed failed) const;

    static void openParentFolders(const QList<FileUrl> &urls, const Failed &failed);
};
