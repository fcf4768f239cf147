// scancore_bench: times the native full scan on one folder and prints one
// line in limitwalk's format, so that the two can be compared directly:
//   items dirs files unreadable allocated logical seconds
#include "bl_scan_internal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

int usage(const char *argv0)
{
    std::fprintf(stderr, "usage: %s [-r RUNS] [-j THREADS] PATH\n", argv0);
    return 2;
}

bool parsePositive(const char *text, int &value)
{
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (!*text || *end || v < 1 || v > 100000)
        return false;
    value = static_cast<int>(v);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int runs = 1;
    int threads = 0;
    int opt;
    while ((opt = getopt(argc, argv, "r:j:")) != -1) {
        if (opt == 'r' && parsePositive(optarg, runs))
            continue;
        if (opt == 'j' && parsePositive(optarg, threads))
            continue;
        return usage(argv[0]);
    }
    if (optind != argc - 1)
        return usage(argv[0]);
    const char *path = argv[optind];

    std::vector<double> seconds;
    bl_scan_result_t result;
    for (int run = 0; run < runs; ++run) {
        std::memset(&result, 0, sizeof result);
        int32_t cancel = 0;
        const auto start = std::chrono::steady_clock::now();
        const int status = bl_full_scan_threads(path, &result, &cancel, threads);
        const auto end = std::chrono::steady_clock::now();
        if (status != 0) {
            std::fprintf(stderr, "scancore_bench: cannot scan %s: %s\n", path,
                         status < 0 ? "not a readable folder, or out of memory" : "cancelled");
            bl_scan_result_free(&result);
            return 1;
        }
        seconds.push_back(std::chrono::duration<double>(end - start).count());
        if (run + 1 < runs)
            bl_scan_result_free(&result);
    }
    std::sort(seconds.begin(), seconds.end());
    const size_t mid = seconds.size() / 2;
    const double median =
        seconds.size() % 2 ? seconds[mid] : (seconds[mid - 1] + seconds[mid]) / 2;
    std::printf("%d %d %d %d %llu %llu %.6f\n", bl_get_items_scanned(&result),
                bl_get_dirs_scanned(&result), bl_get_files_scanned(&result),
                bl_get_unreadable_count(&result),
                static_cast<unsigned long long>(result.nodes[0].allocated_size),
                static_cast<unsigned long long>(result.nodes[0].logical_size), median);
    bl_scan_result_free(&result);
    return 0;
}
