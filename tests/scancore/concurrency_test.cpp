// Cancellation and live snapshots while a scan runs on other threads. These
// also run under ThreadSanitizer.
#include "bl_scan_internal.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using bltest::TempTree;

namespace {

// Large enough that a scan is still running when another thread reacts.
class LiveScan : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        tree_ = new TempTree;
        tree_->wide("w", 1500, 20);
    }
    static void TearDownTestSuite()
    {
        delete tree_;
        tree_ = nullptr;
    }
    static const std::string &root() { return tree_->root(); }

private:
    static TempTree *tree_;
};

TempTree *LiveScan::tree_ = nullptr;

// A snapshot must be closed under the parent relation; each directory's
// child count is that of its copied children, and its sizes hold at least
// theirs (the first records also carry what lies beyond the copy).
void expectConsistent(const bl_flat_node_t *nodes, int32_t n)
{
    std::vector<int32_t> kids(size_t(n), 0);
    std::vector<uint64_t> allocated(size_t(n), 0), logical(size_t(n), 0);
    ASSERT_EQ(nodes[0].parent_index, -1);
    for (int32_t i = 1; i < n; ++i) {
        const int32_t p = nodes[i].parent_index;
        ASSERT_GE(p, 0);
        ASSERT_LT(p, i) << "copy is not closed under the parent relation";
        ++kids[size_t(p)];
        allocated[size_t(p)] += nodes[i].allocated_size;
        logical[size_t(p)] += nodes[i].logical_size;
    }
    for (int32_t i = 0; i < n; ++i) {
        ASSERT_EQ(nodes[i].child_count, kids[size_t(i)]) << i;
        if (nodes[i].obj_type == BL_OBJ_DIRECTORY) {
            ASSERT_GE(nodes[i].allocated_size, allocated[size_t(i)]) << i;
            ASSERT_GE(nodes[i].logical_size, logical[size_t(i)]) << i;
        }
    }
}

} // namespace

TEST_F(LiveScan, CancelFlagSetBeforeTheScan)
{
    bl_scan_result_t r{};
    int32_t cancel = 0;
    bl_request_cancel(&cancel);
    EXPECT_EQ(cancel, 1);
    ASSERT_EQ(bl_full_scan(root().c_str(), &r, &cancel), 1);
    EXPECT_EQ(r.nodes, nullptr);
    EXPECT_EQ(r.children, nullptr);
    EXPECT_EQ(r.node_count, 0);
    EXPECT_EQ(bl_get_items_scanned(&r), 1) << "only the root is counted";
    EXPECT_EQ(bl_get_dirs_scanned(&r), 1);
    bl_flat_node_t out[2];
    EXPECT_EQ(bl_snapshot_nodes(&r, out, 2), 0);
    bl_scan_result_free(&r);
}

TEST_F(LiveScan, CancelFromAnotherThreadMidScan)
{
    const bltest::WalkTotals w = bltest::independentWalk(root());
    bl_scan_result_t r{};
    int32_t cancel = 0;
    std::thread canceller([&] {
        while (bl_get_items_scanned(&r) < 500)
            std::this_thread::yield();
        bl_request_cancel(&cancel);
    });
    const int status = bl_full_scan(root().c_str(), &r, &cancel);
    canceller.join();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(r.nodes, nullptr);
    EXPECT_EQ(r.node_count, 0);
    EXPECT_GE(bl_get_items_scanned(&r), 500) << "counters keep what was reached";
    EXPECT_LT(bl_get_items_scanned(&r), w.items) << "work items after the flag do nothing";
    bl_scan_result_free(&r);
}

TEST_F(LiveScan, SnapshotsStayConsistentWhileScanning)
{
    bl_scan_result_t r{};
    bl_flat_node_t early[4];
    EXPECT_EQ(bl_snapshot_nodes(&r, early, 4), 0) << "no mutex yet";

    int32_t cancel = 0;
    std::atomic<bool> done{false};
    std::atomic<int> taken{0};
    std::vector<uint64_t> rootTotals; // of one-record snapshots, in order
    std::thread poller([&] {
        std::vector<bl_flat_node_t> buffer(5000);
        while (!done.load()) {
            const int32_t n = bl_snapshot_nodes(&r, buffer.data(), 5000);
            if (n > 0) {
                ASSERT_LE(n, 5000);
                expectConsistent(buffer.data(), n);
                taken.fetch_add(1);
            }
            bl_flat_node_t one;
            if (bl_snapshot_nodes(&r, &one, 1) == 1) {
                ASSERT_EQ(one.parent_index, -1);
                ASSERT_EQ(one.child_count, 0);
                rootTotals.push_back(one.allocated_size);
            }
        }
    });
    const int status = bl_full_scan(root().c_str(), &r, &cancel);
    done = true;
    poller.join();
    ASSERT_EQ(status, 0);
    EXPECT_GT(taken.load(), 0);

    // After the scan the live array holds totals; a snapshot of all of it
    // must agree with them rather than count them twice.
    std::vector<bl_flat_node_t> all(size_t(r.node_count));
    ASSERT_EQ(bl_snapshot_nodes(&r, all.data(), r.node_count), r.node_count);
    expectConsistent(all.data(), r.node_count);
    EXPECT_EQ(all[0].allocated_size, r.nodes[0].allocated_size);
    EXPECT_EQ(all[0].logical_size, r.nodes[0].logical_size);

    // The root of a snapshot of the first records carries everything found
    // so far: it rises to the final total and never passes it.
    ASSERT_FALSE(rootTotals.empty());
    for (size_t i = 1; i < rootTotals.size(); ++i)
        ASSERT_LE(rootTotals[i - 1], rootTotals[i]);
    EXPECT_LE(rootTotals.back(), r.nodes[0].allocated_size);
    ASSERT_GT(r.node_count, BL_LIVE_TOTALS_NODES);
    bl_flat_node_t first[100];
    ASSERT_EQ(bl_snapshot_nodes(&r, first, 100), 100);
    EXPECT_EQ(first[0].allocated_size, r.nodes[0].allocated_size);
    EXPECT_EQ(first[0].logical_size, r.nodes[0].logical_size);
    for (int32_t i = 1; i < 100; ++i)
        EXPECT_EQ(first[i].allocated_size, r.nodes[i].allocated_size) << i;
    bl_scan_result_free(&r);
}

TEST_F(LiveScan, SnapshotPollingThroughACancelIsSafe)
{
    for (int round = 0; round < 3; ++round) {
        bl_scan_result_t r{};
        int32_t cancel = 0;
        std::atomic<bool> done{false};
        std::thread poller([&] {
            std::vector<bl_flat_node_t> buffer(5000);
            while (!done.load()) {
                const int32_t n = bl_snapshot_nodes(&r, buffer.data(), 5000);
                if (n > 0)
                    expectConsistent(buffer.data(), n);
                if (bl_get_items_scanned(&r) > 200 * (round + 1))
                    bl_request_cancel(&cancel);
            }
            EXPECT_EQ(bl_snapshot_nodes(&r, buffer.data(), 5000), 0) << "after a cancel";
        });
        const int status = bl_full_scan(root().c_str(), &r, &cancel);
        done = true;
        poller.join();
        EXPECT_EQ(status, 1);
        bl_scan_result_free(&r);
    }
}
