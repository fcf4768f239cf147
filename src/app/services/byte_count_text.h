// Every size shown to the user, formatted alike (decimal units, file style).
#pragma once

#include <QString>

QString byteCountText(qint64 bytes);
