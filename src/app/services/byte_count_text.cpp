#include "byte_count_text.h"

#include <QLocale>

QString byteCountText(qint64 bytes)
{
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}
