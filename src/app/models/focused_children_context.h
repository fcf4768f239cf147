// Which result and focused node the store's sorted children list belongs to.
#pragma once

#include <QUuid>

struct FocusedChildrenContext {
    QUuid resultID;
    QUuid focusedNodeID;

    friend bool operator==(const FocusedChildrenContext &, const FocusedChildrenContext &) = default;
};
