#include "temp_tree.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <set>
#include <sstream>
#include <stdexcept>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bltest {
namespace {

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::vector<std::pair<std::string, bool>> entriesOf(int fd)
{
    std::vector<std::pair<std::string, bool>> entries;
    DIR *d = fdopendir(dup(fd));
    if (!d)
        return entries;
    while (dirent *e = readdir(d)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
            continue;
        struct stat st;
        if (fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            entries.emplace_back(e->d_name, S_ISDIR(st.st_mode));
    }
    closedir(d);
    return entries;
}

// Removes everything below the open directory fd, also below chmod 000
// directories and deeper than PATH_MAX, with a stack of its own: test trees
// may be tens of thousands deep.
void removeContents(int rootFd)
{
    struct Frame {
        int fd;
        std::vector<std::pair<std::string, bool>> entries;
        size_t next = 0;
    };
    std::vector<Frame> stack;
    stack.push_back({dup(rootFd), entriesOf(rootFd)});
    while (!stack.empty()) {
        Frame &top = stack.back();
        if (top.next == top.entries.size()) {
            close(top.fd);
            stack.pop_back();
            if (!stack.empty())
                unlinkat(stack.back().fd, stack.back().entries[stack.back().next - 1].first.c_str(), AT_REMOVEDIR);
            continue;
        }
        const auto &[name, isDir] = top.entries[top.next++];
        if (!isDir) {
            unlinkat(top.fd, name.c_str(), 0);
            continue;
        }
        fchmodat(top.fd, name.c_str(), 0700, 0);
        const int sub = openat(top.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0) {
            unlinkat(top.fd, name.c_str(), AT_REMOVEDIR);
            continue;
        }
        std::vector<std::pair<std::string, bool>> below = entriesOf(sub);
        stack.push_back({sub, std::move(below)});
    }
}

bool isPackageName(const std::string &name)
{
    static const char *const extensions[] = {".app", ".framework", ".bundle", ".plugin", ".kext",
                                             ".appex", ".xpc", ".qlgenerator", ".mdimporter",
                                             ".prefPane", ".component", ".saver", ".pkg"};
    for (const char *ext : extensions) {
        const size_t n = std::strlen(ext);
        if (name.size() >= 4 && name.size() >= n &&
            strcasecmp(name.c_str() + name.size() - n, ext) == 0)
            return true;
    }
    return false;
}

// The mount points a walk does not enter (from /proc/self/mountinfo, so
// bind mounts count), and the files with several links it counted.
struct WalkScope {
    std::set<std::string> mountPoints;
    std::set<std::pair<dev_t, ino_t>> linked;

    WalkScope()
    {
        std::ifstream in("/proc/self/mountinfo");
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string id, parent, device, root, point;
            fields >> id >> parent >> device >> root >> point;
            std::string unescaped; // "\040" and the like
            for (size_t i = 0; i < point.size(); ++i) {
                if (point[i] == '\\' && i + 3 < point.size()) {
                    unescaped += char(std::stoi(point.substr(i + 1, 3), nullptr, 8));
                    i += 3;
                } else {
                    unescaped += point[i];
                }
            }
            mountPoints.insert(unescaped);
        }
    }
};

void walkFd(int fd, WalkTotals &t, WalkScope &scope, const std::string &path)
{
    DIR *d = fdopendir(fd);
    if (!d) {
        close(fd);
        ++t.unreadable;
        return;
    }
    while (dirent *e = readdir(d)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
            continue;
        struct stat st;
        const bool statted = fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!statted && errno == EACCES) {
            // Listed but not searchable: the folder is unreadable, as ncdu
            // has it, and none of its entries counts (the first is tried).
            ++t.unreadable;
            break;
        }
        ++t.items;
        const bool isDir = statted ? S_ISDIR(st.st_mode) : e->d_type == DT_DIR;
        if (isDir && !isPackageName(e->d_name)) {
            ++t.dirs;
            const std::string below = path + "/" + e->d_name;
            if (scope.mountPoints.count(below))
                continue; // another file system: an entry, not entered
            const int sub = openat(dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0)
                ++t.unreadable;
            else
                walkFd(sub, t, scope, below);
            continue;
        }
        ++t.files;
        if (statted && S_ISREG(st.st_mode) &&
            (st.st_nlink < 2 || scope.linked.insert({st.st_dev, st.st_ino}).second)) {
            t.allocated += uint64_t(st.st_blocks) * 512;
            t.logical += uint64_t(st.st_size);
        }
    }
    closedir(d);
}

} // namespace

std::string fastScratch()
{
    return access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "";
}

TempTree::TempTree(const std::string &base)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = (!base.empty() ? base : std::string(tmp && *tmp ? tmp : "/tmp")) + "/bltest.XXXXXX";
    if (!mkdtemp(templ.data()))
        fail("mkdtemp");
    root_ = templ;
    ::chmod(root_.c_str(), 0755); // reachable by the unprivileged test user too
}

