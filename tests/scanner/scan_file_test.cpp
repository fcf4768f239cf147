// The scan-file reader over the fuzzer's kept seeds, through the fuzz target
// itself: each file is read or refused with a reason, and what is read
// reads back the same once written again (the target aborts otherwise).
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

TEST(ScanFile, KeptFuzzSeedsReadBackOrAreRefused)
{
    const QDir corpus(QStringLiteral(BL_SCAN_FILE_CORPUS));
    const QStringList seeds = corpus.entryList(QDir::Files);
    ASSERT_GE(seeds.size(), 5) << "the seeds are kept in the repository";
    for (const QString &seed : seeds) {
        QFile f(corpus.filePath(seed));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << seed.toStdString();
        const QByteArray bytes = f.readAll();
        EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size())), 0)
            << seed.toStdString();
    }
}
