#include "exclusions.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bl {

Exclusions::Exclusions(const char *rootPath, const std::vector<std::string> &patterns, bool caches)
    : root_(rootPath ? rootPath : ""), caches_(caches)
{
    while (!root_.empty() && root_.back() == '/')
        root_.pop_back();
    for (const std::string &p : patterns) {
        if (p.empty())
            continue;
        if (p.front() == '/')
            whole_.push_back(p);
        else if (p.find('/') != std::string::npos)
            below_.push_back(p);
        else
            names_.push_back(p);
    }
}

bool Exclusions::excludes(const char *name, const char *below) const
{
    for (const std::string &p : names_) {
        if (fnmatch(p.c_str(), name, 0) == 0)
            return true;
    }
    if (!below)
        return false;
    for (const std::string &p : below_) {
        if (fnmatch(p.c_str(), below, FNM_PATHNAME) == 0)
            return true;
    }
    if (whole_.empty())
        return false;
    const std::string whole = root_ + '/' + below;
    for (const std::string &p : whole_) {
        if (fnmatch(p.c_str(), whole.c_str(), FNM_PATHNAME) == 0)
            return true;
    }
    return false;
}

bool holdsCacheTag(int dirfd, const char *name)
{
    static constexpr char kTag[] = "/CACHEDIR.TAG";
    static constexpr char kSignature[] = "Signature: 8a477f597d28d172789f06886806bc55";
    char path[256 + sizeof kTag];
    const size_t len = strnlen(name, 256);
    if (len == 256)
        return false;
    std::memcpy(path, name, len);
    std::memcpy(path + len, kTag, sizeof kTag);
    const int saved = errno;
    // Non-blocking: a FIFO under that name must not hold the scan up.
    const int fd = openat(dirfd, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    bool tagged = false;
    if (fd >= 0) {
        struct stat st;
        char head[sizeof kSignature - 1];
        size_t got = 0;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            while (got < sizeof head) {
                const ssize_t n = read(fd, head + got, sizeof head - got);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                got += size_t(n);
            }
        }
        tagged = got == sizeof head && std::memcmp(head, kSignature, sizeof head) == 0;
        close(fd);
    }
    errno = saved;
    return tagged;
}

} // namespace bl
