#include "local_file_system_provider.h"

#include "bl_scan_internal.h"

#include <QByteArray>
#include <QFile>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Closes a descriptor when the scope ends.
struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

// statx of name inside dirfd, without following a final symbolic link;
// mount receives the object's mount (bl::mountOf).
bool extractValues(int dirfd, const char *name, const QString &displayName, NodeResourceValues &out,
                   uint64_t *mount = nullptr)
{
    struct statx sx;
    if (statx(dirfd, name, AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT,
              STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_BLOCKS | STATX_NLINK | STATX_INO | STATX_MNT_ID |
                  STATX_MTIME,
              &sx) != 0)
        return false;
    out = NodeResourceValues{};
    if (mount)
        *mount = bl::mountOf(sx);
    out.name = displayName;
    if (sx.stx_mask & STATX_MTIME)
        out.modifiedAt = sx.stx_mtime.tv_sec;
    const mode_t type = sx.stx_mode & S_IFMT;
    out.isDirectory = type == S_IFDIR;
    out.isSpecial = type != S_IFDIR && type != S_IFREG;
    out.isPackage = out.isDirectory && bl_is_package_name(name);
    out.isHidden = name[0] == '.' && std::strcmp(name, ".") != 0; // "." stands for "/"
    out.isReadable = faccessat(dirfd, name, R_OK, AT_SYMLINK_NOFOLLOW) == 0 ||
                     (errno == EINVAL && faccessat(dirfd, name, R_OK, 0) == 0);
    if (type == S_IFREG) {
        // Linux has no forks: the totals are the data figures.
        const qint64 allocated = qint64(sx.stx_blocks) * 512;
        const qint64 logical = qint64(sx.stx_size);
        out.totalFileAllocatedSize = out.fileAllocatedSize = allocated;
        out.totalFileSize = out.fileSize = logical;
        out.file = {makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino};
        out.linkCount = (sx.stx_mask & STATX_NLINK) ? sx.stx_nlink : 1;
    }
    return true;
}

// Opens (O_PATH: no read permission needed) the directory that holds path's
// last component; name receives that component.
int openParent(const QByteArray &path, QByteArray &name)
{
    QByteArray p = path;
    while (p.size() > 1 && p.endsWith('/'))
        p.chop(1);
    const qsizetype slash = p.lastIndexOf('/');
    if (slash < 0) {
        name = p;
        return open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    name = p.mid(slash + 1);
    const QByteArray parent = slash == 0 ? QByteArray("/") : p.left(slash);
    if (name.isEmpty()) // the root directory itself
        name = ".";
    return bl::openDirectory(parent.constData(), true, O_PATH);
}

constexpr int kBelow = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;

} // namespace

LocalFileSystemProvider::~LocalFileSystemProvider()
{
    for (const OpenFolder &f : open_)
        close(f.fd);
}

int LocalFileSystemProvider::duplicateFolderOf(const FileUrl &url) const
{
    if (!url.folder())
        return -1;
    std::lock_guard lock(mutex_);
    for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
        if (it->folder == url.folder()) {
            const int fd = fcntl(it->fd, F_DUPFD_CLOEXEC, 0);
            // Kept longest while its children are being walked.
            OpenFolder hit = *it;
            open_.erase(std::next(it).base());
            open_.push_back(hit);
            return fd;
        }
    }
    return -1;
}

void LocalFileSystemProvider::closeKeptFolders() const
{
    std::lock_guard lock(mutex_);
    for (const OpenFolder &f : open_)
        close(f.fd);
    open_.clear();
}

NodeResourceValues LocalFileSystemProvider::resourceValues(const FileUrl &url) const
{
    QByteArray name = url.nativeLastPathComponent();
    Fd parent{duplicateFolderOf(url)};
    if (parent.fd < 0)
        parent.fd = openParent(url.nativePath(), name);
    NodeResourceValues values;
    if (parent.fd < 0 || !extractValues(parent.fd, name.constData(), url.lastPathComponent(), values))
        throw FileSystemError(errno, url.path());
    if (values.isDirectory && bl::boundaryKind(parent.fd, name.constData()) == BL_MARK_KERNEL_FS)
        values.boundary = NodeResourceValues::Boundary::kernelFileSystem;
    return values;
}

