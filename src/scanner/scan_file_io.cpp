#include "scan_file_io.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <QSaveFile>
#include <QUuid>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Writes to a descriptor, every byte checked, errors in the system's words.
class DescriptorDevice : public QIODevice {
public:
    // early: the file is to be synced at the end, so the disk is handed
    // what was written as it goes rather than all of it then.
    explicit DescriptorDevice(int fd, bool early = false) : fd_(fd), early_(early)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        qint64 done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd_, data + done, size_t(size - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                setErrorString(qt_error_string(n < 0 ? errno : ENOSPC));
                return -1;
            }
            done += n;
        }
        written_ += done;
        constexpr qint64 kHandOver = 8 << 20;
        if (early_ && written_ - handedOver_ >= kHandOver) {
            sync_file_range(fd_, handedOver_, written_ - handedOver_, SYNC_FILE_RANGE_WRITE);
            handedOver_ = written_;
        }
        return done;
    }

private:
    int fd_;
    bool early_;
    qint64 written_ = 0, handedOver_ = 0;
};

// Where a path leads: the regular file to replace, or nothing when the
// bytes go into what is there (a device, a FIFO, standard output through
// /proc or /dev/stdout).
std::optional<QByteArray> replaceablePath(QByteArray path)
{
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st;
        if (lstat(path.constData(), &st) != 0)
            return path; // a new name
        if (S_ISREG(st.st_mode))
            return path;
        if (!S_ISLNK(st.st_mode))
            return std::nullopt;
        char target[4096];
        const ssize_t n = readlink(path.constData(), target, sizeof target - 1);
        if (n <= 0)
            return std::nullopt;
        QByteArray next(target, n);
        if (!next.startsWith('/'))
            next = path.left(path.lastIndexOf('/') + 1) + next;
        if (next.startsWith("/proc/"))
            return std::nullopt; // a descriptor of this process: written as it is
        path = next;
    }
    return std::nullopt;
}

bool writeInto(const ScanTree &tree, const ScanSummary &summary, int fd, QString *why, bool synced = false)
{
    DescriptorDevice out(fd, synced);
    return writeScanFile(tree, summary, out, why);
}

} // namespace

bool exportScanFile(const ScanTree &tree, const ScanSummary &summary, int descriptor, QString *error)
{
    QString why;
    const bool written = writeInto(tree, summary, descriptor, &why);
    if (error)
        *error = why;
    return written;
}

bool saveScanFile(const ScanTree &tree, const ScanSummary &summary, const QString &path, QString *error)
{
    QString why;
    const QByteArray given = QFile::encodeName(path);
    const std::optional<QByteArray> replaced = replaceablePath(given);
    if (!replaced) {
        // Into what is there, never over it: /dev/null stays a device.
        const int fd = ::open(given.constData(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            why = qt_error_string(errno);
        } else {
            const bool written = writeInto(tree, summary, fd, &why);
            if (::close(fd) != 0 && written && errno != EINTR)
                why = qt_error_string(errno);
        }
    } else {
        // Beside the target, then renamed over it: a failure leaves what was there.
        const QByteArray &target = *replaced;
        const QByteArray temporary =
            target.left(target.lastIndexOf('/') + 1) + '.' + target.mid(target.lastIndexOf('/') + 1) + '.' +
            QUuid::createUuid().toByteArray(QUuid::Id128).left(12);
        // Made as any new file is (the umask applies); a replaced one keeps its mode.
        const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            why = qt_error_string(errno);
        } else {
            struct stat st;
            if (::stat(target.constData(), &st) == 0)
                fchmod(fd, st.st_mode & 07777);
            if (writeInto(tree, summary, fd, &why, true) && (fsync(fd) != 0 && errno != EINVAL))
                why = qt_error_string(errno);
            if (::close(fd) != 0 && why.isEmpty() && errno != EINTR)
                why = qt_error_string(errno);
            if (why.isEmpty() && ::rename(temporary.constData(), target.constData()) != 0)
                why = qt_error_string(errno);
            if (!why.isEmpty())
                ::unlink(temporary.constData());
        }
    }
    if (error)
        *error = why;
    return why.isEmpty();
}

