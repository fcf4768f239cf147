// One ring segment of the sunburst chart: a child drawn on its own, or the
// aggregate of a parent's children that are too small or too many. Angles
// are degrees clockwise from twelve o'clock.
#pragma once

#include <QString>
#include <QUuid>
#include <optional>

struct SunburstSegment {
    struct Kind {
        enum class Case { node, aggregatedOther };
        Case value = Case::node;
        qint64 itemCount = 0; // aggregatedOther: hidden children it stands for

        static Kind node() { return {}; }
        static Kind aggregatedOther(qint64 itemCount) { return {Case::aggregatedOther, itemCount}; }
        bool isOther() const { return value == Case::aggregatedOther; }
        friend bool operator==(const Kind &, const Kind &) = default;
    };

    QString id;
    std::optional<QUuid> backingNodeID;
    qint64 ringIndex = 1;
    double startDegrees = 0;
    double endDegrees = 0;
    Kind kind;

    friend bool operator==(const SunburstSegment &, const SunburstSegment &) = default;
};
