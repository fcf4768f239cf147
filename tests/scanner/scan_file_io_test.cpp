// Scan files on disk and on descriptors: atomic saves, loads from files and
// pipes, receptions with their kept copy and byte counts, and the reader's
// refusals of bad files with their reasons.
#include "scan_file_io.h"
#include "stable_scan_node_id.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using bltest::TempTree;

namespace {

QByteArray slurp(const std::string &path)
{
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

ScanFileContents contentsOf(const QByteArray &json)
{
    QString error;
    std::optional<ScanFileContents> contents = readScanFile(json, &error);
    if (!contents)
        throw std::runtime_error(error.toStdString());
    return *contents;
}

const QByteArray kSmall = "[1,2,{\"progname\":\"t\"},[{\"name\":\"/r\"},{\"name\":\"a\",\"asize\":10,\"dsize\":4096},"
                          "[{\"name\":\"d\"},{\"name\":\"b\",\"asize\":3,\"dsize\":4096}]]]";

} // namespace

TEST(ScanFileIO, SavesWholeOrLeavesWhatWasThere)
{
    TempTree t;
    const ScanFileContents small = contentsOf(kSmall);
    const QString target = QString::fromStdString(t.path("scan.json"));
    std::ofstream(t.path("scan.json")) << "old";
    QString error;
    ASSERT_TRUE(saveScanFile(small.tree, small.summary, target, &error)) << error.toStdString();
    const std::optional<ScanFileContents> back = loadScanFile(target, &error);
    ASSERT_TRUE(back) << error.toStdString();
    EXPECT_EQ(back->tree, small.tree);

    // A folder that is a file: nothing is written, and why is said.
    t.file("plain", 1);
    EXPECT_FALSE(saveScanFile(small.tree, small.summary, QString::fromStdString(t.path("plain/scan.json")), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(saveScanFile(ScanTree(), small.summary, target, &error)); // no root
    EXPECT_EQ(contentsOf(slurp(t.path("scan.json"))).tree, small.tree);
}

// Takes so many bytes, then fails as a full disk does.
class FillingDevice : public QIODevice {
public:
    explicit FillingDevice(qint64 room) : room_(room) { open(QIODevice::WriteOnly); }
    qint64 written = 0;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 size) override
    {
        if (written + size > room_) {
            setErrorString(QStringLiteral("No space left on device"));
            return -1;
        }
        written += size;
        return size;
    }

private:
    qint64 room_;
};

TEST(ScanFileIO, LargeTreesAreWrittenWholeOrStopAtTheFailedWrite)
{
    QByteArray json = "[1,2,{},[{\"name\":\"/r\"}";
    for (int d = 0; d < 500; ++d) {
        json += ",[{\"name\":\"d" + QByteArray::number(d) + "\"}";
        for (int f = 0; f < 500; ++f)
            json += ",{\"name\":\"f" + QByteArray::number(f) + "\",\"asize\":" + QByteArray::number(d + f) + "}";
        json += "]";
    }
    json += "]]";
    const ScanFileContents large = contentsOf(json);
    ASSERT_GT(large.tree.size(), 250000);
    // Identified on two threads, each entry by its own path.
    for (const char *path : {"/r/d0/f0", "/r/d250/f7", "/r/d499/f499", "/r/d499"})
        EXPECT_EQ(large.tree.ref(stableScanNodeIDOfBytes(path)).nativeName(), QByteArray(path).mid(QByteArray(path).lastIndexOf('/') + 1)) << path;

    QBuffer whole;
    whole.open(QIODevice::WriteOnly);
    QString error;
    ASSERT_TRUE(writeScanFile(large.tree, large.summary, whole, &error)) << error.toStdString();
    EXPECT_EQ(contentsOf(whole.data()).tree, large.tree);

    FillingDevice full(3 << 20);
    EXPECT_FALSE(writeScanFile(large.tree, large.summary, full, &error));
    EXPECT_EQ(error, QStringLiteral("No space left on device"));
    EXPECT_LE(full.written, 3 << 20);
}

TEST(ScanFileIO, LoadsFromFilesAndPipesAlike)
{
    TempTree t;
    std::ofstream(t.path("scan.json"), std::ios::binary) << kSmall.toStdString();
    QString error;
    const std::optional<ScanFileContents> mapped = loadScanFile(QString::fromStdString(t.path("scan.json")), &error);
    ASSERT_TRUE(mapped) << error.toStdString();
    EXPECT_EQ(mapped->summary.totalAllocatedSize, 8192);

    t.fifo("pipe");
    std::thread writer([&] { std::ofstream(t.path("pipe"), std::ios::binary) << kSmall.toStdString(); });
    const std::optional<ScanFileContents> piped = loadScanFile(QString::fromStdString(t.path("pipe")), &error);
    writer.join();
    ASSERT_TRUE(piped) << error.toStdString();
    EXPECT_EQ(piped->tree, mapped->tree);

    EXPECT_FALSE(loadScanFile(QString::fromStdString(t.path("missing")), &error));
    EXPECT_FALSE(error.isEmpty());
}

TEST(ScanFileIO, ReceptionReadsAsItComesAndKeepsACopy)
{
    TempTree t;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    // Two pieces, the second once the first was told: a sender that pauses
    // hears how much came so far.
    std::atomic<qint64> lastTold{0};
    std::thread sender([&] {
        const qsizetype half = kSmall.size() / 2;
        EXPECT_EQ(write(fds[1], kSmall.constData(), size_t(half)), half);
        for (int i = 0; i < 1000 && lastTold.load() != half; ++i)
            usleep(10000);
        EXPECT_EQ(write(fds[1], kSmall.constData() + half, size_t(kSmall.size() - half)), kSmall.size() - half);
        close(fds[1]);
    });
    std::vector<qint64> told;
    ScanFileReception reception;
    reception.progress = [&](qint64 bytes) {
        told.push_back(bytes);
        lastTold = bytes;
    };
    QString error;
    bool kept = false;
    const std::optional<ScanFileContents> received =
        receiveScanFile(fds[0], QString::fromStdString(t.path("kept.json")), reception, &error, &kept);
    sender.join();
    close(fds[0]);
    ASSERT_TRUE(received) << error.toStdString();
    EXPECT_EQ(received->tree, contentsOf(kSmall).tree);
    EXPECT_TRUE(kept);
    EXPECT_EQ(slurp(t.path("kept.json")), kSmall);
    ASSERT_GE(told.size(), 2u);
    EXPECT_EQ(told.front(), kSmall.size() / 2);
    EXPECT_EQ(told.back(), kSmall.size());

    // Stopped, or not a scan file: no copy is left behind.
    for (const bool byStop : {true, false}) {
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(write(fds[1], byStop ? "[1," : "\0\0\0\0\0\0\0\0\0", byStop ? 3 : 9), byStop ? 3 : 9);
        ScanFileReception stopping;
        if (byStop)
            stopping.stopped = [] { return true; };
        else
            close(fds[1]);
        EXPECT_FALSE(receiveScanFile(fds[0], QString::fromStdString(t.path("stopped.json")), stopping, &error, &kept));
        EXPECT_FALSE(kept);
        EXPECT_TRUE(error.contains(byStop ? "stopped" : "not a scan file")) << error.toStdString();
        EXPECT_EQ(access(t.path("stopped.json").c_str(), F_OK), -1);
        close(fds[0]);
        if (byStop)
            close(fds[1]);
    }

    // Kept without reading it through: refused from its first bytes while
    // the sender goes on (an endless stream of zeros).
    signal(SIGPIPE, SIG_IGN); // the zeros' writer outlives the reading end
    ASSERT_EQ(pipe(fds), 0);
    std::atomic<bool> done{false};
    std::thread zeros([&] {
        const char nothing[4096] = {};
        while (!done && write(fds[1], nothing, sizeof nothing) > 0) {
        }
    });
    EXPECT_FALSE(keepScanFile(fds[0], QString::fromStdString(t.path("zeros.json")), &error));
    EXPECT_TRUE(error.contains("not a scan file")) << error.toStdString();
    done = true;
    close(fds[0]);
    zeros.join();
    close(fds[1]);
    EXPECT_EQ(access(t.path("zeros.json").c_str(), F_OK), -1);
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], kSmall.constData(), size_t(kSmall.size())), kSmall.size());
    close(fds[1]);
    EXPECT_TRUE(keepScanFile(fds[0], QString::fromStdString(t.path("kept2.json")), &error)) << error.toStdString();
    close(fds[0]);
    EXPECT_EQ(slurp(t.path("kept2.json")), kSmall);
}

