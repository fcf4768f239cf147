// Listing one directory: getdents64 for the names, one statx per entry for
// the facts, without following symbolic links.
#include "bl_scan_internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <linux/magic.h>
#include <cstddef>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <unistd.h>

const char *const bl_package_extensions[13] = {
    ".app", ".framework", ".bundle", ".plugin", ".kext", ".appex", ".xpc",
    ".qlgenerator", ".mdimporter", ".prefPane", ".component", ".saver", ".pkg"};

extern "C" int bl_is_package_name(const char *name)
{
    const size_t len = std::strlen(name);
    if (len < 4)
        return 0;
    for (const char *ext : bl_package_extensions) {
        const size_t elen = std::strlen(ext);
        if (len >= elen && strcasecmp(name + len - elen, ext) == 0)
            return 1;
    }
    return 0;
}

namespace bl {

int openDirectory(const char *path, bool followFinalSymlink, int extraFlags)
{
    const int flags = extraFlags | O_DIRECTORY | O_CLOEXEC | (followFinalSymlink ? 0 : O_NOFOLLOW);
    if (std::strlen(path) < PATH_MAX)
        return open(path, flags);

    // The kernel refuses paths of PATH_MAX bytes; walk them in pieces that
    // each end at a slash, the way a shell's cd would.
    char piece[PATH_MAX];
    int dirfd = AT_FDCWD;
    const char *rest = path;
    while (std::strlen(rest) >= PATH_MAX) {
        size_t cut = PATH_MAX - 1;
        while (cut > 0 && rest[cut] != '/')
            --cut;
        const size_t take = cut == 0 ? 1 : cut; // a leading "/" alone
        if (rest[cut] != '/') {
            if (dirfd != AT_FDCWD)
                close(dirfd);
            errno = ENAMETOOLONG; // one name longer than PATH_MAX
            return -1;
        }
        std::memcpy(piece, rest, take);
        piece[take] = '\0';
        const int next = openat(dirfd, piece, O_PATH | O_DIRECTORY | O_CLOEXEC);
        const int saved = errno;
        if (dirfd != AT_FDCWD)
            close(dirfd);
        if (next < 0) {
            errno = saved;
            return -1;
        }
        dirfd = next;
        rest += cut;
        while (*rest == '/')
            ++rest;
    }
    const int fd = openat(dirfd, *rest ? rest : ".", flags);
    const int saved = errno;
    close(dirfd);
    errno = saved;
    return fd;
}

uint64_t mountOf(const struct statx &sx)
{
    if (sx.stx_mask & STATX_MNT_ID)
        return sx.stx_mnt_id;
    return makedev(sx.stx_dev_major, sx.stx_dev_minor) | kMountIsDevice;
}

bool isKernelFileSystem(long type)
{
    switch (static_cast<unsigned long>(type) & 0xffffffffUL) {
    case PROC_SUPER_MAGIC: case SYSFS_MAGIC: case DEVPTS_SUPER_MAGIC:
    case CGROUP_SUPER_MAGIC: case CGROUP2_SUPER_MAGIC: case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC: case SECURITYFS_MAGIC: case PSTOREFS_MAGIC: case BPF_FS_MAGIC:
    case 0x62656570UL: // configfs
    case 0x65735543UL: // fusectl
    case 0x19800202UL: // mqueue
    case BINFMTFS_MAGIC: case EFIVARFS_MAGIC: case SELINUX_MAGIC: case AUTOFS_SUPER_MAGIC:
        return true;
    default:
        return false;
    }
}

int boundaryKind(int dirfd, const char *name)
{
    const int fd = openat(dirfd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct statfs fs;
    const bool known = fd >= 0 && fstatfs(fd, &fs) == 0;
    if (fd >= 0)
        close(fd);
    return known && isKernelFileSystem(long(fs.f_type)) ? BL_MARK_KERNEL_FS : BL_MARK_OTHER_FS;
}

namespace {

struct LinuxDirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

// Walks the entries of an open directory, "." and ".." left out. A read
// error ends the listing like the end does, and is kept in error().
class DirentReader {
public:
    DirentReader(int fd, char *buffer) : fd_(fd), buffer_(buffer) {}

    bool next(const char *&name, unsigned char &type)
    {
        for (;;) {
            while (offset_ >= length_) {
                if (exhausted_)
                    return false;
                const long n = syscall(SYS_getdents64, fd_, buffer_, kListingBufferBytes);
                if (n <= 0) {
                    if (n < 0)
                        error_ = errno;
                    exhausted_ = true;
                    return false;
                }
                length_ = n;
                offset_ = 0;
            }
            const auto *d = reinterpret_cast<const LinuxDirent64 *>(buffer_ + offset_);
            offset_ += d->d_reclen;
            const char *nm = d->d_name;
            if (nm[0] == '.' && (nm[1] == '\0' || (nm[1] == '.' && nm[2] == '\0')))
                continue;
            name = nm;
            type = d->d_type;
            return true;
        }
    }

    int error() const { return error_; }

private:
    int fd_;
    char *buffer_;
    long length_ = 0;
    long offset_ = 0;
    bool exhausted_ = false;
    int error_ = 0;
};

uint8_t kindFromMode(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG: return BL_OBJ_FILE;
    case S_IFDIR: return BL_OBJ_DIRECTORY;
    case S_IFLNK: return BL_OBJ_SYMLINK;
    default: return BL_OBJ_OTHER;
    }
}

uint8_t kindFromDirentType(unsigned char type)
{
    switch (type) {
    case DT_REG: return BL_OBJ_FILE;
    case DT_DIR: return BL_OBJ_DIRECTORY;
    case DT_LNK: return BL_OBJ_SYMLINK;
    default: return BL_OBJ_OTHER;
    }
}

// 0 when filled, 1 when the entry vanished between the listing and its
// statx, or the errno that makes the whole folder unreadable: without
// search permission no entry can be examined (ncdu marks the folder), and
// without memory the scan cannot go on.
int fillEntry(int fd, const char *name, unsigned char direntType, Listing &out)
{
    struct statx sx;
    // No automount: an autofs mount point is reported, not mounted.
    const bool statted = statx(fd, name, AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT,
                               STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_BLOCKS | STATX_NLINK | STATX_INO |
                                   STATX_MNT_ID | STATX_MTIME,
                               &sx) == 0;
    if (!statted && errno == ENOENT)
        return 1;
    if (!statted && (errno == EACCES || errno == ENOMEM))
        return errno;
    EntryFacts facts{};
    ListedEntry entry;
    if (statted) {
        facts.mount = bl::mountOf(sx);
        facts.file = {makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino};
        facts.links = (sx.stx_mask & STATX_NLINK) ? sx.stx_nlink : 1;
    }
    const size_t len = strnlen(name, 255);
    entry.name_offset = uint32_t(out.names.size());
    entry.name_length = uint8_t(len);
    out.names.append(name, len);
    out.names.push_back('\0');
    entry.is_hidden = 0; // Linux has no hidden flag; a leading dot is not one
    if (statted && (sx.stx_mask & STATX_TYPE)) {
        entry.obj_type = kindFromMode(sx.stx_mode);
        entry.is_readable = (sx.stx_mode & S_IRUSR) ? 1 : 0;
        if (sx.stx_mask & STATX_MTIME)
            entry.modified_time = sx.stx_mtime.tv_sec;
        if (entry.obj_type == BL_OBJ_FILE) {
            if (sx.stx_mask & STATX_BLOCKS)
                entry.allocated_size = sx.stx_blocks * 512;
            if (sx.stx_mask & STATX_SIZE)
                entry.logical_size = sx.stx_size;
        }
    } else {
        // Not examined for another reason: the entry is shown with the kind
        // the listing gave and no size.
        entry.obj_type = kindFromDirentType(direntType);
        entry.is_readable = 0;
    }
    entry.is_package =
        entry.obj_type == BL_OBJ_DIRECTORY && bl_is_package_name(out.names.data() + entry.name_offset) ? 1 : 0;
    out.entries.push_back(entry);
    out.facts.push_back(facts);
    return 0;
}

} // namespace

void listOpenDirectory(int fd, char *buffer, Listing &out, int *read_error)
{
    out.clear();
    *read_error = 0;
    DirentReader reader(fd, buffer);
    const char *name;
    unsigned char type;
    while (reader.next(name, type)) {
        const int filled = fillEntry(fd, name, type, out);
        if (filled != 0 && filled != 1) {
            out.clear();
            *read_error = filled;
            return;
        }
    }
    *read_error = reader.error();
}

} // namespace bl

