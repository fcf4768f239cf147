// Scan files where they live: written to a path so that a failure leaves
// what was there, read from a path, and received from a descriptor (standard
// input, an ssh pipe) with a copy kept on disk. The window and
// burrowlens-scan both go through here; scan_file.h is the format itself.
#pragma once

#include "scan_file.h"

#include <functional>

// Writes the export of tree to path: a regular file (or a new name)
// atomically, so that until the whole file is written nothing changes under
// that name; a device, a FIFO or standard output (/dev/stdout) is written
// into as it is, never replaced. False, with why in *error.
bool saveScanFile(const ScanTree &tree, const ScanSummary &summary, const QString &path, QString *error);
// Writes the export into descriptor (standard output), every write checked.
bool exportScanFile(const ScanTree &tree, const ScanSummary &summary, int descriptor, QString *error);

// Reads the scan file at path; a regular file is mapped, not copied, so a
// file of gigabytes is read where the page cache holds it.
std::optional<ScanFileContents> loadScanFile(const QString &path, QString *error);

// What receiveScanFile tells as the bytes come.
struct ScanFileReception {
    // The bytes received so far, at most every 100 ms and when the sender
    // pauses.
    std::function<void(qint64 received)> progress;
    // Asked between reads (at least every 200 ms): true gives up at once.
    std::function<bool()> stopped;
};

// Reads the scan file arriving on descriptor as it comes (the tree is held,
// not the bytes), keeping a copy at keptPath (none when it is empty; the
// copy appears only when the whole file was read, and *kept says whether it
// did). Nothing, with why in *error, when reading failed, the bytes are not
// a scan file, or it was stopped.
std::optional<ScanFileContents> receiveScanFile(int descriptor, const QString &keptPath,
                                                const ScanFileReception &reception, QString *error,
                                                bool *kept = nullptr);

// Copies what arrives on descriptor to keptPath, refusing at once what does
// not start as a scan file. False, with why in *error, when nothing is kept.
bool keepScanFile(int descriptor, const QString &keptPath, QString *error);