TEST(ScanFile, BadFilesAreRefusedWithWhy)
{
    const std::pair<std::string, std::string> cases[] = {
        {"[1,2,{},[{\"name\":\"/r\"},{\"name\":\"a\",\"asize\":1}", "ends too early"},
        {"[2,0,{},[{\"name\":\"/r\"}]]", "major version 2"},
        {"not json at all", "not a scan file"},
        {"\xbfncduEX1rest", "ncdu -f FILE -o FILE.json"},
        {"[1,2,{},[{\"name\":\"/r\"},{\"name\":\"../etc\"}]]", "holds a \"/\""},
        {"[1,2,{},[{\"name\":\"/r\"},{\"name\":\"x\"},{\"name\":\"x\"}]]", "twice"},
        {"[1,2,{},[{\"name\":\"/r\"},{\"name\":\"x\",\"asize\":-5}]]", "negative"},
        {"[1,2,{},[{\"name\":\"/r\"},{\"name\":\"x\",\"dsize\":123456789012345678901234}]]", "too large"},
        {"[1,2,{},[{\"name\":\"r\"}]]", "absolute"},
        {"[1,2,{},[{\"name\":\"/r\"}]] trailing", "after the end"},
        {"[1,2,{},[{\"name\":\"/r\\u0000/x\"}]]", "NUL"},
        {"[1,2,{},[{\"name\":\"/r/../etc\"}]]", "\"..\""},
        {"[1,2,{},[{\"name\":\"/r\"},[{\"name\":\"d\"},{\"name\":\"x\"},{\"name\":\"x\"}]]]", "/r/d/x"},
        {"[1,2,{},[{\"name\":\"/r\"},{\"name\":\"" + std::string(1 << 20, 'n') + "\"}]]", "longer than"},
    };
    for (const auto &[content, message] : cases) {
        QString error;
        EXPECT_FALSE(readScanFile(QByteArrayView(content.data(), qsizetype(content.size())), &error))
            << content.substr(0, 60);
        EXPECT_TRUE(error.contains(QString::fromStdString(message))) << error.toStdString();
    }
    if (system("command -v zstd >/dev/null") == 0) {
        // A few kilobytes that would grow to 300 MB of zeros (refused from
        // its first bytes), and a stream cut short.
        TempTree t;
        ASSERT_EQ(system(("head -c 300000000 /dev/zero | zstd -q -19 > '" + t.path("bomb.zst") + "'").c_str()), 0);
        ASSERT_EQ(system(("printf '[1,2,{},[{\"name\":\"/r\"}]]' | zstd -q | head -c 12 > '" + t.path("cut.zst") + "'").c_str()), 0);
        for (const auto &[file, message] : {std::pair{"bomb.zst", "not a scan file"},
                                            std::pair{"cut.zst", "ends too early"}}) {
            QString error;
            EXPECT_FALSE(loadScanFile(QString::fromStdString(t.path(file)), &error)) << file;
            EXPECT_TRUE(error.contains(QLatin1StringView(message))) << error.toStdString();
        }
    }
    // Deep nesting, with unknown keys and later elements skipped; past what
    // could be read in seconds, a message.
    const auto nested = [](int levels) {
        std::string deep = "[1,0,{\"x\":[[[{}]]]},[{\"name\":\"/r\",\"future\":{\"a\":[1,2.5,null]}}";
        for (int i = 0; i < levels; ++i)
            deep += ",[{\"name\":\"d\"}";
        deep += ",{\"name\":\"f\",\"asize\":10,\"dsize\":4096}";
        return QByteArray::fromStdString(deep + std::string(size_t(levels), ']') + "],\"later\"]");
    };
    QString error;
    const std::optional<ScanFileContents> deep = readScanFile(nested(3000), &error);
    ASSERT_TRUE(deep) << error.toStdString();
    EXPECT_EQ(deep->summary.itemsScanned, 3002);
    EXPECT_EQ(deep->summary.totalAllocatedSize, 4096);
    EXPECT_FALSE(readScanFile(nested(100000), &error));
    EXPECT_TRUE(error.contains("nest deeper than")) << error.toStdString();
}

