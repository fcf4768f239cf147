#include "scan_file_io.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <QSaveFile>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

bool saveScanFile(const ScanTree &tree, const ScanSummary &summary, const QString &path, QString *error)
{
    QString why;
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        why = out.errorString();
    else if (!writeScanFile(tree, summary, out, &why))
        out.cancelWriting();
    else if (!out.commit())
        why = out.errorString();
    if (why.isEmpty() && !QFile::exists(path))
        why = QStringLiteral("the file was not written");
    if (error)
        *error = why;
    return why.isEmpty();
}

std::optional<ScanFileContents> loadScanFile(const QString &path, QString *error)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly)) {
        if (error)
            *error = in.errorString();
        return std::nullopt;
    }
    if (QFileInfo(in).isFile() && in.size() > 0) {
        if (const uchar *at = in.map(0, in.size()))
            return readScanFile(QByteArrayView(reinterpret_cast<const char *>(at), in.size()), error);
    }
    const QByteArray data = in.readAll();
    if (in.error() != QFileDevice::NoError) {
        if (error)
            *error = in.errorString();
        return std::nullopt;
    }
    return readScanFile(data, error);
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
