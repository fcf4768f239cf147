// The main-thread adapter of the update stream, in a running event loop.
#include "fast_scan_engine.h"
#include "temp_tree.h"
#include "update_stream_reader.h"
#include "event_loop_wait.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <thread>

namespace {

ScanUpdate progressOf(qint64 items)
{
    ProgressSnapshot p;
    p.itemsScanned = items;
    return ScanUpdate::progress(p);
}

} // namespace

TEST(UpdateStreamReader, OneUpdateAtATimeOnTheMainThreadInOrder)
{
    auto stream = UpdateStream::create();
    std::vector<qint64> seen;
    int ends = 0;
    bool inHandler = false;
    UpdateStreamReader reader(
        stream,
        [&](const ScanUpdate &u) {
            EXPECT_FALSE(inHandler) << "no update is handed over inside another";
            EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
            inHandler = true;
            seen.push_back(u.get<ProgressSnapshot>().itemsScanned);
            QCoreApplication::processEvents(); // a handler that spins the loop gets no second update
            inHandler = false;
        },
        [&] { ++ends; });
    std::thread producer([stream] {
        for (int i = 1; i <= 200; ++i)
            stream->yield(progressOf(i));
        stream->finish();
    });
    ASSERT_TRUE(spinUntil([&] { return ends == 1; }));
    producer.join();
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), 200) << "the newest update is never the one dropped";
    QCoreApplication::processEvents();
    EXPECT_EQ(ends, 1);
}

TEST(UpdateStreamReader, DestroyingTheReaderStopsTheScan)
{
    bltest::TempTree t(bltest::fastScratch());
    t.wide("w", 1500, 20);
    FastScanEngine engine(1);
    auto stream = engine.startScan(FileUrl::fromPath(QString::fromStdString(t.root()), true));
    int updates = 0;
    std::unique_ptr<UpdateStreamReader> reader;
    reader = std::make_unique<UpdateStreamReader>(stream, [&](const ScanUpdate &u) {
        ++updates;
        if (u.kind() == ScanUpdate::Kind::started)
            reader.reset(); // the consumer walks away from inside its handler
    });
    ASSERT_TRUE(spinUntil([&] { return !reader; }));
    EXPECT_TRUE(stream->isTerminated());
    QCoreApplication::processEvents();
    EXPECT_EQ(updates, 1);
    // The engine's own stop reached the scan: it ended cancelled. The next
    // scan starts only once that one has returned.
    auto next = engine.startScan(FileUrl::fromPath(QString::fromStdString(t.path("w/g0")), true));
    while (next->next()) {
    }
    EXPECT_EQ(engine.cancelledScans(), 1);
}

TEST(UpdateStreamReader, ARealScanFromStartedToFinished)
{
    bltest::TempTree t;
    t.wide("w", 20, 5);
    FastScanEngine engine;
    std::vector<ScanUpdate::Kind> kinds;
    bool ended = false;
    UpdateStreamReader reader(
        engine.startScan(FileUrl::fromPath(QString::fromStdString(t.root()), true)),
        [&](const ScanUpdate &u) { kinds.push_back(u.kind()); }, [&] { ended = true; });
    ASSERT_TRUE(spinUntil([&] { return ended; }));
    ASSERT_GE(kinds.size(), 3u);
    EXPECT_EQ(kinds.front(), ScanUpdate::Kind::started);
    EXPECT_EQ(kinds.back(), ScanUpdate::Kind::finished);
}
