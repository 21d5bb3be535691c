// The eigenB table: what the writer gives is what Phaser prints (the real
// logs' tables read back), and the reader takes every field of it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/input_file.hpp"
#include "common/layout/eigen_b.hpp"
#include "common/output_file.hpp"
#include "testsupport.hpp"

namespace {

using common::eigen_b::Table;
using testsupport::ScratchDir;

// Lines 56-60 of one of the real 2.8.3 summaries, as printed.
const std::string kPhaserTable =
    "   Principal components of anisotropic part of B affecting observed amplitudes:\n"
    "     eigenB (A^2)     direction cosines (orthogonal coordinates)\n"
    "        10.730              0.7575   0.6528  -0.0000\n"
    "        10.730             -0.6528   0.7575  -0.0000\n"
    "       -21.460              0.0000   0.0000   1.0000\n"
    "   Anisotropic deltaB (i.e. range of principal components):  32.190\n";

TEST(EigenB, WriterGivesPhasersRecordsAndReaderTakesThemBack) {
    ScratchDir dir;
    const Table table = {{{10.73f, {0.7575f, 0.6528f, -0.0f}},
                          {10.73f, {-0.6528f, 0.7575f, -0.0f}},
                          {-21.46f, {0.0f, 0.0f, 1.0f}}}};
    {
        common::OutputFile out((dir / "log").string());
        out.writeRecord("   Principal components of anisotropic part of B affecting observed amplitudes:");
        common::eigen_b::write(out, table);
        out.writeRecord("   Anisotropic deltaB (i.e. range of principal components):  32.190");
        out.close();
    }
    EXPECT_EQ(testsupport::readFile(dir / "log"), kPhaserTable);

    for (const bool wholeTable : {true, false}) {
        common::InputFile in((dir / "log").string());
        ASSERT_TRUE(common::eigen_b::findHeading(in));
        EXPECT_EQ(in.lineNumber(), 2u);
        if (!wholeTable) {
            EXPECT_EQ(common::eigen_b::readResharpeningB(in), -21.46f);
            continue;
        }
        const Table read = common::eigen_b::readTable(in);
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(read[i].value, table[i].value) << i;
            for (size_t j = 0; j < 3; ++j) EXPECT_EQ(read[i].cosines[j], table[i].cosines[j]) << i << j;
        }
    }
}

TEST(EigenB, TooWideAValueIsRefusedBeforeWriting) {
    Table table = {{{1.0f, {1, 0, 0}}, {0.0f, {0, 1, 0}}, {-1.0f, {0, 0, 1}}}};
    EXPECT_TRUE(common::eigen_b::fits(table));
    table[2].value = -123456.0f;  // F9.3 holds -9999.999 at most
    EXPECT_FALSE(common::eigen_b::fits(table));
}

TEST(EigenB, EveryRealLogsTableReadsWhole) {
    const std::filesystem::path dir = testsupport::realDataDir() / "phaser";
    if (testsupport::realDataDir().empty() || !std::filesystem::is_directory(dir)) GTEST_SKIP() << "no real logs";
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        common::InputFile in(entry.path().string());
        ASSERT_TRUE(common::eigen_b::findHeading(in)) << entry.path();
        const Table table = common::eigen_b::readTable(in);
        // Phaser's own: largest first, summing to zero, unit directions.
        EXPECT_GE(table[0].value, table[1].value) << entry.path();
        EXPECT_GE(table[1].value, table[2].value) << entry.path();
        EXPECT_NEAR(table[0].value + table[1].value + table[2].value, 0.0f, 0.003f) << entry.path();
        for (const auto& component : table) {
            const float norm = component.cosines[0] * component.cosines[0] + component.cosines[1] * component.cosines[1] +
                               component.cosines[2] * component.cosines[2];
            EXPECT_NEAR(norm, 1.0f, 1e-3f) << entry.path();
        }
    }
}

}  // namespace