bool LocalFileSystemProvider::holdsCacheTag(const FileUrl &directory) const
{
    QByteArray name = directory.nativeLastPathComponent();
    Fd parent{duplicateFolderOf(directory)};
    if (parent.fd < 0)
        parent.fd = openParent(directory.nativePath(), name);
    return parent.fd >= 0 && bl::holdsCacheTag(parent.fd, name.constData());
}

QList<ChildEntry> LocalFileSystemProvider::childEntries(const FileUrl &directory) const
{
    const auto openListed = [&] {
        Fd parent{duplicateFolderOf(directory)};
        if (parent.fd >= 0)
            return openat(parent.fd, directory.nativeLastPathComponent().constData(), kBelow);
        return bl::openDirectory(directory.nativePath().constData(), !directory.folder(), O_RDONLY);
    };
    // Out of descriptors, the kept folders go first: they are only a shortcut.
    int fd = bl::openWaitingForDescriptors(openListed, [this] {
        closeKeptFolders();
        return true;
    });
    if (fd < 0)
        throw FileSystemError(errno, directory.path());
    // One descriptor while listing, so that listings on several threads
    // cannot hold each other up when descriptors run short.
    DIR *dir = fdopendir(fd);
    if (!dir) {
        const int error = errno;
        close(fd);
        throw FileSystemError(error, directory.path());
    }
    QList<ChildEntry> entries;
    const FileUrl::Folder folder = directory.asFolder();
    uint64_t ownMount = 0;
    {
        struct statx sx;
        if (statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &sx) == 0)
            ownMount = bl::mountOf(sx);
    }
    bool hasFolders = false;
    errno = 0;
    while (const dirent *e = readdir(dir)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
            continue;
        QByteArray raw;
        const QString name = displayTextOf(e->d_name, &raw);
        ChildEntry entry;
        uint64_t mount = 0;
        if (extractValues(fd, e->d_name, name, entry.values, &mount)) {
            if (ownMount && mount != ownMount)
                entry.values.boundary = bl::boundaryKind(fd, e->d_name) == BL_MARK_KERNEL_FS
                                            ? NodeResourceValues::Boundary::kernelFileSystem
                                            : NodeResourceValues::Boundary::otherFileSystem;
        } else if (errno == ENOENT) {
            errno = 0;
            continue; // gone since it was listed: neither there nor unreadable
        } else if (errno == EACCES || errno == ENOMEM) {
            // Listed but not searchable: the folder itself could not be
            // read, as ncdu has it; none of its entries is known.
            const int error = errno;
            closedir(dir);
            throw FileSystemError(error, directory.path());
        } else {
            // Kept with the kind the listing gave and no size.
            entry.values = NodeResourceValues{};
            entry.values.name = name;
            entry.values.isDirectory = e->d_type == DT_DIR;
            entry.values.isSpecial = e->d_type != DT_DIR && e->d_type != DT_REG;
            entry.values.hasMetadata = false;
        }
        hasFolders = hasFolders || entry.values.isDirectory;
        entry.url = FileUrl::child(folder, name, raw, entry.values.isDirectory);
        entries.append(std::move(entry));
        errno = 0;
    }
    const int readError = errno;
    if (readError) {
        closedir(dir);
        throw FileSystemError(readError, directory.path()); // a listing cut short is not a listing
    }
    // Kept for its children when a descriptor is to spare.
    const int kept = hasFolders ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    closedir(dir);
    if (kept < 0)
        return entries;
    fd = kept;
    std::lock_guard lock(mutex_);
    open_.push_back({folder, fd});
    if (open_.size() > kKeptDirectories) {
        close(open_.front().fd);
        open_.pop_front();
    }
    return entries;
}
