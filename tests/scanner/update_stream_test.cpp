// The update channel between an engine thread and its consumer.
#include "update_stream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

ScanUpdate progressOf(qint64 items)
{
    ProgressSnapshot p;
    p.itemsScanned = items;
    return ScanUpdate::progress(p);
}

qint64 itemsOf(const ScanUpdate &u)
{
    return u.get<ProgressSnapshot>().itemsScanned;
}

} // namespace

TEST(UpdateStream, OrderAndNewestEightWithASlowConsumer)
{
    auto stream = UpdateStream::create();
    for (int i = 1; i <= 20; ++i)
        ASSERT_TRUE(stream->yield(progressOf(i)));
    stream->finish();
    EXPECT_FALSE(stream->yield(progressOf(99))) << "nothing after the end";
    std::vector<qint64> seen;
    while (auto u = stream->next())
        seen.push_back(itemsOf(*u));
    EXPECT_EQ(seen, (std::vector<qint64>{13, 14, 15, 16, 17, 18, 19, 20}));
}

TEST(UpdateStream, TerminationRunsOnceFromEitherEnd)
{
    for (const bool consumerEnds : {false, true}) {
        auto stream = UpdateStream::create();
        std::atomic<int> calls{0};
        stream->setOnTermination([&] { ++calls; });
        stream->yield(progressOf(1));
        if (consumerEnds) {
            stream->abandon();
            EXPECT_FALSE(stream->tryNext()) << "abandoning discards the buffer";
        } else {
            stream->finish();
            EXPECT_TRUE(stream->tryNext()) << "finishing keeps what was buffered";
        }
        stream->finish();
        stream->abandon();
        EXPECT_EQ(calls.load(), 1);
        int late = 0;
        stream->setOnTermination([&] { ++late; });
        EXPECT_EQ(late, 1) << "a callback set after the end runs at once";
    }
}

TEST(UpdateStream, ProducerThreadAndBlockingConsumer)
{
    auto stream = UpdateStream::create();
    std::thread producer([stream] {
        for (int i = 1; i <= 2000; ++i)
            stream->yield(progressOf(i));
        stream->yield(ScanUpdate::cancelled());
        stream->finish();
    });
    qint64 last = 0;
    bool sawTerminal = false;
    while (auto u = stream->next()) {
        if (u->isTerminal()) {
            sawTerminal = true;
            continue;
        }
        EXPECT_GT(itemsOf(*u), last) << "updates arrive in order";
        last = itemsOf(*u);
    }
    producer.join();
    EXPECT_TRUE(sawTerminal);
    EXPECT_EQ(last, 2000) << "the newest progress is never the one dropped";
}

TEST(UpdateStream, AbandonWhileProducing)
{
    auto stream = UpdateStream::create();
    std::atomic<bool> stop{false};
    stream->setOnTermination([&] { stop = true; });
    std::thread producer([stream, &stop] {
        for (int i = 0; !stop; ++i)
            stream->yield(progressOf(i));
    });
    ASSERT_TRUE(stream->next());
    stream->abandon();
    producer.join(); // ends only because the termination callback ran
    EXPECT_TRUE(stream->isTerminated());
    EXPECT_FALSE(stream->next());
}
