// Every size shown to the user, formatted alike: decimal units (kB, MB) as
// the file managers show them, or binary ones (KiB, MiB) if the user chose.
#pragma once

#include <QString>

enum class ByteUnits { decimal, binary };

QString byteCountText(qint64 bytes);
// A change of size: "+1.2 GB", "\u2212340 MB", "no change".
QString byteChangeText(qint64 change);
// The window's choice; the headless report keeps decimal units.
void setByteUnits(ByteUnits units);
ByteUnits byteUnits();
