// burrowlens-scan as a user runs it: a real process on a real tree.
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QUuid>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using bltest::TempTree;

namespace {

struct ScanRunResult {
    int exitCode = -1;
    QByteArray out, err;
};

ScanRunResult run(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(BURROWLENS_SCAN), arguments);
    process.waitForFinished(60000);
    return ScanRunResult{process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
               process.readAllStandardOutput(), process.readAllStandardError()};
}

// burrowlens-scan with arguments as bytes (QProcess takes text only), stdout
// to outFd, started in cwd; returns its pid. stderr goes to errPath.
// Resource limits for a run, as ulimit sets them.
using Limits = std::vector<std::pair<int, rlim_t>>;

pid_t spawn(const std::vector<std::string> &args, int outFd, const std::string &cwd, const std::string &errPath,
            const char *inPath = nullptr, const Limits &limits = {})
{
    const pid_t pid = fork();
    if (pid == 0) {
        for (const auto &[resource, value] : limits) {
            const rlimit limit{value, value};
            setrlimit(resource, &limit);
        }
        if (chdir(cwd.c_str()) != 0)
            _exit(120);
        if (inPath) {
            const int in = open(inPath, O_RDONLY);
            dup2(in, STDIN_FILENO);
        }
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(outFd, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        close_range(3, ~0U, 0); // what the test holds is not the program's
        std::vector<char *> argv{const_cast<char *>(BURROWLENS_SCAN)};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(BURROWLENS_SCAN, argv.data());
        _exit(127);
    }
    return pid;
}

// Exit status of pid, or -1 when it has not ended within seconds.
int waitFor(pid_t pid, int seconds)
{
    for (int i = 0; i < seconds * 20; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        usleep(50000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

struct RawRun {
    int exitCode;
    std::string out, err;
};

RawRun runRaw(const std::vector<std::string> &args, const std::string &cwd, const char *outPath = nullptr,
              const char *inPath = nullptr, const Limits &limits = {})
{
    TempTree scratch;
    const std::string out = outPath ? outPath : scratch.path("out");
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const pid_t pid = spawn(args, fd, cwd, scratch.path("err"), inPath, limits);
    close(fd);
    RawRun r{waitFor(pid, 60), {}, {}};
    const auto slurp = [](const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    if (!outPath)
        r.out = slurp(out);
    r.err = slurp(scratch.path("err"));
    return r;
}

} // namespace

TEST(BurrowlensScan, ArgumentsAndOutputAsTheShellHandsThem)
{
    TempTree t;
    t.dir("d\xff");
    t.file("d\xff/x", 7000);
    t.dir("d\xef\xbf\xbd"); // what "d\xff" would repair to
    t.dir("-x");
    t.file("-x/y", 3000);

    const RawRun bytes = runRaw({"--json", t.path("d\xff")}, t.root());
    ASSERT_EQ(bytes.exitCode, 0) << bytes.err;
    const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(bytes.out)).object();
    EXPECT_EQ(o["items"].toInteger(), 2) << "the folder named, not its look-alike";
    EXPECT_EQ(o["children"].toArray().size(), 1);

    const RawRun dash = runRaw({"--", "-x"}, t.root());
    EXPECT_EQ(dash.exitCode, 0) << dash.err;
    EXPECT_NE(dash.out.find(t.path("-x") + "\n"), std::string::npos) << dash.out;

    // "--name=value" as "--name value", also for a value holding "=".
    t.dir("-x/a=b");
    const RawRun attached = runRaw({"--exclude=a=b", "--engine=recursive", "--", "-x"}, t.root());
    EXPECT_EQ(attached.exitCode, 0) << attached.err;
    EXPECT_NE(attached.out.find("Excluded  a=b"), std::string::npos) << attached.out;
    const RawRun top = runRaw({"--top=1", "--", "-x"}, t.root());
    EXPECT_NE(top.out.find("... and 1 more"), std::string::npos) << top.out;
    const RawRun version = runRaw({"--version"}, t.root());
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("burrowlens-scan ", 0), 0u) << version.out;

    const RawRun full = runRaw({"--json", t.root()}, t.root(), "/dev/full");
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_NE(full.err.find("could not write the report"), std::string::npos) << full.err;
}

TEST(BurrowlensScan, InterruptedWhileTheReportWaitsOnAPipe)
{
    TempTree t;
    t.dir("many");
    for (int i = 0; i < 3000; ++i)
        t.file("many/file-with-a-long-enough-name-" + std::to_string(i), 10);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t pid = spawn({"--json", t.path("many")}, pipeFds[1], t.root(), t.path("err"));
    close(pipeFds[1]);
    // Wait until the pipe is full: nobody reads it, so the report blocks.
    const int capacity = fcntl(pipeFds[0], F_GETPIPE_SZ);
    int queued = 0;
    for (int i = 0; i < 600 && queued < capacity; ++i) {
        usleep(50000);
        ioctl(pipeFds[0], FIONREAD, &queued);
    }
    ASSERT_GE(queued, capacity) << "the report never filled the pipe";
    kill(pid, SIGINT);
    EXPECT_EQ(waitFor(pid, 10), 130) << "Ctrl-C ends a report that waits on its reader";
    close(pipeFds[0]);
}

TEST(BurrowlensScan, JsonReportMatchesTheTree)
{
    TempTree t;
    t.dir("small");
    t.file("small/a", 100);
    t.dir("big");
    t.file("big/x", 90000);
    t.file("big/y", 20000);
    t.file("Zed", 9000);
    t.file("zed", 9000); // same size: names order case-insensitively, stably
    t.dir("Pack.app");
    t.file("Pack.app/inside", 30000);
    t.symlink("big", "link");
    const bltest::WalkTotals walk = bltest::independentWalk(t.root());
    const auto inside = bltest::independentWalk(t.path("Pack.app"));

    for (const QString engine : {"fast", "recursive"}) {
        const ScanRunResult r = run({"--engine", engine, "--json", QString::fromStdString(t.root())});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        const QJsonObject o = QJsonDocument::fromJson(r.out).object();
        EXPECT_EQ(o["root"].toString().toStdString(), t.root());
        EXPECT_EQ(o["engine"].toString(), engine);
        EXPECT_FALSE(QUuid::fromString(o["rootId"].toString()).isNull());
        EXPECT_EQ(o["rootId"].toString(), o["rootId"].toString().toUpper());
        EXPECT_EQ(o["items"].toInteger(), walk.items);
        EXPECT_EQ(o["directories"].toInteger(), walk.dirs);
        EXPECT_EQ(o["files"].toInteger(), walk.files);
        EXPECT_EQ(o["unreadable"].toInteger(), 0);
        EXPECT_GE(o["seconds"].toDouble(), 0.0);
        const QJsonArray children = o["children"].toArray();
        ASSERT_EQ(children.size(), 6) << "every child of the root without --top";
        QStringList names;
        qint64 previous = std::numeric_limits<qint64>::max();
        for (const auto &c : children) {
            names << c.toObject()["name"].toString();
            EXPECT_LE(c.toObject()["allocated"].toInteger(), previous) << "largest first";
            previous = c.toObject()["allocated"].toInteger();
        }
        EXPECT_EQ(names.first(), "big");
        EXPECT_EQ(names.indexOf("Zed") + 1, names.indexOf("zed"));
        EXPECT_EQ(children[0].toObject()["kind"].toString(), "directory");
        EXPECT_EQ(children[0].toObject()["childCount"].toInteger(), 2);
        if (engine == "fast") {
            // Packages are measured by the fast engine only.
            EXPECT_EQ(o["allocated"].toInteger(), qint64(walk.allocated + inside.allocated));
            EXPECT_EQ(o["logical"].toInteger(), qint64(walk.logical + inside.logical));
        } else {
            EXPECT_EQ(o["allocated"].toInteger(), qint64(walk.allocated));
        }
    }

    const ScanRunResult top = run({"--json", "--top", "2", QString::fromStdString(t.root())});
    EXPECT_EQ(QJsonDocument::fromJson(top.out).object()["children"].toArray().size(), 2);

    const ScanRunResult text = run({"--top", "1", QString::fromStdString(t.root())});
    ASSERT_EQ(text.exitCode, 0);
    const QString shown = QString::fromUtf8(text.out);
    EXPECT_TRUE(shown.startsWith(QString::fromStdString(t.root()) + "\n")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("Items: ")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("2 children  big")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("... and 5 more")) << shown.toStdString();
}

// Out of descriptors a folder waits for others to be given back instead of
// being left out: under "ulimit -n 8" the whole tree is there.
TEST(BurrowlensScan, AFewDescriptorsAreEnough)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers hold descriptors of their own";
#endif
    TempTree t;
    for (int i = 0; i < 20; ++i) {
        t.dir("d" + std::to_string(i));
        for (int j = 0; j < 20; ++j) {
            const std::string d = "d" + std::to_string(i) + "/e" + std::to_string(j);
            t.dir(d);
            t.file(d + "/f", 10);
        }
    }
    const bltest::WalkTotals walk = bltest::independentWalk(t.root());
    for (const QString engine : {"fast", "recursive"}) {
        for (int run = 0; run < 3; ++run) {
            QProcess process;
            process.start("/bin/sh", {"-c", "ulimit -n 8 && exec \"$0\" --engine \"$1\" --json \"$2\"",
                                      QStringLiteral(BURROWLENS_SCAN), engine, QString::fromStdString(t.root())});
            ASSERT_TRUE(process.waitForFinished(60000));
            ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
            const QJsonObject o = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
            EXPECT_EQ(o["items"].toInteger(), walk.items) << engine.toStdString();
            EXPECT_EQ(o["unreadable"].toInteger(), 0) << engine.toStdString();
        }
    }
}

TEST(BurrowlensScan, ExitStatusesAndMessages)
{
    TempTree t;
    t.file("plain", 10);
    const ScanRunResult missing = run({QString::fromStdString(t.path("missing"))});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err.trimmed().toStdString(),
              "Could not access folder: " + t.path("missing") + " (No such file or directory)");
    EXPECT_TRUE(missing.out.isEmpty());

    const ScanRunResult file = run({"--engine", "recursive", QString::fromStdString(t.path("plain"))});
    EXPECT_EQ(file.exitCode, 1);
    EXPECT_EQ(file.err.trimmed().toStdString(), "Could not access folder: " + t.path("plain") + " (Not a directory)");

    for (const QStringList &bad : {QStringList{}, QStringList{"--engine", "slow", "/"},
                                   QStringList{"--top", "-3", "/"}, QStringList{"--frobnicate", "/"},
                                   QStringList{"--json=yes", "/"}, QStringList{"--top=", "/"},
                                   QStringList{"/a", "/b"}}) {
        const ScanRunResult r = run(bad);
        EXPECT_EQ(r.exitCode, 2) << bad.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains("usage: burrowlens-scan")) << r.err.toStdString();
    }
}

