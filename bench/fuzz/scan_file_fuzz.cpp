// libFuzzer target: arbitrary bytes as a scan file. The reader must refuse
// or accept them without crashing, hanging or leaking, and whatever it
// accepts must read back the same once written out again.
#include "scan_file.h"

#include <QBuffer>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString error;
    const auto contents = readScanFile(QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size)), &error);
    if (!contents) {
        if (error.isEmpty())
            std::abort(); // a refusal always says why
        return 0;
    }
    QByteArray written;
    QBuffer out(&written);
    out.open(QIODevice::WriteOnly);
    if (!writeScanFile(contents->tree, contents->summary, out, &error))
        std::abort();
    const auto again = readScanFile(written, &error);
    if (!again || again->summary.itemsScanned != contents->summary.itemsScanned)
        std::abort();
    // gdu names the first link of a file without its inode: written again,
    // that link is a file of its own, so only other producers' totals hold.
    if (contents->producer != u"gdu" && again->summary.totalAllocatedSize != contents->summary.totalAllocatedSize)
        std::abort();
    return 0;
}