extern "C" int bl_list_directory(const char *path, bl_dir_entry_t *entries, int32_t capacity,
                                 int32_t *out_count)
{
    if (!out_count)
        return -1;
    *out_count = 0;
    if (!path || (capacity > 0 && !entries) || capacity < 0)
        return -1;
    const int fd = bl::openDirectory(path, true);
    if (fd < 0)
        return -1;
    char *buffer = static_cast<char *>(std::malloc(bl::kListingBufferBytes));
    int status = -1;
    if (buffer) {
        try {
            bl::Listing listing;
            int error = 0;
            bl::listOpenDirectory(fd, buffer, listing, &error);
            const int32_t n = int32_t(std::min<size_t>(listing.size(), size_t(capacity)));
            for (int32_t i = 0; i < n; ++i) {
                const bl::ListedEntry &e = listing.entries[size_t(i)];
                bl_dir_entry_t &to = entries[i];
                std::memcpy(to.name, listing.name(size_t(i)), size_t(e.name_length) + 1);
                to.allocated_size = e.allocated_size;
                to.logical_size = e.logical_size;
                to.modified_time = e.modified_time;
                to.obj_type = e.obj_type;
                to.is_hidden = e.is_hidden;
                to.is_package = e.is_package;
                to.is_readable = e.is_readable;
            }
            *out_count = n;
            status = listing.size() > size_t(capacity) ? 1 : 0;
        } catch (const std::bad_alloc &) {
        }
        std::free(buffer);
    }
    close(fd);
    return status;
}