namespace {

// A file read as the parser goes, never mapped or read whole: only the
// tree the entries make stays resident, not the file's pages beside it.
class FileSource : public ScanFileSource {
public:
    explicit FileSource(QFile &file) : file_(file)
    {
        if (QFileInfo(file).isFile())
            size_ = file.size();
    }
    qsizetype read(char *buffer, qsizetype max, QString *error) override
    {
        const qint64 got = file_.read(buffer, max);
        if (got < 0)
            *error = file_.errorString();
        return qsizetype(got);
    }
    qint64 size() const override { return size_; }

private:
    QFile &file_;
    qint64 size_ = 0;
};

} // namespace

std::optional<ScanFileContents> loadScanFile(const QString &path, QString *error)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (error)
            *error = in.errorString();
        return std::nullopt;
    }
    FileSource source(in);
    return readScanFile(source, error);
}

namespace {

// A descriptor read as it comes, each byte also written to the kept copy.
class DescriptorSource : public ScanFileSource {
public:
    DescriptorSource(int descriptor, const QString &keptPath, const ScanFileReception &reception)
        : descriptor_(descriptor), copy_(keptPath), reception_(reception)
    {
        keeping_ = !keptPath.isEmpty() && copy_.open(QIODevice::WriteOnly);
        sinceTold_.start();
    }
    ~DescriptorSource() override
    {
        if (keeping_)
            copy_.cancelWriting();
    }

    qsizetype read(char *buffer, qsizetype max, QString *error) override
    {
        for (;;) {
            pollfd wait{descriptor_, POLLIN, 0};
            const int ready = poll(&wait, 1, 200);
            if (reception_.stopped && reception_.stopped()) {
                *error = QStringLiteral("stopped");
                return -1;
            }
            if (ready == 0)
                tell(); // the sender pauses: say what came so far
            if (ready == 0 || (ready < 0 && errno == EINTR))
                continue;
            const ssize_t got = ready < 0 ? -1 : ::read(descriptor_, buffer, size_t(max));
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got < 0) {
                *error = qt_error_string(errno);
                return -1;
            }
            received_ += got;
            if (keeping_ && copy_.write(buffer, got) != got) {
                copy_.cancelWriting();
                keeping_ = false;
            }
            if (got == 0 || sinceTold_.elapsed() >= 100)
                tell();
            return qsizetype(got);
        }
    }

    // The copy, once everything arrived and was found good.
    bool keep()
    {
        const bool kept = keeping_ && copy_.commit();
        keeping_ = false;
        return kept;
    }

private:
    void tell()
    {
        if (received_ == told_ || !reception_.progress)
            return;
        told_ = received_;
        sinceTold_.restart();
        reception_.progress(received_);
    }

    int descriptor_;
    QSaveFile copy_;
    bool keeping_ = false;
    const ScanFileReception &reception_;
    qint64 received_ = 0, told_ = 0;
    QElapsedTimer sinceTold_;
};

} // namespace

std::optional<ScanFileContents> receiveScanFile(int descriptor, const QString &keptPath,
                                                const ScanFileReception &reception, QString *error, bool *kept)
{
    DescriptorSource source(descriptor, keptPath, reception);
    std::optional<ScanFileContents> contents = readScanFile(source, error);
    const bool copied = contents && source.keep();
    if (kept)
        *kept = copied;
    return contents;
}

bool keepScanFile(int descriptor, const QString &keptPath, QString *error)
{
    const ScanFileReception quiet;
    DescriptorSource source(descriptor, keptPath, quiet);
    // The first bytes tell a scan file from anything else before the rest
    // is read: looked at once eight bytes past any white space are in.
    constexpr qsizetype kHead = 64 * 1024;
    QByteArray head;
    bool checked = false;
    const auto check = [&] {
        checked = true;
        *error = scanFileStartProblem(head);
        return error->isEmpty();
    };
    char chunk[1 << 16];
    for (;;) {
        const qsizetype got = source.read(chunk, sizeof chunk, error);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        if (checked)
            continue;
        head.append(chunk, std::min<qsizetype>(got, kHead - head.size()));
        const qsizetype blank = head.size() - QByteArrayView(head).trimmed().size();
        if ((head.size() - blank >= 8 || head.size() == kHead) && !check())
            return false;
    }
    if (!checked && !check())
        return false;
    if (!source.keep()) {
        *error = QStringLiteral("it could not be kept in %1").arg(keptPath);
        return false;
    }
    return true;
}
