// Directories the user may not read. Root reads everything, so as root the
// scans run in a child process that has dropped to the "nobody" user.
#include "bl_scan.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

using bltest::TempTree;

namespace {

struct ChildReport {
    int dropped = 0;
    int status = 0;
    int32_t nodeCount = 0, items = 0, unreadable = 0;
    bltest::WalkTotals walk;
    int32_t rootStatus = 0, rootNodeCount = 0, rootUnreadable = 0;
};

bool dropPrivileges()
{
    if (geteuid() != 0)
        return true;
    return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0 &&
           geteuid() == 65534;
}

ChildReport scanAsUnprivileged(const TempTree &t)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        ChildReport report;
        report.dropped = dropPrivileges();
        if (report.dropped) {
            bltest::ScanRun scan(t.root());
            report.status = scan.status;
            report.nodeCount = scan.result.node_count;
            report.items = bl_get_items_scanned(&scan.result);
            report.unreadable = bl_get_unreadable_count(&scan.result);
            report.walk = bltest::independentWalk(t.root());
            bltest::ScanRun locked(t.path("locked"));
            report.rootStatus = locked.status;
            report.rootNodeCount = locked.result.node_count;
            report.rootUnreadable = bl_get_unreadable_count(&locked.result);
        }
        const ssize_t written = write(fds[1], &report, sizeof report);
        _exit(written == sizeof report ? 0 : 1);
    }
    close(fds[1]);
    ChildReport report;
    const ssize_t got = read(fds[0], &report, sizeof report);
    close(fds[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (got != sizeof report || !WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0)
        ADD_FAILURE() << "the unprivileged child did not report";
    return report;
}

} // namespace

TEST(Unreadable, DirectoriesAreCountedAndTheScanFinishes)
{
    TempTree t;
    t.dir("open");
    t.file("open/f", 1234);
    t.dir("locked");
    t.file("locked/secret", 99);
    t.dir("listonly");
    t.file("listonly/x", 10);
    t.dir("listonly/subdir");
    t.chmod("locked", 0);
    t.chmod("listonly", 0444); // listable, not searchable

    const ChildReport r = scanAsUnprivileged(t);
    if (!r.dropped)
        GTEST_SKIP() << "cannot drop privileges to uid 65534 here; unreadable folders untested";

    EXPECT_EQ(r.status, 0);
    // "locked" cannot be opened; "listonly" lists but its subdirectory cannot be.
    EXPECT_EQ(r.unreadable, 2);
    EXPECT_EQ(r.walk.unreadable, 2);
    EXPECT_EQ(r.items, r.walk.items);
    EXPECT_EQ(r.nodeCount, r.walk.items);

    EXPECT_EQ(r.rootStatus, 0) << "a root that cannot be listed still finishes";
    EXPECT_EQ(r.rootNodeCount, 1);
    EXPECT_EQ(r.rootUnreadable, 1);
}
