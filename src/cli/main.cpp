// burrowlens-scan: scans a folder with Burrowlens's engines and prints where
// the space goes, for servers, scripts and machines without a display. The
// report module: launcher.cpp loads it.
#include "report_entry.h"
#include "fast_scan_engine.h"
#include "local_file_system_provider.h"
#include "scan_engine.h"
#include "byte_count_text.h"
#include "chart_renderer.h"
#include "scan_history.h"
#include "scan_report.h"
#include "scan_file_io.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QDir>
#include <QFile>
#include <atomic>
#include <functional>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <pthread.h>
#include <thread>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const kUsage =
    "usage: burrowlens-scan [--engine fast|recursive] [--json | --segments] [--top N] [--progress]\n"
    "                       [-x | --cross-file-systems] [--apparent-size]\n"
    "                       [--exclude PATTERN]... [--exclude-from FILE] [--exclude-caches]\n"
    "                       [--top-files N] [--types] [--age] [--compare OLD] [--save-history]\n"
    "                       [--chart FILE.png [--size N]] [--export FILE] [--] PATH\n"
    "       burrowlens-scan --import FILE [report options] [--export FILE]\n"
    "       burrowlens-scan --history PATH [--json]\n"
    "  --version               print the version and exit\n"
    "  -x, --one-file-system   stay on the file system of PATH (the default)\n"
    "  --cross-file-systems    also enter the mounts below PATH (never proc, sysfs and the like)\n"
    "  --apparent-size         order and report by apparent size, as du --apparent-size\n"
    "  --top-files N           also the N largest files anywhere below PATH\n"
    "  --types                 also the files by type (extension) and category\n"
    "  --age                   also the files by the time of their last change\n"
    "  --save-history          also keep the scan with the folder's earlier ones (the last 10,\n"
    "                          1 GiB in all) in $XDG_DATA_HOME/burrowlens/scans\n"
    "  --history PATH          list the kept scans of PATH, newest first, with their totals\n"
    "  --compare OLD           also what changed since the scan file OLD of the same folder:\n"
    "                          the total, the items that grew and shrank most (--top N), and\n"
    "                          how many were added and removed\n"
    "  --exclude PATTERN       leave out what matches the shell glob: the name, or with a \"/\"\n"
    "                          the path below PATH (the whole path when it starts with \"/\")\n"
    "  --exclude-from FILE     the patterns of FILE, one a line; lines starting with # are comments\n"
    "  --exclude-caches        leave out folders holding a valid CACHEDIR.TAG\n"
    "  --export FILE           write the scan as ncdu's JSON export (- for standard output);\n"
    "                          no report is printed unless one is asked for\n"
    "  --import FILE           report on an export of ncdu, gdu or Burrowlens (- for standard input)\n"
    "                          instead of scanning\n";

int usageError(const QString &why)
{
    std::fprintf(stderr, "burrowlens-scan: %s\n%s", qPrintable(why), kUsage);
    return 2;
}

struct Options {
    QString engine = QStringLiteral("fast");
    bool json = false;
    bool segments = false;
    QString chart;
    int chartSize = 900;
    bool progress = false;
    int top = -1;
    int topFiles = 0;
    bool types = false;
    bool ages = false;
    bool crossFileSystems = false;
    bool apparentSize = false;
    QList<QByteArray> excludePatterns; // bytes, as names are
    bool excludeCaches = false;
    QByteArray path; // as the shell passed it: names are bytes
    QByteArray exportTo, importFrom, compareWith;
    bool saveHistory = false;
    QByteArray historyOf; // --history: list, scan nothing
    bool reportAsked = false; // --json, --segments or --top given
};

