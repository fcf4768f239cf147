// Node identifiers derived from paths alone, so that the same path yields the
// same identifier in every partial tree, final tree and rescan.
#pragma once

#include "file_url.h"

#include <QUuid>

QUuid stableScanNodeID(const QString &path);
QUuid stableScanNodeID(const FileUrl &url);

// The identifier of the UTF-8 path parent + "/" + name (one slash at the
// join), without building that path: tree builders name millions of nodes.
QUuid stableScanNodeID(QByteArrayView parentPath, QByteArrayView name);
