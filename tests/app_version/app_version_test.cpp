// The version label: bundle values, the executable's date, time zones.
#include "app_version_info.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace {

const QDateTime kBuilt(QDate(2026, 3, 2), QTime(9, 5, 3), Qt::UTC);

} // namespace

TEST(AppVersion, LabelInTheGivenZoneWithFixedDigitsAndCalendar)
{
    const AppVersionInfo info{"1.4", "27", kBuilt};
    EXPECT_EQ(AppVersionDisplay::label(info, QTimeZone::utc()), u"v1.4 (27) \u2022 build 2026-03-02 09:05:03");
    EXPECT_EQ(AppVersionDisplay::label(info, QTimeZone("Asia/Tokyo")), u"v1.4 (27) \u2022 build 2026-03-02 18:05:03");
    EXPECT_EQ(AppVersionDisplay::label(info, QTimeZone("America/Los_Angeles")),
              u"v1.4 (27) \u2022 build 2026-03-02 01:05:03");
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt)); // other digits, if it leaked through
    EXPECT_EQ(AppVersionDisplay::label(info, QTimeZone::utc()), u"v1.4 (27) \u2022 build 2026-03-02 09:05:03");
    QLocale::setDefault(saved);
    EXPECT_EQ(AppVersionDisplay::label({"1", "2", std::nullopt}, QTimeZone::utc()), u"v1 (2) \u2022 build unknown");
}

TEST(AppVersion, BundleValuesAndTheExecutableDate)
{
    QTemporaryDir dir;
    const QString exe = dir.filePath("burrowlens");
    QFile file(exe);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_TRUE(file.setFileTime(kBuilt, QFileDevice::FileModificationTime));
    file.close();

    Bundle bundle;
    bundle.executablePath = exe;
    AppVersionInfo info = AppVersionInfo::current(bundle); // no version keys
    EXPECT_EQ(info, (AppVersionInfo{"0", "0", kBuilt}));
    EXPECT_EQ(AppVersionDisplay::label(info, QTimeZone::utc()), u"v0 (0) \u2022 build 2026-03-02 09:05:03");

    bundle.infoDictionary = {{"CFBundleShortVersionString", 14}, {"CFBundleVersion", "27"}};
    EXPECT_EQ(AppVersionInfo::current(bundle).shortVersion, "0"); // a number is not a string
    EXPECT_EQ(AppVersionInfo::current(bundle).buildVersion, "27");

    bundle.executablePath.reset();
    EXPECT_TRUE(AppVersionDisplay::current(bundle).endsWith(" unknown"));
    bundle.executablePath = dir.filePath("missing");
    EXPECT_FALSE(AppVersionInfo::current(bundle).buildDate);

    EXPECT_EQ((AppVersionInfo{"1", "2", std::nullopt}), (AppVersionInfo{"1", "2", std::nullopt}));
    EXPECT_NE((AppVersionInfo{"1", "2", kBuilt}), (AppVersionInfo{"1", "2", std::nullopt}));
}

TEST(AppVersion, ThisProgramsBundle)
{
    const Bundle bundle = Bundle::main();
    EXPECT_EQ(bundle.identifier, "com.quillfen.burrowlens");
    const AppVersionInfo info = AppVersionInfo::current(bundle);
    EXPECT_NE(info.shortVersion, "0");
    EXPECT_TRUE(info.buildDate.has_value()); // the test binary stands in for the executable
}
