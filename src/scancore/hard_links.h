// Files with more than one link are charged once to every folder above any
// of their links: each folder's total is then the space its subtree really
// holds, whatever order the links were found in. Shared by both engines.
#pragma once

#include "file_identity.h"

#include <algorithm>
#include <cstdint>
#include <unordered_set>
#include <vector>

namespace bl {

struct LinkedFile {
    int64_t node; // the link's record
    FileIdentity file;
};

// parentOf(node) gives the node's parent, or a negative number above the
// top; charge(folder, node) adds the file of link node to folder's total.
// Each folder is charged at most once per file; the links themselves are
// not, and their own sizes must have been left out of the totals.
template <class ParentOf, class Charge>
void chargeLinkedFilesOnce(std::vector<LinkedFile> &files, ParentOf parentOf, Charge charge)
{
    std::sort(files.begin(), files.end(), [](const LinkedFile &a, const LinkedFile &b) {
        return a.file == b.file ? a.node < b.node : a.file < b.file;
    });
    std::unordered_set<int64_t> reached;
    for (size_t g = 0; g < files.size();) {
        size_t h = g;
        reached.clear();
        for (; h < files.size() && files[h].file == files[g].file; ++h) {
            // Up to the first folder a link before it already reached: all
            // above that one were charged with it.
            for (int64_t a = parentOf(files[h].node); a >= 0 && reached.insert(a).second; a = parentOf(a))
                charge(a, files[g].node);
        }
        g = h;
    }
}

} // namespace bl