TEST(BurrowlensScan, SegmentsOfTheRoot)
{
    TempTree t;
    t.dir("big");
    t.file("big/x", 200000);
    t.file("medium", 60000);
    for (int i = 0; i < 30; ++i)
        t.file("tiny" + std::to_string(i), 1);
    const ScanRunResult r = run({"--segments", QString::fromStdString(t.root())});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QJsonArray segments = QJsonDocument::fromJson(r.out).array();
    // big, its file on ring 2, medium, then one aggregate for the tiny files.
    ASSERT_EQ(segments.size(), 4) << r.out.toStdString();
    const QJsonObject big = segments[0].toObject();
    EXPECT_EQ(big["kind"].toString(), "node");
    EXPECT_EQ(big["ring"].toInt(), 1);
    EXPECT_EQ(big["start"].toDouble(), 12.0);
    EXPECT_EQ(big["node"].toString(), big["id"].toString());
    EXPECT_EQ(segments[1].toObject()["ring"].toInt(), 2);
    const QJsonObject other = segments[3].toObject();
    EXPECT_EQ(other["kind"].toString(), "other");
    EXPECT_TRUE(other["node"].isNull());
    EXPECT_EQ(other["items"].toInt(), 30);
    EXPECT_EQ(other["end"].toDouble(), 348.0);
    EXPECT_EQ(run({"--json", "--segments", "/"}).exitCode, 2);

    // Apparent sizes: a sparse file of 50 MB that takes no blocks comes first.
    t.file("sparse", 0);
    ASSERT_EQ(truncate(t.path("sparse").c_str(), 50'000'000), 0);
    const ScanRunResult apparent = run({"--segments", "--apparent-size", QString::fromStdString(t.root())});
    const QJsonArray byApparent = QJsonDocument::fromJson(apparent.out).array();
    ASSERT_FALSE(byApparent.isEmpty()) << apparent.err.toStdString();
    EXPECT_GT(byApparent[0].toObject()["end"].toDouble(), 300.0) << "the sparse file takes most of the ring";
    EXPECT_LT(QJsonDocument::fromJson(run({"--segments", QString::fromStdString(t.root())}).out).array()[0]
                  .toObject()["end"].toDouble(), 300.0);
}