// The patterns of file ("-": standard input), read whole; nullopt, said on
// standard error, when it cannot be read or is no file of patterns.
std::optional<QByteArray> readPatternFile(const QByteArray &file)
{
    QFile in(QFile::decodeName(file));
    const bool opened = file == "-" ? in.open(stdin, QIODevice::ReadOnly) : in.open(QIODevice::ReadOnly);
    QByteArray data;
    QString why = opened ? QString() : in.errorString();
    // Bounded, and text only: /dev/zero is no list of patterns.
    constexpr qsizetype kLongest = 16 << 20;
    while (why.isEmpty()) {
        const QByteArray chunk = in.read(1 << 16);
        if (in.error() != QFileDevice::NoError)
            why = in.errorString();
        else if (chunk.contains('\0'))
            why = QStringLiteral("it holds a NUL byte, so it is not a text file");
        else if (data.size() + chunk.size() > kLongest)
            why = QStringLiteral("it is longer than %1 MiB").arg(kLongest >> 20);
        else if (chunk.isEmpty())
            return data;
        data += chunk;
    }
    std::fprintf(stderr, "burrowlens-scan: cannot read the patterns of %s: %s\n", file.constData(), qPrintable(why));
    return std::nullopt;
}

// Appends the patterns of file, one a line; blank lines and lines starting
// with # are left out. False, said on standard error, when it cannot be read.
bool readPatterns(const QByteArray &file, QList<QByteArray> &patterns)
{
    const std::optional<QByteArray> text = readPatternFile(file);
    if (!text)
        return false;
    for (QByteArray line : text->split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.isEmpty() && !line.startsWith('#'))
            patterns.append(line);
    }
    return true;
}

// One option and its value, if it takes one; an exit status when the
// run ends here (help, version, bad usage).
std::optional<int> parseOption(const QString &name, const std::function<std::optional<QString>()> &value,
                               const std::function<std::optional<QByteArray>()> &rawValue, Options &o)
{
    if (name == u"--help" || name == u"-h") {
        std::fputs(kUsage, stdout);
        return 0;
    } else if (name == u"--version") {
        std::printf("burrowlens-scan %s\n", BL_SHORT_VERSION);
        return 0;
    } else if (name == u"--json") {
        o.json = true;
    } else if (name == u"--chart") {
        const auto v = value();
        if (!v || v->isEmpty())
            return usageError(QStringLiteral("--chart takes the PNG file to write"));
        o.chart = *v;
    } else if (name == u"--size") {
        const auto v = value();
        bool ok = false;
        const int n = v ? v->toInt(&ok) : 0;
        if (!ok || n < 64 || n > 8192)
            return usageError(QStringLiteral("--size takes a side from 64 to 8192 pixels"));
        o.chartSize = n;
    } else if (name == u"--segments") {
        o.segments = true;
    } else if (name == u"--progress") {
        o.progress = true;
    } else if (name == u"--cross-file-systems") {
        o.crossFileSystems = true;
    } else if (name == u"-x" || name == u"--one-file-system") {
        o.crossFileSystems = false;
    } else if (name == u"--apparent-size") {
        o.apparentSize = true;
    } else if (name == u"--types") {
        o.types = true;
    } else if (name == u"--age") {
        o.ages = true;
    } else if (name == u"--top-files") {
        const auto v = value();
        bool ok = false;
        const int n = v ? v->toInt(&ok) : -1;
        if (!ok || n < 1 || n > 1000000)
            return usageError(QStringLiteral("--top-files takes a count from 1 to 1000000"));
        o.topFiles = n;
    } else if (name == u"--exclude") {
        const std::optional<QByteArray> v = rawValue();
        if (!v || v->isEmpty())
            return usageError(QStringLiteral("--exclude takes a pattern"));
        o.excludePatterns.append(*v);
    } else if (name == u"--exclude-from") {
        const std::optional<QByteArray> v = rawValue();
        if (!v || v->isEmpty())
            return usageError(QStringLiteral("--exclude-from takes a file of patterns"));
        if (!readPatterns(*v, o.excludePatterns))
            return 2;
    } else if (name == u"--save-history") {
        o.saveHistory = true;
    } else if (name == u"--history") {
        const std::optional<QByteArray> v = rawValue();
        if (!v || v->isEmpty())
            return usageError(QStringLiteral("--history takes a folder"));
        o.historyOf = *v;
    } else if (name == u"--compare") {
        const std::optional<QByteArray> v = rawValue();
        if (!v || v->isEmpty() || *v == "-")
            return usageError(QStringLiteral("--compare takes a scan file"));
        o.compareWith = *v;
    } else if (name == u"--export" || name == u"--import") {
        const std::optional<QByteArray> v = rawValue();
        if (!v || v->isEmpty())
            return usageError(QStringLiteral("%1 takes a file (- for the standard stream)").arg(name));
        (name == u"--export" ? o.exportTo : o.importFrom) = *v;
    } else if (name == u"--exclude-caches") {
        o.excludeCaches = true;
    } else if (name == u"--engine") {
        const auto v = value();
        if (!v || (*v != u"fast" && *v != u"recursive"))
            return usageError(QStringLiteral("--engine takes fast or recursive"));
        o.engine = *v;
    } else if (name == u"--top") {
        const auto v = value();
        bool ok = false;
        const int n = v ? v->toInt(&ok) : -1;
        if (!ok || n < 0)
            return usageError(QStringLiteral("--top takes a count of 0 or more"));
        o.top = n;
    } else {
        return usageError(QStringLiteral("unknown option %1").arg(name));
    }
    return std::nullopt;
}

