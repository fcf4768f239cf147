// Scan files where they live: written to a path so that a failure leaves
// what was there, read from a path, and received from a descriptor (standard
// input, an ssh pipe) with a copy kept on disk. The window and
// burrowlens-scan both go through here; scan_file.h is the format itself.
#pragma once

#include "scan_file.h"

#include <functional>

// Writes the export of tree to path atomically: until the whole file is
// written nothing changes under that name. False, with why in *error.
bool saveScanFile(const ScanTree &tree, const ScanSummary &summary, const QString &path, QString *error);

// Reads the scan file at path; a regular file is mapped, not copied, so a
// file of gigabytes is read where the page cache holds it.
std::optional<ScanFileContents> loadScanFile(const QString &path, QString *error);

// What receiveScanFile tells as the bytes come.
struct ScanFileReception {
    // Each chunk as it arrives; false stops the reception (with error set).
    std::function<bool(QByteArrayView chunk)> sink;
    // The bytes received so far, at most every 100 ms and when the sender
    // pauses.
    std::function<void(qint64 received)> progress;
    // Asked between reads (at least every 200 ms): true gives up at once.
    std::function<bool()> stopped;
};

// Reads descriptor to its end, keeping a copy at keptPath (none when it is
// empty; the copy appears only when everything arrived, and *kept says
// whether it did). False, with why in *error, when reading failed, the sink
// refused, or it was stopped.
bool receiveScanFile(int descriptor, const QString &keptPath, const ScanFileReception &reception,
                     QString *error, bool *kept = nullptr);