namespace {

// Hands out data a few bytes at a time, then fails or ends; counts what it gave.
class TrickleSource : public ScanFileSource {
public:
    TrickleSource(QByteArray data, bool endless = false, bool failAtEnd = false)
        : data_(std::move(data)), endless_(endless), failAtEnd_(failAtEnd)
    {
    }
    qsizetype read(char *buffer, qsizetype max, QString *error) override
    {
        if (endless_) {
            const qsizetype n = std::min<qsizetype>(max, 4096);
            std::memset(buffer, 0, size_t(n));
            given += n;
            return n;
        }
        if (at_ == data_.size()) {
            if (failAtEnd_)
                *error = QStringLiteral("the line went down");
            return failAtEnd_ ? -1 : 0;
        }
        const qsizetype n = std::min({max, data_.size() - at_, qsizetype(1 + at_ % 7)});
        std::memcpy(buffer, data_.constData() + at_, size_t(n));
        at_ += n;
        given += n;
        return n;
    }
    qint64 given = 0;

private:
    QByteArray data_;
    qsizetype at_ = 0;
    bool endless_, failAtEnd_;
};

} // namespace

TEST(ScanFile, ReadAsItArrivesAsIfReadWhole)
{
    // Escapes, numbers and words cut at every place a piece can end.
    const QByteArray json = "  [1,2,{\"progname\":\"ncdu\",\"x\":[true,false,null,-1.5e3]},[{\"name\":\"/r\"},"
                            "{\"name\":\"caf\\u00e9 \\ud83d\\ude00\\n\",\"asize\":123456789,\"dsize\":4096,"
                            "\"mtime\":1700000000.25},[{\"name\":\"d\",\"read_error\":false},"
                            "{\"name\":\"l\",\"ino\":7,\"nlink\":2,\"hlnkc\":true,\"dsize\":512}]]]\n";
    TrickleSource trickle(json);
    QString error;
    const std::optional<ScanFileContents> streamed = readScanFile(trickle, &error);
    ASSERT_TRUE(streamed) << error.toStdString();
    EXPECT_EQ(streamed->tree, contentsOf(json).tree);
    EXPECT_EQ(streamed->summary.totalAllocatedSize, 4608);

    // Endless zeros are refused from the first bytes; a broken input says so.
    TrickleSource zeros({}, true);
    EXPECT_FALSE(readScanFile(zeros, &error));
    EXPECT_TRUE(error.contains("not a scan file")) << error.toStdString();
    EXPECT_LE(zeros.given, 2 << 20);
    TrickleSource broken(json.left(40), false, true);
    EXPECT_FALSE(readScanFile(broken, &error));
    EXPECT_TRUE(error.contains("the line went down")) << error.toStdString();
}
