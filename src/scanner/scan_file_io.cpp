#include "scan_file_io.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
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

bool receiveScanFile(int descriptor, const QString &keptPath, const ScanFileReception &reception,
                     QString *error, bool *kept)
{
    QSaveFile copy(keptPath);
    bool keeping = !keptPath.isEmpty() && copy.open(QIODevice::WriteOnly);
    QString failure;
    qint64 received = 0, told = 0;
    QElapsedTimer sinceTold;
    sinceTold.start();
    const auto tell = [&] {
        if (received == told || !reception.progress)
            return;
        told = received;
        sinceTold.restart();
        reception.progress(received);
    };
    bool stopped = false;
    for (;;) {
        pollfd wait{descriptor, POLLIN, 0};
        const int ready = poll(&wait, 1, 200);
        if (reception.stopped && reception.stopped()) {
            stopped = true;
            failure = QStringLiteral("stopped");
            break;
        }
        if (ready == 0)
            tell(); // the sender pauses: say what came so far
        if (ready == 0 || (ready < 0 && errno == EINTR))
            continue;
        char chunk[1 << 16];
        const ssize_t got = ready < 0 ? -1 : read(descriptor, chunk, sizeof chunk);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got < 0) {
            failure = qt_error_string(errno);
            break;
        }
        if (got == 0)
            break;
        received += got;
        if (keeping && copy.write(chunk, got) != got)
            keeping = false;
        if (reception.sink && !reception.sink(QByteArrayView(chunk, got))) {
            failure = QStringLiteral("refused");
            break;
        }
        if (sinceTold.elapsed() >= 100)
            tell();
    }
    if (!stopped)
        tell();
    if (keeping && failure.isEmpty())
        keeping = copy.commit();
    else if (!keptPath.isEmpty())
        copy.cancelWriting();
    if (kept)
        *kept = keeping && failure.isEmpty();
    if (error)
        *error = failure;
    return failure.isEmpty();
}
