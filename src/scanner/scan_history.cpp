#include "scan_history.h"

#include <QCryptographicHash>
#include <QDir>
#include <QSaveFile>
#include <QStandardPaths>
#include <algorithm>
#include <zstd.h>

namespace {

const char *const kTimeFormat = "yyyyMMdd'T'HHmmsszzz'Z'";

// The part of a scan's file name that says whose it is.
QString folderKey(const FileUrl &root)
{
    return QString::fromLatin1(QCryptographicHash::hash(root.nativePath(), QCryptographicHash::Sha256).toHex().left(20));
}

// Compresses what is written into a file saved whole or not at all.
class ZstdFile : public QIODevice {
public:
    explicit ZstdFile(const QString &path) : out_(path), buffer_(ZSTD_CStreamOutSize(), '\0')
    {
        ZSTD_CCtx_setParameter(stream_, ZSTD_c_compressionLevel, 3);
    }
    ~ZstdFile() override { ZSTD_freeCCtx(stream_); }
    bool open(OpenMode mode) override { return out_.open(QIODevice::WriteOnly) && QIODevice::open(mode); }
    // Ends the frame and puts the file in place.
    bool finish()
    {
        return pump(nullptr, 0, ZSTD_e_end) && out_.commit();
    }
    QString why() const { return error_.isEmpty() ? out_.errorString() : error_; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override { return pump(data, size, ZSTD_e_continue) ? size : -1; }

private:
    bool pump(const char *data, qint64 size, ZSTD_EndDirective mode)
    {
        ZSTD_inBuffer in{data, size_t(size), 0};
        for (;;) {
            ZSTD_outBuffer out{buffer_.data(), size_t(buffer_.size()), 0};
            const size_t left = ZSTD_compressStream2(stream_, &out, &in, mode);
            if (ZSTD_isError(left)) {
                error_ = QString::fromUtf8(ZSTD_getErrorName(left));
                return false;
            }
            if (out.pos > 0 && out_.write(buffer_.constData(), qint64(out.pos)) != qint64(out.pos))
                return false;
            if (mode == ZSTD_e_end ? left == 0 : in.pos == in.size)
                return true;
        }
    }

    QSaveFile out_;
    QByteArray buffer_;
    ZSTD_CCtx *stream_ = ZSTD_createCCtx();
    QString error_;
};

struct Named {
    QString file;
    QString key;
    QDateTime time;
    qint64 bytes;
};

QList<Named> allScans(const QString &dir)
{
    QList<Named> out;
    for (const QFileInfo &f : QDir(dir).entryInfoList({QStringLiteral("scan-*.json.zst")}, QDir::Files)) {
        // scan-KEY-TIME.json.zst
        const QStringList parts = f.fileName().chopped(9).split(u'-');
        if (parts.size() != 3)
            continue;
        QDateTime time = QDateTime::fromString(parts[2], QString::fromLatin1(kTimeFormat));
        time.setTimeSpec(Qt::UTC);
        if (time.isValid())
            out.append({f.filePath(), parts[1], time, f.size()});
    }
    std::sort(out.begin(), out.end(), [](const Named &a, const Named &b) { return a.time > b.time; });
    return out;
}

} // namespace

ScanHistory::ScanHistory(QString dir) : dir_(dir.isEmpty() ? defaultFolder() : std::move(dir)) {}

QString ScanHistory::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/burrowlens/scans");
}

bool ScanHistory::save(const ScanTree &tree, const ScanSummary &summary, QString *error, QString *saved)
{
    const std::optional<ScanNodeRecord> root = tree.rootNode();
    if (!root) {
        if (error)
            *error = QStringLiteral("the scan is empty");
        return false;
    }
    if (!QDir().mkpath(dir_)) {
        if (error)
            *error = QStringLiteral("could not make the folder %1").arg(dir_);
        return false;
    }
    const QDateTime when = (summary.finishedAt.isValid() ? summary.finishedAt : QDateTime::currentDateTimeUtc()).toUTC();
    const QString path = QStringLiteral("%1/scan-%2-%3.json.zst")
                             .arg(dir_, folderKey(root->url), when.toString(QString::fromLatin1(kTimeFormat)));
    ZstdFile file(path);
    QString why;
    if (!file.open(QIODevice::WriteOnly) || !writeScanFile(tree, summary, file, &why) || !file.finish()) {
        if (error)
            *error = why.isEmpty() ? file.why() : why;
        return false;
    }
    if (saved)
        *saved = path;
    applyLimits(perFolder, totalBytes);
    return true;
}

QList<ScanHistoryEntry> ScanHistory::scansOf(const FileUrl &root) const
{
    const QString key = folderKey(root);
    QList<ScanHistoryEntry> out;
    for (const Named &n : allScans(dir_))
        if (n.key == key)
            out.append({n.file, n.time, n.bytes});
    return out;
}

void ScanHistory::applyLimits(int folderLimit, qint64 byteLimit) const
{
    QHash<QString, int> kept;
    qint64 bytes = 0;
    for (const Named &n : allScans(dir_)) { // newest first
        const int count = ++kept[n.key];
        bytes += n.bytes;
        if (count > folderLimit || bytes > byteLimit) {
            QFile::remove(n.file);
            bytes -= n.bytes;
        }
    }
}

int ScanHistory::clear() const
{
    int removed = 0;
    for (const Named &n : allScans(dir_))
        removed += QFile::remove(n.file);
    return removed;
}
