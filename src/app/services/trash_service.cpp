#include "trash_service.h"

#include "background_work.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QStandardPaths>
#include <QThreadPool>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <vector>

namespace {

QString gone()
{
    return QStringLiteral("It is no longer the item that was scanned.");
}

// Closes a descriptor when the scope ends.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int release()
    {
        const int f = fd;
        fd = -1;
        return f;
    }
};

// What the scan recorded, against what is there now.
bool matchesScan(const TrashTarget &t, const struct stat &st)
{
    if (t.item && !(FileIdentity{st.st_dev, st.st_ino} == *t.item))
        return false;
    if (t.isSpecial)
        return !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
    switch (t.kind) {
    case ScanNodeKind::directory:
    case ScanNodeKind::package: return S_ISDIR(st.st_mode);
    case ScanNodeKind::file: return S_ISREG(st.st_mode) && st.st_size == t.logicalSize;
    }
    return false;
}

// A folder below dir that is a folder of this user's, made 0700 when it is
// missing; -1 (errno set) when it is something else.
int privateFolderBelow(int dir, const char *name, bool create)
{
    if (create && mkdirat(dir, name, 0700) != 0 && errno != EEXIST)
        return -1;
    struct stat st;
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
        errno = ENOTDIR;
        return -1;
    }
    return openat(dir, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

struct TrashFolder {
    Fd files, info;
};

// files/ and info/ of the trash folder trash, made where missing.
bool openTrash(int trash, TrashFolder &into)
{
    into.files.fd = privateFolderBelow(trash, "files", true);
    into.info.fd = privateFolderBelow(trash, "info", true);
    return into.files.fd >= 0 && into.info.fd >= 0;
}

// The mount point and file system type of the mount that holds dir.
bool mountOf(int dir, QByteArray &point, QByteArray &type)
{
    struct statx sx;
    if (statx(dir, "", AT_EMPTY_PATH, STATX_MNT_ID, &sx) != 0 || !(sx.stx_mask & STATX_MNT_ID))
        return false;
    QFile info(QStringLiteral("/proc/self/mountinfo"));
    if (!info.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : info.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype dash = fields.indexOf("-");
        if (fields.size() < 5 || dash < 0 || dash + 1 >= fields.size() || fields[0].toULongLong() != sx.stx_mnt_id)
            continue;
        point = fields[4];
        for (const char *escape : {"\\040", "\\011", "\\012", "\\134"}) // as mountinfo writes them
            point.replace(escape, QByteArray(1, char(QByteArray(escape + 1).toInt(nullptr, 8))));
        type = fields[dash + 1];
        return true;
    }
    return false;
}

// The trash of the file system on device, whose item sits in parent: the
// user's own when it is on that file system, else the one at the top of
// the mount (.Trash/UID or .Trash-UID, made unless the file system lives
// in memory). Nothing, with which file system it was in *where, when there
// is none.
bool findTrash(dev_t device, int parent, TrashFolder &into, QString *where)
{
    const QByteArray home = QFile::encodeName(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    struct stat st;
    if (!home.isEmpty() && ::stat(home.constData(), &st) == 0 && st.st_dev == device) {
        Fd data(::open(home.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        Fd trash(data.fd >= 0 ? privateFolderBelow(data.fd, "Trash", true) : -1);
        if (trash.fd >= 0 && fstat(trash.fd, &st) == 0 && st.st_dev == device && openTrash(trash.fd, into))
            return true;
    }
    QByteArray point, type;
    if (!mountOf(parent, point, type)) {
        *where = QStringLiteral("its file system");
        return false;
    }
    *where = QStringLiteral("%1 (%2)").arg(QFile::decodeName(point), QString::fromLatin1(type));
    Fd top(::open(point.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (top.fd < 0 || fstat(top.fd, &st) != 0 || st.st_dev != device)
        return false;
    const QByteArray uid = QByteArray::number(geteuid());
    // An administrator's .Trash: a folder, not a link, with the sticky bit.
    if (fstatat(top.fd, ".Trash", &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
        Fd shared(openat(top.fd, ".Trash", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        Fd own(shared.fd >= 0 ? privateFolderBelow(shared.fd, uid.constData(), true) : -1);
        if (own.fd >= 0 && openTrash(own.fd, into))
            return true;
    }
    // A trash in memory is gone at the next start: moving there would be a
    // deletion that looks undoable.
    const bool inMemory = type == "tmpfs" || type == "ramfs";
    const QByteArray name = ".Trash-" + uid;
    Fd own(privateFolderBelow(top.fd, name.constData(), !inMemory));
    return own.fd >= 0 && openTrash(own.fd, into);
}

QByteArray trashInfo(const QByteArray &path)
{
    return "[Trash Info]\nPath=" + path.toPercentEncoding("/") + "\nDeletionDate=" +
           QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")).toLatin1() + '\n';
}

TrashOutcome failed(const QString &why)
{
    return {TrashOutcome::Kind::failed, why};
}

TrashOutcome move(const TrashTarget &target)
{
    int checked = -1;
    struct stat found;
    if (const std::optional<QString> why = TrashService::check(target, &checked, &found))
        return failed(*why);
    Fd parent(checked);
    const QByteArray name = target.url.nativeLastPathComponent();
    TrashFolder trash;
    QString where;
    if (!findTrash(found.st_dev, parent.fd, trash, &where))
        return {TrashOutcome::Kind::noTrash, where};
    // A name of its own in the trash: the first that is free in both folders.
    QByteArray stored;
    Fd info;
    for (int n = 1; n < 10000 && info.fd < 0; ++n) {
        stored = n == 1 ? name : name + '.' + QByteArray::number(n);
        struct stat there;
        if (fstatat(trash.files.fd, stored.constData(), &there, AT_SYMLINK_NOFOLLOW) == 0)
            continue;
        info.fd = openat(trash.info.fd, (stored + ".trashinfo").constData(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (info.fd < 0 && errno != EEXIST)
            return failed(qt_error_string(errno));
    }
    if (info.fd < 0)
        return failed(QStringLiteral("The Trash holds too many items of that name."));
    const QByteArray record = trashInfo(target.url.nativeFilePath());
    const auto forget = [&] { unlinkat(trash.info.fd, (stored + ".trashinfo").constData(), 0); };
    if (::write(info.fd, record.constData(), size_t(record.size())) != record.size() || ::close(info.release()) != 0) {
        const int error = errno;
        forget();
        return failed(qt_error_string(error ? error : ENOSPC));
    }
    // From the folder that was checked, by its descriptor.
    if (renameat2(parent.fd, name.constData(), trash.files.fd, stored.constData(), RENAME_NOREPLACE) != 0) {
        const int error = errno;
        forget();
        return failed(qt_error_string(error));
    }
    // The name may have been taken by another object between the check and
    // the move: then it goes back.
    struct stat moved;
    if (fstatat(trash.files.fd, stored.constData(), &moved, AT_SYMLINK_NOFOLLOW) != 0 || moved.st_dev != found.st_dev ||
        moved.st_ino != found.st_ino) {
        if (renameat2(trash.files.fd, stored.constData(), parent.fd, name.constData(), RENAME_NOREPLACE) == 0)
            forget();
        return failed(gone());
    }
    return {};
}

// Removes everything below the open folder top (a descriptor it takes),
// never following a link; keeps the first reason something could not go.
void emptyFolder(int top, QString &reason)
{
    struct Level {
        DIR *dir;
        QByteArray name;     // in the level above
        bool removed = false; // in this pass over the listing
    };
    std::vector<Level> stack;
    if (DIR *d = fdopendir(top))
        stack.push_back({d, {}});
    else
        ::close(top);
    const auto note = [&](int error) {
        if (reason.isEmpty())
            reason = qt_error_string(error);
    };
    while (!stack.empty()) {
        Level &level = stack.back();
        const int fd = dirfd(level.dir);
        errno = 0;
        const dirent *e = readdir(level.dir);
        if (!e) {
            // Entries removed while listing may hide others: once more, until
            // a pass removes nothing.
            if (level.removed) {
                level.removed = false;
                rewinddir(level.dir);
                continue;
            }
            const QByteArray name = level.name;
            closedir(level.dir);
            stack.pop_back();
            if (stack.empty())
                continue;
            if (unlinkat(dirfd(stack.back().dir), name.constData(), AT_REMOVEDIR) == 0)
                stack.back().removed = true;
            else
                note(errno);
            continue;
        }
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
            continue;
        if (unlinkat(fd, e->d_name, 0) == 0) {
            level.removed = true;
            continue;
        }
        if (errno != EISDIR && errno != EPERM) { // EPERM: what unlink says of a folder
            note(errno);
            continue;
        }
        const int sub = openat(fd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR *d = sub >= 0 ? fdopendir(sub) : nullptr;
        if (!d) {
            note(errno);
            if (sub >= 0)
                ::close(sub);
            continue;
        }
        stack.push_back({d, QByteArray(e->d_name)});
    }
}

// How many objects are left below name in dir, none followed through a link.
qint64 remaining(int dir, const char *name)
{
    qint64 count = 0;
    std::vector<DIR *> stack;
    const int top = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (DIR *d = top >= 0 ? fdopendir(top) : nullptr)
        stack.push_back(d);
    else if (top >= 0)
        ::close(top);
    while (!stack.empty()) {
        const dirent *e = readdir(stack.back());
        if (!e) {
            closedir(stack.back());
            stack.pop_back();
            continue;
        }
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
            continue;
        ++count;
        const int sub = openat(dirfd(stack.back()), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (DIR *d = sub >= 0 ? fdopendir(sub) : nullptr)
            stack.push_back(d);
        else if (sub >= 0)
            ::close(sub);
    }
    return count;
}

TrashOutcome remove(const TrashTarget &target)
{
    int checked = -1;
    struct stat found;
    if (const std::optional<QString> why = TrashService::check(target, &checked, &found))
        return failed(*why);
    Fd parent(checked);
    const QByteArray name = target.url.nativeLastPathComponent();
    if (!S_ISDIR(found.st_mode)) {
        if (unlinkat(parent.fd, name.constData(), 0) != 0)
            return failed(qt_error_string(errno));
        return {};
    }
    const int top = openat(parent.fd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat opened;
    if (top < 0 || fstat(top, &opened) != 0 || opened.st_ino != found.st_ino || opened.st_dev != found.st_dev) {
        if (top >= 0)
            ::close(top);
        return failed(gone());
    }
    QString reason;
    emptyFolder(top, reason);
    if (unlinkat(parent.fd, name.constData(), AT_REMOVEDIR) == 0)
        return {};
    const qint64 left = remaining(parent.fd, name.constData());
    if (left == 0)
        return failed(qt_error_string(errno));
    return failed(QStringLiteral("%1 %2 could not be deleted (%3); what is left is still in %4.")
                          .arg(left)
                          .arg(left == 1 ? QStringLiteral("item") : QStringLiteral("items"), reason,
                               target.url.path()));
}

void runOff(const TrashTarget &target, TrashService::Completion done, TrashOutcome (*act)(const TrashTarget &))
{
    backgroundPool().start([target, done = std::move(done), act]() mutable {
        const TrashOutcome outcome = act(target);
        QMetaObject::invokeMethod(QCoreApplication::instance(),
                                  [done = std::move(done), outcome] { done(outcome); }, Qt::QueuedConnection);
    });
}

} // namespace

std::optional<QString> TrashService::check(const TrashTarget &target, int *parentOut, struct stat *found)
{
    const QByteArray rootPath = target.rootURL.nativePath();
    const QByteArray path = target.url.nativePath();
    const QByteArray prefix = rootPath.endsWith('/') ? rootPath : rootPath + '/';
    if (!path.startsWith(prefix) || path.size() == prefix.size())
        return gone();
    // The root is reached as it was at scan time, links and all.
    Fd folder(::open(rootPath.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd < 0)
        return qt_error_string(errno);
    struct stat st;
    if (target.root && (::fstat(folder.fd, &st) != 0 || !(FileIdentity{st.st_dev, st.st_ino} == *target.root)))
        return gone();
    // Below it the scan entered no link, so neither does the check.
    const QList<QByteArray> names = path.mid(prefix.size()).split('/');
    for (qsizetype i = 0; i + 1 < names.size(); ++i) {
        const int next = ::openat(folder.fd, names[i].constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            return errno == ENOTDIR || errno == ELOOP ? gone() : qt_error_string(errno);
        Fd old(folder.release());
        folder.fd = next;
    }
    if (::fstatat(folder.fd, names.last().constData(), found, AT_SYMLINK_NOFOLLOW) != 0)
        return qt_error_string(errno);
    if (!matchesScan(target, *found))
        return gone();
    *parentOut = folder.release();
    return std::nullopt;
}

void TrashService::moveToTrash(const TrashTarget &target, Completion done) const
{
    runOff(target, std::move(done), move);
}

void TrashService::deletePermanently(const TrashTarget &target, Completion done) const
{
    runOff(target, std::move(done), remove);
}