TempTree::~TempTree()
{
    const int fd = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        removeContents(fd);
        close(fd);
    }
    rmdir(root_.c_str());
}

void TempTree::dir(const std::string &relative, unsigned mode) const
{
    if (mkdir(path(relative).c_str(), mode) != 0)
        fail("mkdir " + relative);
    ::chmod(path(relative).c_str(), mode);
}

void TempTree::file(const std::string &relative, size_t bytes) const
{
    const int fd = open(path(relative).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        fail("create " + relative);
    std::vector<char> data(bytes, 'x');
    size_t done = 0;
    while (done < bytes) {
        const ssize_t n = write(fd, data.data() + done, bytes - done);
        if (n <= 0)
            fail("write " + relative);
        done += size_t(n);
    }
    close(fd);
}

void TempTree::symlink(const std::string &target, const std::string &relative) const
{
    if (::symlink(target.c_str(), path(relative).c_str()) != 0)
        fail("symlink " + relative);
}

void TempTree::fifo(const std::string &relative) const
{
    if (mkfifo(path(relative).c_str(), 0644) != 0)
        fail("mkfifo " + relative);
}

void TempTree::chmod(const std::string &relative, unsigned mode) const
{
    if (::chmod(path(relative).c_str(), mode) != 0)
        fail("chmod " + relative);
}

void TempTree::wide(const std::string &relative, int dirs, int filesPerDir) const
{
    dir(relative);
    const int groups = 16;
    for (int g = 0; g < groups; ++g)
        dir(relative + "/g" + std::to_string(g));
    for (int i = 0; i < dirs; ++i) {
        const std::string d = relative + "/g" + std::to_string(i % groups) + "/d" + std::to_string(i);
        dir(d);
        for (int f = 0; f < filesPerDir; ++f)
            file(d + "/f" + std::to_string(f), size_t((i + f) % 3) * 700);
    }
}

void TempTree::chain(const std::string &relative, int levels) const
{
    dir(relative);
    int fd = open(path(relative).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < levels && fd >= 0; ++i) {
        const int f = openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        const std::string bytes(100, 'x');
        if (f < 0 || write(f, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
            fail("chain file");
        close(f);
        if (mkdirat(fd, "d", 0755) != 0)
            fail("chain mkdirat");
        const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    if (fd < 0)
        fail("chain openat");
    close(fd);
}

std::string TempTree::deepChain(const std::string &relative, size_t minBytes) const
{
    dir(relative);
    int fd = open(path(relative).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        fail("open " + relative);
    const std::string segment(200, 'd');
    std::string chain = relative;
    while (root_.size() + 1 + chain.size() <= minBytes) {
        if (mkdirat(fd, segment.c_str(), 0755) != 0)
            fail("mkdirat");
        const int next = openat(fd, segment.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        if (next < 0)
            fail("openat");
        fd = next;
        chain += "/" + segment;
    }
    const int f = openat(fd, "bottom.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (f < 0 || write(f, "deep", 4) != 4)
        fail("bottom.txt");
    close(f);
    close(fd);
    return chain;
}

WalkTotals independentWalk(const std::string &path)
{
    WalkTotals t;
    t.items = 1;
    t.dirs = 1;
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        ++t.unreadable;
    } else {
        WalkScope scope;
        walkFd(fd, t, scope, path);
    }
    return t;
}

std::vector<std::string> listingOrder(const std::string &path)
{
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    if (!d)
        return names;
    while (dirent *e = readdir(d))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
            names.emplace_back(e->d_name);
    closedir(d);
    return names;
}

std::optional<std::string> inUnprivilegedChild(const std::function<std::string()> &body)
{
    int fds[2];
    if (pipe(fds) != 0)
        return std::nullopt;
    const pid_t pid = fork();
    if (pid < 0)
        return std::nullopt;
    if (pid == 0) {
        close(fds[0]);
        const bool dropped = geteuid() != 0 ||
                             (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0);
        // First byte: whether privileges were dropped; then body's answer.
        std::string answer = dropped ? "1" + body() : "0";
        size_t done = 0;
        while (done < answer.size()) {
            const ssize_t n = write(fds[1], answer.data() + done, answer.size() - done);
            if (n <= 0)
                _exit(1);
            done += size_t(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string answer;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        answer.append(buffer, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || answer.empty())
        throw std::runtime_error("the unprivileged child did not report");
    if (answer[0] != '1')
        return std::nullopt;
    return answer.substr(1);
}

std::string nodePath(const bl_scan_result_t &r, const std::string &rootPath, int32_t i)
{
    std::string suffix;
    while (i > 0) {
        suffix = "/" + std::string(bl_node_name(&r, &r.nodes[i])) + suffix;
        i = r.nodes[i].parent_index;
    }
    return rootPath + suffix;
}

} // namespace bltest