TEST(BurrowlensScan, ChartWrittenAsAPng)
{
    TempTree t;
    t.dir("big");
    t.file("big/x", 200000);
    t.file("medium", 60000);
    const QString png = QString::fromStdString(t.path("chart.png"));
    const ScanRunResult r = run({"--chart", png, "--size", "300", "--top", "0", QString::fromStdString(t.root())});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QImage image(png);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(300, 300));
    // Ring 1 at three o'clock is the big folder's colour, not the background.
    EXPECT_GT(image.pixelColor(150 + 45, 150).saturationF(), 0.5);
    EXPECT_LT(image.pixelColor(150, 150 - 45).valueF(), 0.25) << "the opening at twelve o'clock";
    // By apparent size a sparse file takes the place of the big folder.
    t.file("sparse", 0);
    ASSERT_EQ(truncate(t.path("sparse").c_str(), 50'000'000), 0);
    const QString apparentPng = QString::fromStdString(t.path("apparent.png"));
    ASSERT_EQ(run({"--chart", apparentPng, "--size", "300", "--apparent-size", "--top", "0",
                   QString::fromStdString(t.root())}).exitCode, 0);
    const QImage byApparent(apparentPng);
    EXPECT_NE(byApparent.pixelColor(150 + 45, 150), image.pixelColor(150 + 45, 150));

    const ScanRunResult unwritable = run({"--chart", QString::fromStdString(t.path("no/such/dir.png")),
                                          QString::fromStdString(t.root())});
    EXPECT_EQ(unwritable.exitCode, 1);
    EXPECT_TRUE(unwritable.err.contains("cannot write the chart")) << unwritable.err.toStdString();
    EXPECT_EQ(run({"--chart", png, "--size", "5", "/"}).exitCode, 2);
}