// Returns an exit status when the arguments do not make a run.
std::optional<int> parse(int argc, char **argv, Options &o)
{
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (optionsEnded || (arg != u"--" && (!arg.startsWith(u'-') || arg == u"-"))) {
            if (!o.path.isEmpty())
                return usageError(QStringLiteral("one folder at a time"));
            o.path = QByteArray(argv[i]);
            if (o.path.isEmpty())
                return usageError(QStringLiteral("the folder's name is empty"));
            continue;
        }
        if (arg == u"--") {
            optionsEnded = true;
            continue;
        }
        // "--name=value" is "--name value".
        QString name = arg;
        std::optional<QByteArray> attached;
        if (const qsizetype eq = arg.indexOf(u'='); arg.startsWith(u"--") && eq > 2) {
            name = arg.left(eq);
            attached = QByteArray(argv[i]).mid(QByteArray(argv[i]).indexOf('=') + 1);
        }
        bool valueTaken = false;
        const auto rawValue = [&]() -> std::optional<QByteArray> {
            valueTaken = true;
            if (attached)
                return attached;
            if (i + 1 >= argc)
                return std::nullopt;
            return QByteArray(argv[++i]);
        };
        const auto value = [&]() -> std::optional<QString> {
            const std::optional<QByteArray> v = rawValue();
            return v ? std::optional(QString::fromLocal8Bit(*v)) : std::nullopt;
        };
        if (const std::optional<int> status = parseOption(name, value, rawValue, o))
            return status;
        if (attached && !valueTaken)
            return usageError(QStringLiteral("%1 takes no value").arg(name));
    }
    o.reportAsked = o.json || o.segments || o.top >= 0 || o.topFiles > 0 || o.types || o.ages || !o.compareWith.isEmpty();
    if (!o.historyOf.isEmpty()) {
        if (!o.path.isEmpty() || !o.importFrom.isEmpty() || !o.exportTo.isEmpty() || o.saveHistory)
            return usageError(QStringLiteral("--history lists saved scans: it takes no folder to scan"));
        return std::nullopt;
    }
    if (!o.importFrom.isEmpty() && !o.path.isEmpty())
        return usageError(QStringLiteral("a folder to scan or --import, not both"));
    if (o.path.isEmpty() && o.importFrom.isEmpty())
        return usageError(QStringLiteral("no folder given"));
    if (o.exportTo == "-" && o.reportAsked)
        return usageError(QStringLiteral("--export - writes to standard output: it takes no report"));
    if (o.json && o.segments)
        return usageError(QStringLiteral("--json and --segments do not go together"));
    return std::nullopt;
}

void showProgress(const ProgressSnapshot &p)
{
    std::fprintf(stderr, "\r\033[K%lld items, %lld folders, %lld files, %lld unreadable",
                 static_cast<long long>(p.itemsScanned), static_cast<long long>(p.directoriesScanned),
                 static_cast<long long>(p.filesScanned), static_cast<long long>(p.unreadableCount));
}

