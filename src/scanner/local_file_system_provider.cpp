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

// statx of name inside dirfd, without following a final symbolic link.
bool extractValues(int dirfd, const char *name, const QString &displayName, NodeResourceValues &out)
{
    struct statx sx;
    if (statx(dirfd, name, AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC,
              STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_BLOCKS, &sx) != 0)
        return false;
    out = NodeResourceValues{};
    out.name = displayName;
    const mode_t type = sx.stx_mode & S_IFMT;
    out.isDirectory = type == S_IFDIR;
    out.isPackage = out.isDirectory && bl_is_package_name(name);
    out.isHidden = name[0] == '.';
    out.isReadable = faccessat(dirfd, name, R_OK, AT_SYMLINK_NOFOLLOW) == 0 ||
                     (errno == EINVAL && faccessat(dirfd, name, R_OK, 0) == 0);
    if (type == S_IFREG) {
        // Linux has no forks: the totals are the data figures.
        const qint64 allocated = qint64(sx.stx_blocks) * 512;
        const qint64 logical = qint64(sx.stx_size);
        out.totalFileAllocatedSize = out.fileAllocatedSize = allocated;
        out.totalFileSize = out.fileSize = logical;
    }
    return true;
}

// Opens the directory that holds path's last component; name receives it.
int openParent(const QByteArray &path, QByteArray &name)
{
    QByteArray p = path;
    while (p.size() > 1 && p.endsWith('/'))
        p.chop(1);
    const qsizetype slash = p.lastIndexOf('/');
    if (slash < 0) {
        name = p;
        return open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    name = p.mid(slash + 1);
    const QByteArray parent = slash == 0 ? QByteArray("/") : p.left(slash);
    if (name.isEmpty()) // the root directory itself
        name = ".";
    return bl::openDirectory(parent.constData(), true);
}

} // namespace

NodeResourceValues LocalFileSystemProvider::resourceValues(const FileUrl &url) const
{
    const QString path = url.rawPath();
    QByteArray name;
    Fd parent{openParent(QFile::encodeName(path), name)};
    NodeResourceValues values;
    if (parent.fd < 0 || !extractValues(parent.fd, name.constData(), url.lastPathComponent(), values))
        throw FileSystemError(errno, path);
    return values;
}

QList<ChildEntry> LocalFileSystemProvider::childEntries(const FileUrl &directory) const
{
    const QString path = directory.rawPath();
    const int fd = bl::openDirectory(QFile::encodeName(path).constData(), true);
    if (fd < 0)
        throw FileSystemError(errno, path);
    DIR *dir = fdopendir(fd);
    if (!dir) {
        const int error = errno;
        close(fd);
        throw FileSystemError(error, path);
    }
    QList<ChildEntry> entries;
    const FileUrl::Folder folder = directory.asFolder();
    while (const dirent *e = readdir(dir)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
            continue;
        const QString name = QFile::decodeName(e->d_name);
        ChildEntry entry;
        if (!extractValues(dirfd(dir), e->d_name, name, entry.values)) {
            // Kept, as an unreadable non-directory of unknown size.
            entry.values = NodeResourceValues{};
            entry.values.name = name;
        }
        entry.url = FileUrl::child(folder, name, entry.values.isDirectory);
        entries.append(std::move(entry));
    }
    closedir(dir);
    return entries;
}
