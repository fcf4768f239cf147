#include "byte_count_text.h"

#include <QLocale>
#include <atomic>

namespace {
std::atomic<ByteUnits> units{ByteUnits::decimal};
} // namespace

QString byteCountText(qint64 bytes)
{
    return QLocale().formattedDataSize(
        bytes, 1, units.load(std::memory_order_relaxed) == ByteUnits::binary ? QLocale::DataSizeIecFormat : QLocale::DataSizeSIFormat);
}

void setByteUnits(ByteUnits u)
{
    units.store(u, std::memory_order_relaxed);
}

ByteUnits byteUnits()
{
    return units.load(std::memory_order_relaxed);
}

QString byteChangeText(qint64 change)
{
    if (change == 0)
        return QStringLiteral("no change");
    return (change > 0 ? QStringLiteral("+") : QStringLiteral("\u2212")) +
           byteCountText(change == INT64_MIN ? INT64_MAX : (change < 0 ? -change : change));
}