// Writes all of data to standard output and closes it; false (errno set)
// when any of it could not be written, so a report cut short by a full disk
// or a closed pipe is never taken for a whole one.
bool writeAll(const QByteArray &data)
{
    const char *p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = write(STDOUT_FILENO, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= n;
    }
    // A file on a full disk or over NFS may report its error only now.
    if (fsync(STDOUT_FILENO) != 0 && errno != EINVAL && errno != EROFS)
        return false;
    return close(STDOUT_FILENO) == 0 || errno == EINTR;
}

// The folder path names, as a scan's root; nothing, said, when the current
// folder cannot be told.
std::optional<FileUrl> urlOfFolder(const QByteArray &path)
{
    QByteArray absolute = path;
    if (!absolute.startsWith('/')) {
        char *cwd = getcwd(nullptr, 0);
        if (!cwd) {
            std::fprintf(stderr, "burrowlens-scan: cannot tell the current folder: %s\n", std::strerror(errno));
            return std::nullopt;
        }
        absolute = QByteArray(cwd) + '/' + absolute;
        std::free(cwd);
    }
    struct stat st;
    return FileUrl::fromNativePath(absolute, stat(absolute.constData(), &st) == 0 && S_ISDIR(st.st_mode));
}

// --history: the saved scans of the folder, newest first, with their totals;
// a file that cannot be read is named and passed over.
int listHistory(const Options &options)
{
    const std::optional<FileUrl> folder = urlOfFolder(options.historyOf);
    if (!folder)
        return 1;
    const QList<ScanHistoryEntry> entries = ScanHistory().scansOf(*folder);
    QJsonArray scans;
    QString text = QStringLiteral("Saved scans of %1: %2\n").arg(folder->path(), QLocale().toString(entries.size()));
    for (const ScanHistoryEntry &e : entries) {
        QString error;
        const std::optional<ScanFileContents> saved = loadScanFile(e.file, &error);
        const std::optional<ScanNodeRecord> root = saved ? saved->tree.rootNode() : std::nullopt;
        if (!root) {
            std::fprintf(stderr, "burrowlens-scan: skipped %s: %s\n", qPrintable(e.file),
                         qPrintable(error.isEmpty() ? QStringLiteral("no scan in it") : error));
            continue;
        }
        const qint64 size = options.apparentSize ? root->logicalSize : root->allocatedSize;
        text += QStringLiteral("  %1  %2  %3 items  %4\n")
                    .arg(QLocale().toString(e.finishedAt.toLocalTime(), QLocale::ShortFormat), byteCountText(size).rightJustified(9),
                         QLocale().toString(saved->tree.size()), e.file);
        scans.append(QJsonObject{{"file", e.file},
                                 {"timestamp", e.finishedAt.toSecsSinceEpoch()},
                                 {"allocated", root->allocatedSize},
                                 {"logical", root->logicalSize},
                                 {"items", saved->tree.size()}});
    }
    const QByteArray out = options.json
                               ? QJsonDocument(QJsonObject{{"root", folder->path()}, {"scans", scans}}).toJson()
                               : text.toUtf8();
    return writeAll(out) ? 0 : 1;
}

