// burrowlens-scan as a user runs it: a real process on a real tree.
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QUuid>
#include <csignal>

using bltest::TempTree;

namespace {

struct ScanRunResult {
    int exitCode = -1;
    QByteArray out, err;
};

ScanRunResult run(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(BURROWLENS_SCAN), arguments);
    process.waitForFinished(60000);
    return ScanRunResult{process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
               process.readAllStandardOutput(), process.readAllStandardError()};
}

} // namespace

TEST(BurrowlensScan, JsonReportMatchesTheTree)
{
    TempTree t;
    t.dir("small");
    t.file("small/a", 100);
    t.dir("big");
    t.file("big/x", 90000);
    t.file("big/y", 20000);
    t.file("Zed", 9000);
    t.file("zed", 9000); // same size: names order case-insensitively, stably
    t.dir("Pack.app");
    t.file("Pack.app/inside", 30000);
    t.symlink("big", "link");
    const bltest::WalkTotals walk = bltest::independentWalk(t.root());
    const auto inside = bltest::independentWalk(t.path("Pack.app"));

    for (const QString engine : {"fast", "recursive"}) {
        const ScanRunResult r = run({"--engine", engine, "--json", QString::fromStdString(t.root())});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        const QJsonObject o = QJsonDocument::fromJson(r.out).object();
        EXPECT_EQ(o["root"].toString().toStdString(), t.root());
        EXPECT_EQ(o["engine"].toString(), engine);
        EXPECT_FALSE(QUuid::fromString(o["rootId"].toString()).isNull());
        EXPECT_EQ(o["rootId"].toString(), o["rootId"].toString().toUpper());
        EXPECT_EQ(o["items"].toInteger(), walk.items);
        EXPECT_EQ(o["directories"].toInteger(), walk.dirs);
        EXPECT_EQ(o["files"].toInteger(), walk.files);
        EXPECT_EQ(o["unreadable"].toInteger(), 0);
        EXPECT_GE(o["seconds"].toDouble(), 0.0);
        const QJsonArray children = o["children"].toArray();
        ASSERT_EQ(children.size(), 6) << "every child of the root without --top";
        QStringList names;
        qint64 previous = std::numeric_limits<qint64>::max();
        for (const auto &c : children) {
            names << c.toObject()["name"].toString();
            EXPECT_LE(c.toObject()["allocated"].toInteger(), previous) << "largest first";
            previous = c.toObject()["allocated"].toInteger();
        }
        EXPECT_EQ(names.first(), "big");
        EXPECT_EQ(names.indexOf("Zed") + 1, names.indexOf("zed"));
        EXPECT_EQ(children[0].toObject()["kind"].toString(), "directory");
        EXPECT_EQ(children[0].toObject()["childCount"].toInteger(), 2);
        if (engine == "fast") {
            // Packages are measured by the fast engine only.
            EXPECT_EQ(o["allocated"].toInteger(), qint64(walk.allocated + inside.allocated));
            EXPECT_EQ(o["logical"].toInteger(), qint64(walk.logical + inside.logical));
        } else {
            EXPECT_EQ(o["allocated"].toInteger(), qint64(walk.allocated));
        }
    }

    const ScanRunResult top = run({"--json", "--top", "2", QString::fromStdString(t.root())});
    EXPECT_EQ(QJsonDocument::fromJson(top.out).object()["children"].toArray().size(), 2);

    const ScanRunResult text = run({"--top", "1", QString::fromStdString(t.root())});
    ASSERT_EQ(text.exitCode, 0);
    const QString shown = QString::fromUtf8(text.out);
    EXPECT_TRUE(shown.startsWith(QString::fromStdString(t.root()) + "\n")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("Items: ")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("2 children  big")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("... and 5 more")) << shown.toStdString();
}

TEST(BurrowlensScan, ExitStatusesAndMessages)
{
    TempTree t;
    t.file("plain", 10);
    const ScanRunResult missing = run({QString::fromStdString(t.path("missing"))});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err.trimmed().toStdString(), "Could not access folder: " + t.path("missing"));
    EXPECT_TRUE(missing.out.isEmpty());

    const ScanRunResult file = run({"--engine", "recursive", QString::fromStdString(t.path("plain"))});
    EXPECT_EQ(file.exitCode, 1);
    EXPECT_EQ(file.err.trimmed().toStdString(), "Could not access folder: " + t.path("plain"));

    for (const QStringList &bad : {QStringList{}, QStringList{"--engine", "slow", "/"},
                                   QStringList{"--top", "-3", "/"}, QStringList{"--frobnicate", "/"},
                                   QStringList{"/a", "/b"}}) {
        const ScanRunResult r = run(bad);
        EXPECT_EQ(r.exitCode, 2) << bad.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains("usage: burrowlens-scan")) << r.err.toStdString();
    }
}

TEST(BurrowlensScan, SegmentsOfTheRoot)
{
    TempTree t;
    t.dir("big");
    t.file("big/x", 200000);
    t.file("medium", 60000);
    for (int i = 0; i < 30; ++i)
        t.file("tiny" + std::to_string(i), 1);
    const ScanRunResult r = run({"--segments", QString::fromStdString(t.root())});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QJsonArray segments = QJsonDocument::fromJson(r.out).array();
    // big, its file on ring 2, medium, then one aggregate for the tiny files.
    ASSERT_EQ(segments.size(), 4) << r.out.toStdString();
    const QJsonObject big = segments[0].toObject();
    EXPECT_EQ(big["kind"].toString(), "node");
    EXPECT_EQ(big["ring"].toInt(), 1);
    EXPECT_EQ(big["start"].toDouble(), 12.0);
    EXPECT_EQ(big["node"].toString(), big["id"].toString());
    EXPECT_EQ(segments[1].toObject()["ring"].toInt(), 2);
    const QJsonObject other = segments[3].toObject();
    EXPECT_EQ(other["kind"].toString(), "other");
    EXPECT_TRUE(other["node"].isNull());
    EXPECT_EQ(other["items"].toInt(), 30);
    EXPECT_EQ(other["end"].toDouble(), 348.0);
    EXPECT_EQ(run({"--json", "--segments", "/"}).exitCode, 2);
}

TEST(BurrowlensScan, ChartWrittenAsAPng)
{
    TempTree t;
    t.dir("big");
    t.file("big/x", 200000);
    t.file("medium", 60000);
    const QString png = QString::fromStdString(t.path("chart.png"));
    const ScanRunResult r = run({"--chart", png, "--size", "300", "--top", "0", QString::fromStdString(t.root())});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QImage image(png);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(300, 300));
    // Ring 1 at three o'clock is the big folder's colour, not the background.
    EXPECT_GT(image.pixelColor(150 + 45, 150).saturationF(), 0.5);
    EXPECT_LT(image.pixelColor(150, 150 - 45).valueF(), 0.25) << "the opening at twelve o'clock";

    const ScanRunResult unwritable = run({"--chart", QString::fromStdString(t.path("no/such/dir.png")),
                                          QString::fromStdString(t.root())});
    EXPECT_EQ(unwritable.exitCode, 1);
    EXPECT_TRUE(unwritable.err.contains("cannot write the chart")) << unwritable.err.toStdString();
    EXPECT_EQ(run({"--chart", png, "--size", "5", "/"}).exitCode, 2);
}
