#include "node_color.h"

#include "scan_analysis.h"

#include <QHash>
#include <cstdlib>

QColor nodeColor(const QString &uuidText)
{
    // qHash is seeded once per process: stable within a run, as required.
    const long long h = static_cast<long long>(static_cast<int>(qHash(uuidText)));
    const double hue = double(std::llabs(h % 360)) / 360.0;
    return QColor::fromHsvF(float(hue), 0.72f, 0.94f);
}

QColor categoryColor(FileCategory category)
{
    switch (category) {
    case FileCategory::pictures: return QColor(0x4f, 0xc3, 0xf7);
    case FileCategory::video: return QColor(0xef, 0x53, 0x76);
    case FileCategory::audio: return QColor(0xff, 0xb7, 0x4d);
    case FileCategory::documents: return QColor(0x81, 0xd6, 0x7a);
    case FileCategory::archives: return QColor(0xb3, 0x88, 0xff);
    case FileCategory::sourceCode: return QColor(0x4d, 0xd0, 0xc1);
    case FileCategory::programs: return QColor(0xf0, 0x62, 0x92).lighter(115);
    case FileCategory::other: break;
    }
    return QColor(0x9e, 0xa7, 0xb3);
}

QColor ageColor(FileAge age)
{
    if (age == FileAge::unknown)
        return QColor(0x80, 0x86, 0x8f);
    // From green through amber to violet as files grow old.
    const float t = float(int(age)) / float(int(FileAge::older));
    float hue = t < 0.5f ? 0.36f - 0.52f * t : 0.10f - 0.64f * (t - 0.5f);
    if (hue < 0)
        hue += 1.0f;
    return QColor::fromHsvF(hue, 0.62f, 0.95f);
}

QColor changeColor(ChangeKind change)
{
    switch (change) {
    case ChangeKind::grown: return QColor(0xff, 0x8a, 0x50);
    case ChangeKind::shrunk: return QColor(0x4f, 0xb0, 0xff);
    case ChangeKind::added: return QColor(0xff, 0xd5, 0x4f);
    case ChangeKind::unchanged: break;
    }
    return QColor(0x5a, 0x60, 0x6a);
}