// Scans the folder of options into finished, with the launcher's walk when
// it is of that folder; an exit status when it does not finish.
std::optional<int> scanFolder(const Options &options, std::unique_ptr<bl::StartedScan> walk,
                              ScanUpdate::Finished &finished)
{
    // Ctrl-C is taken by a thread of its own, which abandons the stream: the
    // engine then cancels the native scan and releases its memory.
    sigset_t watched;
    sigemptyset(&watched);
    sigaddset(&watched, SIGINT);
    sigaddset(&watched, SIGTERM);
    sigaddset(&watched, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &watched, nullptr);

    const std::optional<FileUrl> folder = urlOfFolder(options.path);
    if (!folder)
        return 1;
    const FileUrl &url = *folder;
    ScanOptions scanOptions;
    scanOptions.crossFileSystems = options.crossFileSystems;
    scanOptions.excludePatterns = options.excludePatterns;
    scanOptions.excludeCaches = options.excludeCaches;
    const ScanOptionsSource source = [scanOptions] { return scanOptions; };
    std::unique_ptr<ScanEngineProviding> engine;
    if (options.engine == u"recursive")
        engine = std::make_unique<ScanEngine>(std::make_shared<LocalFileSystemProvider>(), NodeSizingService{}, source);
    else {
        auto fast = std::make_unique<FastScanEngine>(FastScanEngine::kPollIntervalMs, 0, source);
        fast->takeStartedScan(std::move(walk));
        engine = std::move(fast);
    }
    walk.reset(); // the recursive engine walks on its own

    const std::shared_ptr<UpdateStream> stream = engine->startScan(url);
    // The watcher outlives this function (it stays for the report), so what
    // it reads lives as long as the program.
    static std::atomic<bool> interrupted{false};
    static std::atomic<bool> writing{false};
    std::thread watcher;
    try {
        watcher = std::thread([watched, stream] {
            int signal = 0;
            sigwait(&watched, &signal);
            if (signal == SIGUSR1)
                return;
            interrupted = true;
            if (writing) // the report may be blocked on a pipe nobody reads
                std::_Exit(130);
            stream->abandon();
        });
    } catch (const std::system_error &e) {
        stream->abandon();
        while (stream->next()) {
        }
        std::fprintf(stderr, "burrowlens-scan: not enough memory to scan %s: %s\n", url.path().toLocal8Bit().constData(),
                     e.what());
        return 1;
    }

    const bool live = options.progress && isatty(STDERR_FILENO);
    std::optional<ScanUpdate> terminal;
    while (auto update = stream->next()) {
        if (update->kind() == ScanUpdate::Kind::progress && live)
            showProgress(update->get<ProgressSnapshot>());
        else if (update->isTerminal())
            terminal = std::move(update);
    }
    if (live)
        std::fputs("\r\033[K", stderr);
    if (interrupted) {
        pthread_kill(watcher.native_handle(), SIGUSR1);
        watcher.join();
        std::fputs("burrowlens-scan: cancelled\n", stderr);
        return 130;
    }
    // From here on Ctrl-C ends the program at once; the watcher stays.
    writing = true;
    watcher.detach();
    if (interrupted)
        return 130;
    if (!terminal || terminal->kind() == ScanUpdate::Kind::cancelled) {
        std::fputs("burrowlens-scan: the scan was cancelled\n", stderr);
        return 1;
    }
    if (terminal->kind() == ScanUpdate::Kind::failed) {
        std::fprintf(stderr, "%s\n", qPrintable(terminal->get<ScanFailure>().message()));
        return 1;
    }
    finished = terminal->get<ScanUpdate::Finished>();
    return std::nullopt;
}

// Reads the export of options into finished; exit status 1, said on
// standard error, when it cannot be read or is not one.
std::optional<int> importFile(const Options &options, ScanUpdate::Finished &finished)
{
    QString error;
    std::optional<ScanFileContents> contents;
    if (options.importFrom == "-") {
        contents = receiveScanFile(STDIN_FILENO, QString(), {}, &error);
    } else {
        contents = loadScanFile(QFile::decodeName(options.importFrom), &error);
    }
    if (!contents) {
        std::fprintf(stderr, "burrowlens-scan: %s: %s\n", options.importFrom.constData(), qPrintable(error));
        return 1;
    }
    finished = {std::move(contents->tree), std::move(contents->summary)};
    return std::nullopt;
}

// Writes the export: atomically to a path (a failed write leaves no file
// under that name), or to standard output.
bool exportTo(const QByteArray &target, const ScanUpdate::Finished &finished, QString &error)
{
    if (target == "-")
        return exportScanFile(finished.tree, finished.summary, STDOUT_FILENO, &error);
    return saveScanFile(finished.tree, finished.summary, QFile::decodeName(target), &error);
}