// What the scan left out and could not read is marked alike in the JSON and
// the text, by both engines: patterns from the command line and from a file
// (by name, by the path below the root, by the whole path), cache-tagged
// folders, and folders that could not be listed, named.
TEST(BurrowlensScan, ExclusionsAndUnreadableFoldersInTheReports)
{
    TempTree t;
    for (const char *d : {"keep", "keep/node_modules", "sub", "sub/build", "other", "other/sub", "other/sub/build",
                          "cache", "fake"})
        t.dir(d);
    t.file("keep/f", 4000);
    t.file("keep/bigfile", 11000);
    t.file("keep/node_modules/m", 50000);
    t.file("sub/build/o", 60000);
    t.file("other/sub/build/o", 7000);
    t.file("x.log", 9000);
    t.file("cache/data", 80000);
    std::ofstream(t.path("cache/CACHEDIR.TAG")) << "Signature: 8a477f597d28d172789f06886806bc55\n# a cache\n";
    std::ofstream(t.path("fake/CACHEDIR.TAG")) << "Signature: 8a477f597d28d172789f06886806bc5\n";
    std::ofstream(t.path("patterns")) << "# build output\n\nsub/build\r\n";
    for (int i = 0; i < 12; ++i)
        t.dir("locked" + std::to_string(i), 0);
    const auto walk = [&](const char *relative) { return bltest::independentWalk(t.path(relative)); };
    const bltest::WalkTotals all = walk("");
    const auto blocks = [&](const char *relative) {
        struct stat st {};
        ::stat(t.path(relative).c_str(), &st);
        return uint64_t(st.st_blocks) * 512;
    };
    const uint64_t left = walk("keep/node_modules").allocated + walk("sub/build").allocated + walk("cache").allocated +
                          blocks("x.log") + blocks("keep/bigfile");
    const int64_t inside = 1 + 1 + 2; // what the excluded folders hold

    const std::vector<std::string> common{"--exclude", "node_modules", "--exclude", "*.log", "--exclude",
                                          t.path("keep/big*"), "--exclude-from", t.path("patterns"),
                                          "--exclude-caches"};
    const auto answer = bltest::inUnprivilegedChild([&] {
        std::string out;
        for (const char *engine : {"fast", "recursive"}) {
            std::vector<std::string> args{"--engine", engine, "--json"};
            args.insert(args.end(), common.begin(), common.end());
            args.push_back(t.root());
            out += runRaw(args, t.root()).out + '\x1e';
        }
        std::vector<std::string> args = common;
        args.push_back(t.root());
        return out + runRaw(args, t.root()).out;
    });
    if (!answer)
        GTEST_SKIP() << "cannot drop privileges to uid 65534 here; unreadable folders untested";
    const QList<QByteArray> parts = QByteArray::fromStdString(*answer).split('\x1e');
    ASSERT_EQ(parts.size(), 3);

    for (int engine = 0; engine < 2; ++engine) {
        const QJsonObject o = QJsonDocument::fromJson(parts[engine]).object();
        ASSERT_FALSE(o.isEmpty()) << parts[engine].toStdString();
        EXPECT_EQ(o["allocated"].toInteger(), qint64(all.allocated - left)) << engine;
        EXPECT_EQ(o["items"].toInteger(), all.items - inside) << engine;
        EXPECT_EQ(o["unreadable"].toInteger(), 12);
        QStringList unreadable;
        for (const auto &v : o["unreadableFolders"].toArray())
            unreadable << v.toString();
        unreadable.sort();
        QStringList expected;
        for (int i = 0; i < 12; ++i)
            expected << QString::fromStdString(t.path("locked" + std::to_string(i)));
        expected.sort();
        EXPECT_EQ(unreadable, expected);
        QHash<QString, QJsonObject> byName;
        for (const auto &c : o["children"].toArray())
            byName[c.toObject()["name"].toString()] = c.toObject();
        for (const char *name : {"x.log", "cache"}) {
            EXPECT_EQ(byName[name]["mark"].toString(), "excluded") << name;
            EXPECT_EQ(byName[name]["allocated"].toInteger(), 0) << name;
            EXPECT_EQ(byName[name]["childCount"].toInteger(), 0) << name;
        }
        EXPECT_EQ(byName["locked3"]["mark"].toString(), "unreadable");
        for (const char *name : {"fake", "other", "keep"})
            EXPECT_FALSE(byName[name].contains("mark")) << name;
        EXPECT_EQ(byName["other"]["allocated"].toInteger(), qint64(walk("other").allocated)) << "anchored at the root";
    }
    const std::string text = parts[2].toStdString();
    EXPECT_NE(text.find("Excluded           cache\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Could not be read  locked"), std::string::npos) << text;
    const size_t listed = text.find("\nCould not be read:\n");
    ASSERT_NE(listed, std::string::npos) << text;
    EXPECT_NE(text.find("  " + t.root() + "/locked", listed), std::string::npos);
    EXPECT_NE(text.find("  ... and 2 more\n", listed), std::string::npos) << text;

    const ScanRunResult missing = run({"--exclude-from", QString::fromStdString(t.path("none")), "/"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_TRUE(missing.err.contains("cannot read the patterns of")) << missing.err.toStdString();
}

namespace {

QJsonObject reportOf(const RawRun &r)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).object();
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

// An export read back is the scan it came from, byte for byte when written
// again; ncdu reads it, and ncdu's and gdu's exports of the tree read as our
// own scan of it.
TEST(BurrowlensScan, ExportsReadBackAndAcrossPeers)
{
    TempTree t;
    for (const char *d : {"a", "b", "c", "odd", "skip"})
        t.dir(d);
    t.file("a/data", 120000);
    for (const char *name : {"b/two", "c/three"})
        ASSERT_EQ(::link(t.path("a/data").c_str(), t.path(name).c_str()), 0);
    t.file("odd/bad\xff name", 3000);
    t.file("odd/line\nbreak \"quoted\" back\\slash", 2000);
    t.file("odd/caf\xc3\xa9", 1000);
    t.file("skip/x", 50000);
    t.symlink("a", "link");
    t.fifo("pipe");
    t.dir("Tool.app");
    t.file("Tool.app/bin", 7000);
    // Ages to carry across: one file of three years ago, one of last month.
    const time_t now = time(nullptr);
    for (const auto &[name, age] : {std::pair("a/data", 3 * 365 * 86400), std::pair("odd/caf\xc3\xa9", 40 * 86400)}) {
        const struct timeval times[2] = {{now - age, 0}, {now - age, 0}};
        ASSERT_EQ(utimes(t.path(name).c_str(), times), 0);
    }
    const TempTree files; // outside the scanned tree
    const std::string ours = files.path("ours.json");
    const std::string again = files.path("again.json");

    // The fast engine's export last: it measures packages, as the report below does.
    for (const char *engine : {"recursive", "fast"}) {
        const RawRun scanned = runRaw({"--engine", engine, "--exclude", "skip", "--json", t.root()}, t.root());
        ASSERT_EQ(scanned.exitCode, 0) << scanned.err;
        const RawRun exported = runRaw({"--engine", engine, "--exclude", "skip", "--export", ours, t.root()}, t.root());
        ASSERT_EQ(exported.exitCode, 0) << exported.err;
        EXPECT_TRUE(exported.out.empty()) << "an export alone prints no report";
        const RawRun imported = runRaw({"--import", ours, "--json"}, t.root());
        ASSERT_EQ(imported.exitCode, 0) << imported.err;
        QJsonObject a = reportOf(scanned), b = reportOf(imported);
        for (const char *key : {"items", "directories", "files", "allocated", "logical", "unreadable"})
            EXPECT_EQ(a[key], b[key]) << engine << ' ' << key;
        EXPECT_EQ(a["children"], b["children"]) << engine << ": names, kinds, totals and marks";
        ASSERT_EQ(runRaw({"--import", ours, "--export", again}, t.root()).exitCode, 0);
        EXPECT_EQ(slurp(again), slurp(ours)) << engine << ": written again, the same bytes";
    }
    const std::string exported = slurp(ours);
    EXPECT_NE(exported.find("\"name\":\"bad\xff name\""), std::string::npos) << "raw bytes, as ncdu writes them";
    EXPECT_NE(exported.find("\"name\":\"line\\nbreak \\\"quoted\\\" back\\\\slash\""), std::string::npos);
    EXPECT_NE(exported.find("\"excluded\":\"pattern\""), std::string::npos);
    EXPECT_NE(exported.find("\"notreg\":true"), std::string::npos);
    EXPECT_NE(exported.find("\"nlink\":3,\"hlnkc\":true"), std::string::npos);

    const auto sameAs = [&](const QJsonObject &expected, const std::string &file, const char *who) {
        const RawRun r = runRaw({"--import", file, "--json", "--age"}, t.root());
        ASSERT_EQ(r.exitCode, 0) << who << ": " << r.err;
        const QJsonObject o = reportOf(r);
        for (const char *key : {"items", "allocated", "logical"})
            EXPECT_EQ(o[key].toInteger(), expected[key].toInteger()) << who << ' ' << key;
        EXPECT_EQ(o["ages"], expected["ages"]) << who << ": the files' times";
    };
    const QJsonObject scanned = reportOf(runRaw({"--json", "--age", "--exclude", "skip", t.root()}, t.root()));
    sameAs(scanned, ours, "our export");
    if (system("command -v ncdu >/dev/null && command -v gdu >/dev/null") != 0)
        GTEST_SKIP() << "ncdu or gdu is not installed; exchange with them untested";
    // ncdu reads our export and writes it out again.
    const std::string viaNcdu = files.path("via-ncdu.json");
    ASSERT_EQ(system(("ncdu -e -f '" + ours + "' -0 -o '" + viaNcdu + "'").c_str()), 0);
    sameAs(scanned, viaNcdu, "ncdu's copy of our export");

    // The peers walk into packages; without one their exports are our scan.
    std::filesystem::remove_all(t.path("Tool.app"));
    const QJsonObject own = reportOf(runRaw({"--json", "--age", "--exclude", "skip", t.root()}, t.root()));
    const std::string ncduOwn = files.path("ncdu.json"), gduOwn = files.path("gdu.json");
    ASSERT_EQ(system(("ncdu -e -0 --exclude skip -o '" + ncduOwn + "' '" + t.root() + "'").c_str()), 0);
    sameAs(own, ncduOwn, "ncdu's export");
    if (system("command -v zstd >/dev/null") == 0) {
        // As ncdu -c writes it: the JSON compressed whole.
        ASSERT_EQ(system(("zstd -q '" + ncduOwn + "' -o '" + ncduOwn + ".zst'").c_str()), 0);
        sameAs(own, ncduOwn + ".zst", "ncdu's export compressed");
    }
    ASSERT_EQ(system(("gdu -n -i '" + t.path("skip") + "' -o '" + gduOwn + "' '" + t.root() + "' 2>/dev/null").c_str()), 0);
    const RawRun g = runRaw({"--import", gduOwn, "--json", "--age"}, t.root());
    ASSERT_EQ(g.exitCode, 0) << g.err;
    // (gdu writes the first of the links as a file of its own.)
    QMap<QString, int> gduAges;
    for (const QJsonValue &row : reportOf(g)["ages"].toArray())
        gduAges[row["age"].toString()] = row["count"].toInt();
    EXPECT_GE(gduAges["fiveYears"], 1) << "gdu's times";
    EXPECT_EQ(gduAges["threeMonths"], 1);
    EXPECT_EQ(gduAges["unknown"], 0);
    // gdu leaves the excluded folder out, and names the first link plainly.
    EXPECT_EQ(reportOf(g)["allocated"].toInteger(), own["allocated"].toInteger()) << "the linked file once";
    EXPECT_EQ(reportOf(g)["items"].toInteger(), own["items"].toInteger() - 1);
}

// Bad scan files end in a message and exit status 1, never a crash or a hang.
// The reader's refusals are tested on the reader; here, that they reach the
// user as a message and exit status 1.
TEST(BurrowlensScan, BadScanFilesAreRefused)
{
    TempTree t;
    const std::pair<std::string, std::string> cases[] = {
        {"not json at all", "not a scan file"},
        {"[1,2,{},[{\"name\":\"/r\"},{\"name\":\"x\"},{\"name\":\"x\"}]]", "twice"},
    };
    for (const auto &[content, message] : cases) {
        std::ofstream(t.path("bad.json"), std::ios::binary) << content;
        const RawRun r = runRaw({"--import", t.path("bad.json")}, t.root());
        EXPECT_EQ(r.exitCode, 1) << content.substr(0, 60);
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
    const RawRun missing = runRaw({"--import", t.path("missing.json")}, t.root());
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("missing.json"), std::string::npos) << missing.err;
}

// Input that never ends or is no scan file is refused at once, never by
// running out of memory; an export goes into a device, a FIFO or standard
// output as it is, and a full one says so.
TEST(BurrowlensScan, InputIsBoundedAndExportsGoWhereTheyAreSent)
{
    TempTree t;
    t.dir("tree");
    t.file("tree/a", 5000);
    const RawRun zeros = runRaw({"--import", "-"}, t.root(), nullptr, "/dev/zero");
    EXPECT_EQ(zeros.exitCode, 1);
    EXPECT_NE(zeros.err.find("not a scan file"), std::string::npos) << zeros.err;
    const RawRun patterns = runRaw({"--exclude-from", "/dev/zero", t.path("tree")}, t.root());
    EXPECT_EQ(patterns.exitCode, 2);
    EXPECT_NE(patterns.err.find("/dev/zero"), std::string::npos) << patterns.err;

    const RawRun toStdout = runRaw({"--export", "/dev/stdout", t.path("tree")}, t.root());
    EXPECT_EQ(toStdout.exitCode, 0) << toStdout.err;
    EXPECT_EQ(toStdout.out.rfind("[1,2,", 0), 0u) << toStdout.out.substr(0, 40);

    ASSERT_EQ(mkfifo(t.path("pipe").c_str(), 0600), 0);
    std::string piped;
    // Opened without waiting for a writer: a FIFO replaced by a file would
    // never see one. It reads until the writer has come and gone.
    const int fifo = open(t.path("pipe").c_str(), O_RDONLY | O_NONBLOCK);
    std::thread reader([&] {
        char chunk[65536];
        for (int idle = 0; idle < 300;) {
            pollfd wait{fifo, POLLIN, 0};
            if (poll(&wait, 1, 100) == 0) {
                ++idle;
                continue;
            }
            const ssize_t n = read(fifo, chunk, sizeof chunk);
            if (n > 0)
                piped.append(chunk, size_t(n));
            else if (n == 0 && !piped.empty())
                break;
            else if (n == 0)
                usleep(10000); // no writer yet
        }
        close(fifo);
    });
    const RawRun toFifo = runRaw({"--export", t.path("pipe"), t.path("tree")}, t.root());
    reader.join();
    EXPECT_EQ(toFifo.exitCode, 0) << toFifo.err;
    EXPECT_EQ(piped.rfind("[1,2,", 0), 0u);
    struct stat st;
    ASSERT_EQ(lstat(t.path("pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO is still a FIFO";

    // Device nodes of its own, as /dev/null and /dev/full are (root may
    // make them; the system's own are left alone should this ever fail):
    // written into, not replaced, and a full one says so.
    if (mknod(t.path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0 ||
        mknod(t.path("full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0)
        GTEST_SKIP() << "cannot make device nodes here";
    const RawRun toNull = runRaw({"--export", t.path("null"), t.path("tree")}, t.root());
    EXPECT_EQ(toNull.exitCode, 0) << toNull.err;
    const RawRun full = runRaw({"--export", t.path("full"), t.path("tree")}, t.root());
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_NE(full.err.find("No space left on device"), std::string::npos) << full.err;
    for (const char *device : {"null", "full"}) {
        ASSERT_EQ(lstat(t.path(device).c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << device << " is still a device";
    }
}

// Short of memory or of descriptors, a scan fails and says why; it never
// passes off a part of the tree as the whole, nor dies of a signal.
TEST(BurrowlensScan, ShortOfMemoryOrDescriptorsAScanFailsAndSaysWhy)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers reserve address space of their own";
#endif
    TempTree t;
    t.wide("tree", 120, 40);
    const RawRun whole = runRaw({"--json", t.path("tree")}, t.root());
    ASSERT_EQ(whole.exitCode, 0) << whole.err;
    const qint64 total = reportOf(whole)["allocated"].toInteger();
    for (const char *engine : {"fast", "recursive"}) {
        for (const rlim_t mib : {120, 160, 200, 260, 400}) {
            const RawRun r = runRaw({"--engine", engine, "--json", t.path("tree")}, t.root(), nullptr, nullptr,
                                    {{RLIMIT_AS, mib << 20}});
            const std::string context = std::string(engine) + " at " + std::to_string(mib) + " MiB: " + r.err;
            if (r.exitCode == 0) {
                EXPECT_EQ(reportOf(r)["allocated"].toInteger(), total) << context;
                EXPECT_EQ(reportOf(r)["unreadable"].toInteger(), 0) << context;
            } else {
                EXPECT_EQ(r.exitCode, 1) << context;
                EXPECT_TRUE(r.err.find("Not enough memory") != std::string::npos ||
                            r.err.find("not enough memory") != std::string::npos) << context;
            }
        }
        for (const rlim_t descriptors : {6, 7, 8, 10}) {
            const RawRun r = runRaw({"--engine", engine, "--json", t.path("tree")}, t.root(), nullptr, nullptr,
                                    {{RLIMIT_NOFILE, descriptors}});
            EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1) << engine << " with " << descriptors << ": " << r.err;
            if (r.exitCode == 1)
                EXPECT_FALSE(r.err.empty());
        }
    }
}

// A name is text in the report, never a command to the terminal: control
// characters come out as their pictures.
TEST(BurrowlensScan, NamesNeverReachTheTerminalAsControlBytes)
{
    TempTree t;
    t.file("\x1b]0;owned\x07", 100);
    t.file("red\x1b[31m\nline", 200);
    const RawRun r = runRaw({t.root()}, t.root());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char c : r.out)
        EXPECT_TRUE(c == '\n' || uchar(c) >= 0x20) << "byte " << int(uchar(c));
    EXPECT_NE(r.out.find("red\u241B[31m\u2424line"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\u241B]0;owned\u2407"), std::string::npos) << r.out;
}

// The largest files, types and ages, scanned and read back from an export,
// in the text and in the JSON: the reader's own tables are tested on the
// scanner; here, that they reach the user alike from either source.
TEST(BurrowlensScan, LargestFilesTypesAndAgesFromAScanOrAFile)
{
    TempTree t;
    t.dir("tree");
    t.dir("tree/photos");
    t.file("tree/photos/big.JPG", 90000);
    t.file("tree/notes.txt", 30000);
    t.file("tree/backup.tar.gz", 60000);
    const struct timespec old[2] = {{1262304000, 0}, {1262304000, 0}}; // 2010
    ASSERT_EQ(utimensat(AT_FDCWD, t.path("tree/notes.txt").c_str(), old, 0), 0);
    ASSERT_EQ(runRaw({"--export", t.path("scan.json"), t.path("tree")}, t.root()).exitCode, 0);
    for (const std::vector<std::string> &source : {std::vector<std::string>{t.path("tree")},
                                                   std::vector<std::string>{"--import", t.path("scan.json")}}) {
        std::vector<std::string> args{"--json", "--top-files", "2", "--types", "--age"};
        args.insert(args.end(), source.begin(), source.end());
        const RawRun r = runRaw(args, t.root());
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const QJsonObject o = reportOf(r);
        const QJsonArray files = o["largestFiles"].toArray();
        ASSERT_EQ(files.size(), 2);
        EXPECT_EQ(files[0].toObject()["path"].toString(), "photos/big.JPG");
        EXPECT_EQ(files[1].toObject()["path"].toString(), "backup.tar.gz");
        QStringList extensions;
        for (const QJsonValue &v : o["types"].toArray())
            extensions << v.toObject()["extension"].toString() + '=' + v.toObject()["category"].toString();
        EXPECT_EQ(extensions, (QStringList{"jpg=pictures", "tar.gz=archives", "txt=documents"}));
        qint64 older = 0;
        for (const QJsonValue &v : o["ages"].toArray())
            if (v.toObject()["age"].toString() == "older")
                older = v.toObject()["count"].toInteger();
        EXPECT_EQ(older, 1) << "the time travels in the export";
        std::vector<std::string> textArgs{"--top-files", "1", "--types", "--age"};
        textArgs.insert(textArgs.end(), source.begin(), source.end());
        const RawRun shown = runRaw(textArgs, t.root());
        EXPECT_NE(shown.out.find("Largest files:"), std::string::npos) << shown.out;
        EXPECT_NE(shown.out.find("photos/big.JPG"), std::string::npos);
        EXPECT_NE(shown.out.find("Archives and disk images"), std::string::npos);
        EXPECT_NE(shown.out.find("Older"), std::string::npos);
    }
    EXPECT_EQ(runRaw({"--top-files", "0", t.path("tree")}, t.root()).exitCode, 2);
}

// What changed since a scan file: scanning now or reading a second file,
// in the text and the JSON; scans of two folders are refused.
TEST(BurrowlensScan, CompareWithAnEarlierScan)
{
    TempTree t;
    t.dir("tree");
    t.dir("tree/old");
    t.file("tree/grows.bin", 10000);
    t.file("tree/old/a", 40000);
    ASSERT_EQ(runRaw({"--export", t.path("then.json"), t.path("tree")}, t.root()).exitCode, 0);
    t.file("tree/grows.bin", 300000);
    std::filesystem::remove_all(t.path("tree/old"));
    t.file("tree/new.txt", 5000);
    ASSERT_EQ(runRaw({"--export", t.path("now.json"), t.path("tree")}, t.root()).exitCode, 0);

    for (const std::vector<std::string> &now : {std::vector<std::string>{t.path("tree")},
                                                std::vector<std::string>{"--import", t.path("now.json")}}) {
        std::vector<std::string> args{"--compare", t.path("then.json"), "--json", "--apparent-size"};
        args.insert(args.end(), now.begin(), now.end());
        const RawRun r = runRaw(args, t.root());
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const QJsonObject c = reportOf(r)["comparison"].toObject();
        EXPECT_EQ(c["logicalBefore"].toInteger(), 50000);
        EXPECT_EQ(c["logicalAfter"].toInteger(), 305000);
        EXPECT_EQ(c["added"].toInteger(), 1);
        EXPECT_EQ(c["removed"].toInteger(), 2) << "the folder and its file";
        const QJsonArray grew = c["grew"].toArray(), shrank = c["shrank"].toArray();
        ASSERT_EQ(grew.size(), 2);
        EXPECT_EQ(grew[0]["path"].toString(), "grows.bin");
        EXPECT_EQ(grew[0]["change"].toInteger(), 290000);
        EXPECT_EQ(grew[1]["state"].toString(), "new");
        ASSERT_EQ(shrank.size(), 1);
        EXPECT_EQ(shrank[0]["path"].toString(), "old");
        EXPECT_EQ(shrank[0]["state"].toString(), "removed");
    }
    const RawRun text = runRaw({"--compare", t.path("then.json"), "--top", "1", t.path("tree")}, t.root());
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("Items: 1 added, 2 removed"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Grew most:"), std::string::npos);
    EXPECT_NE(text.out.find("grows.bin"), std::string::npos);
    EXPECT_EQ(text.out.find("new.txt"), std::string::npos) << "--top 1: one each way";
    EXPECT_NE(text.out.find("old/  (removed, 2 items)"), std::string::npos);

    const RawRun other = runRaw({"--compare", t.path("then.json"), t.root()}, t.root());
    EXPECT_EQ(other.exitCode, 1);
    EXPECT_NE(other.err.find("two folders"), std::string::npos) << other.err;
    EXPECT_EQ(runRaw({"--compare", t.path("missing.json"), t.path("tree")}, t.root()).exitCode, 1);
}

// A daily job keeps each scan; --history lists them, newest first, and any
// one of them is the earlier side of --compare.
TEST(BurrowlensScan, SavedScansAreListedAndCompared)
{
    TempTree t;
    t.dir("tree");
    t.file("tree/a", 20000);
    const std::string data = t.path("data");
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    const RawRun first = runRaw({"--save-history", t.path("tree")}, t.root());
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_TRUE(first.out.empty()) << "keeping a scan prints no report unless asked";
    t.file("tree/b", 30000);
    ASSERT_EQ(runRaw({"--save-history", "--json", t.path("tree")}, t.root()).exitCode, 0);

    const RawRun listed = runRaw({"--history", t.path("tree"), "--json"}, t.root());
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    const QJsonArray scans = reportOf(listed)["scans"].toArray();
    ASSERT_EQ(scans.size(), 2);
    EXPECT_EQ(scans[0]["items"].toInteger(), 3) << "newest first";
    EXPECT_EQ(scans[1]["items"].toInteger(), 2);
    const std::string older = scans[1]["file"].toString().toStdString();
    EXPECT_EQ(older.rfind(data + "/burrowlens/scans/", 0), 0u) << older;
    const RawRun compared = runRaw({"--compare", older, "--json", t.path("tree")}, t.root());
    EXPECT_EQ(reportOf(compared)["comparison"].toObject()["added"].toInteger(), 1) << compared.err;

    // A file there that is no scan is named and passed over.
    std::ofstream(older.substr(0, older.rfind('-')) + "-20200101T000000000Z.json.zst") << "junk";
    const RawRun again = runRaw({"--history", t.path("tree")}, t.root());
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_NE(again.err.find("skipped"), std::string::npos) << again.err;
    EXPECT_NE(again.out.find("Saved scans of " + t.path("tree") + ": 3"), std::string::npos) << again.out;
    EXPECT_EQ(runRaw({"--history", t.path("tree"), t.path("tree")}, t.root()).exitCode, 2);
    unsetenv("XDG_DATA_HOME");
}
