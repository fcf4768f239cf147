// Shows items selected in a file-manager window: the freedesktop.org
// FileManager1 interface on the session bus, or, where no file manager
// answers, the item's folder opened by the desktop.
#pragma once

#include "file_url.h"

#include <QList>

class FinderRevealService {
public:
    virtual ~FinderRevealService() = default;
    // Returns at once; the file manager answers later.
    virtual void reveal(const QList<FileUrl> &urls) const;

    static void openParentFolders(const QList<FileUrl> &urls);
};