int run(int argc, char **argv, std::unique_ptr<bl::StartedScan> walk)
{
    Options options;
    if (const auto status = parse(argc, argv, options))
        return *status;
    if (!options.historyOf.isEmpty() || !options.importFrom.isEmpty())
        walk.reset(); // nothing to scan
    if (!options.historyOf.isEmpty())
        return listHistory(options);
    ScanUpdate::Finished finished;
    if (const auto status = options.importFrom.isEmpty() ? scanFolder(options, std::move(walk), finished)
                                                         : importFile(options, finished))
        return *status;
    if (options.saveHistory) {
        QString error, saved;
        if (!ScanHistory().save(finished.tree, finished.summary, &error, &saved)) {
            std::fprintf(stderr, "burrowlens-scan: could not save the scan in the history: %s\n", qPrintable(error));
            std::_Exit(1);
        }
        if (!options.reportAsked && options.exportTo.isEmpty() && options.chart.isEmpty())
            std::_Exit(0);
    }
    if (!options.exportTo.isEmpty()) {
        QString error;
        if (!exportTo(options.exportTo, finished, error)) {
            std::fprintf(stderr, "burrowlens-scan: could not write %s: %s\n", options.exportTo.constData(),
                         qPrintable(error));
            std::_Exit(1);
        }
        if (!options.reportAsked && options.chart.isEmpty())
            std::_Exit(0);
    }
    if (!options.chart.isEmpty()) {
        QString error;
        if (!renderChart(finished.tree, options.chart, options.chartSize,
                         options.apparentSize ? SizeMeasure::logical : SizeMeasure::allocated, argc, argv, &error)) {
            std::fprintf(stderr, "burrowlens-scan: %s\n", qPrintable(error));
            return 1;
        }
    }
    if (!options.exportTo.isEmpty() && !options.reportAsked)
        std::_Exit(0);
    ScanReport report;
    report.tree = finished.tree;
    report.summary = finished.summary;
    report.engine = options.importFrom.isEmpty() ? options.engine : QStringLiteral("file");
    report.top = options.top;
    report.measure = options.apparentSize ? SizeMeasure::logical : SizeMeasure::allocated;
    report.topFiles = options.topFiles;
    report.types = options.types;
    report.ages = options.ages;
    report.now = QDateTime::currentSecsSinceEpoch();
    if (!options.compareWith.isEmpty()) {
        QString error;
        std::optional<ScanFileContents> older = loadScanFile(QFile::decodeName(options.compareWith), &error);
        if (older) {
            report.comparison = ScanComparison::compare(older->tree, finished.tree, &error);
            report.olderTree = std::move(older->tree);
            report.olderSummary = older->summary;
            report.olderFile = QFile::decodeName(options.compareWith);
        }
        if (!report.comparison) {
            std::fprintf(stderr, "burrowlens-scan: %s: %s\n", options.compareWith.constData(), qPrintable(error));
            return 1;
        }
    }
    const QByteArray out = options.segments ? report.segmentsJson()
                           : options.json   ? report.json()
                                            : report.text().toUtf8();
    if (std::fflush(stdout) != 0 || !writeAll(out)) {
        std::fprintf(stderr, "burrowlens-scan: could not write the report: %s\n", std::strerror(errno));
        std::_Exit(1);
    }
    // The engine is idle and everything is written: leave without taking a
    // tree of millions of records apart piece by piece.
    std::_Exit(0);
}

} // namespace

extern "C" int burrowlens_scan_run(int argc, char **argv, bl::StartedScan *started)
{
    std::unique_ptr<bl::StartedScan> walk(started);
    try {
        return run(argc, argv, std::move(walk));
    } catch (const std::bad_alloc &) {
        // What the scan and the reader cannot hold they report themselves;
        // this is the rest (a report of millions of lines, say).
        std::fputs("burrowlens-scan: not enough memory\n", stderr);
        std::_Exit(1);
    } catch (const std::system_error &e) {
        // A thread that could not start, short of memory or of processes.
        std::fprintf(stderr, "burrowlens-scan: not enough memory: %s\n", e.what());
        std::_Exit(1);
    }
}
