// Scan files: a finished tree written out and read back in the JSON export
// that ncdu and gdu write and read, so that a scan made on one machine can
// be looked at on another or opened again later.
#pragma once

#include "scan_update.h"

#include <QIODevice>
#include <QString>

// Writes tree as an export to out, walking the tree once without copying
// it. False, with why in *error, when out refuses the bytes.
bool writeScanFile(const ScanTree &tree, const ScanSummary &summary, QIODevice &out, QString *error);

struct ScanFileContents {
    ScanTree tree;
    ScanSummary summary;
    QString producer; // the writing program's name, e.g. "ncdu"
};

// The bytes of a scan file as they come (a pipe, a decompressor).
class ScanFileSource {
public:
    virtual ~ScanFileSource() = default;
    // Up to max bytes into buffer: how many, 0 at the end, -1 (with why in
    // *error) when the input failed.
    virtual qsizetype read(char *buffer, qsizetype max, QString *error) = 0;
    // How many bytes it holds, where it knows (a file): room for the
    // entries is made once from it. Zero when it does not.
    virtual qint64 size() const { return 0; }
};

// Reads an export from data, which may be compressed whole with zstd (as
// ncdu -c writes it). Totals are summed from the files as a scan
// sums them (a file with several links once per folder); the folders' own
// sizes in the file are left out. Anything that does not start as a scan
// file is refused from its first bytes. On bad input: nullopt and why in
// *error.
std::optional<ScanFileContents> readScanFile(QByteArrayView data, QString *error);
// The same as it arrives: what is kept is the tree, not the bytes read.
std::optional<ScanFileContents> readScanFile(ScanFileSource &source, QString *error);
// Why bytes that begin so are not a scan file; empty when they may be one.
QString scanFileStartProblem(QByteArrayView head);
