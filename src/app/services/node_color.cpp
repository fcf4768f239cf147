#include "node_color.h"

#include <QHash>
#include <cstdlib>

QColor nodeColor(const QString &uuidText)
{
    // qHash is seeded once per process: stable within a run, as required.
    const long long h = static_cast<long long>(static_cast<int>(qHash(uuidText)));
    const double hue = double(std::llabs(h % 360)) / 360.0;
    return QColor::fromHsvF(float(hue), 0.72f, 0.94f);
}
