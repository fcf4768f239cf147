// burrowlens-scan's executable: begins the walk of the folder it is most
// likely asked for, then loads the report module, which holds Qt. From a
// cold cache loading Qt and ICU takes tens of milliseconds of reads that now
// overlap the walk's. The report checks the guess and discards a wrong one,
// so a guess costs or saves time but never changes a result.
#include "private_module.h"
#include "report_entry.h"
#include "started_scan.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <optional>
#include <pthread.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The folder argv most likely scans with no choices that change the walk,
// absolute and as the report will name it; nothing when it cannot be told
// cheaply (paths with "." or ".." in them, say).
std::optional<std::string> likelyFolder(int argc, char **argv)
{
    if (argc < 2)
        return std::nullopt;
    for (int i = 1; i < argc - 1; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--")
            break;
        for (const std::string_view other : {"--import", "--history", "--engine", "--cross-file-systems",
                                             "--exclude", "--help", "-h", "--version"})
            if (arg.starts_with(other))
                return std::nullopt;
    }
    std::string path = argv[argc - 1];
    if (path.empty() || path[0] == '-')
        return std::nullopt;
    while (path.starts_with("./"))
        path.erase(0, 2);
    if (path[0] != '/') {
        char *cwd = getcwd(nullptr, 0);
        if (!cwd)
            return std::nullopt;
        std::string absolute = cwd;
        std::free(cwd);
        if (path != ".")
            absolute += (absolute == "/" ? "" : "/") + path;
        path = std::move(absolute);
    }
    if (path.find("//") != std::string::npos || path.find("/./") != std::string::npos ||
        path.find("/../") != std::string::npos || path.ends_with("/.") || path.ends_with("/.."))
        return std::nullopt;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    return path;
}

// The walk, with the signals the report waits for blocked in its threads,
// as the report blocks them in its own.
std::unique_ptr<bl::StartedScan> startWalk(const std::string &folder)
{
    sigset_t watched, old;
    sigemptyset(&watched);
    sigaddset(&watched, SIGINT);
    sigaddset(&watched, SIGTERM);
    sigaddset(&watched, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &watched, &old);
    std::unique_ptr<bl::StartedScan> walk = bl::StartedScan::start(folder);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return walk;
}

} // namespace

int main(int argc, char **argv)
{
    std::unique_ptr<bl::StartedScan> walk;
    if (const std::optional<std::string> folder = likelyFolder(argc, argv))
        walk = startWalk(*folder);
    void *report = dlopen(privateModulePath("burrowlens-scan-report.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    const auto run = report ? reinterpret_cast<decltype(&burrowlens_scan_run)>(dlsym(report, "burrowlens_scan_run"))
                            : nullptr;
    if (!run) {
        std::fprintf(stderr, "burrowlens-scan: cannot load its report: %s\n", dlerror());
        return 1;
    }
    return run(argc, argv, walk.release());
}
