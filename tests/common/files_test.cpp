#include <gtest/gtest.h>

#include <filesystem>

#include "common/failure.hpp"
#include "common/files.hpp"
#include "testsupport.hpp"

using testsupport::ScratchDir;

TEST(Files, LinesDropTheLineFeedAndACarriageReturnBeforeIt) {
    ScratchDir dir;
    // A line longer than the read buffer, a CR only before a LF, a last
    // line without a line feed.
    const std::string longLine(3 << 20, 'x');
    testsupport::writeFile(dir / "in", "one\r\n\r\ntwo\rthree\n" + longLine + "\nlast\r");
    common::InputFile in((dir / "in").string());
    std::string_view line;
    ASSERT_TRUE(in.next(line));
    EXPECT_EQ(line, "one");
    ASSERT_TRUE(in.next(line));
    EXPECT_EQ(line, "");
    ASSERT_TRUE(in.next(line));
    EXPECT_EQ(line, "two\rthree");
    ASSERT_TRUE(in.next(line));
    EXPECT_EQ(line.size(), longLine.size());
    ASSERT_TRUE(in.next(line));
    EXPECT_EQ(line, "last\r");
    EXPECT_EQ(in.lineNumber(), 5u);
    EXPECT_FALSE(in.next(line));
}

TEST(Files, OldMustExistAndNewMustNot) {
    ScratchDir dir;
    EXPECT_THROW(common::InputFile((dir / "missing").string()), common::RunTimeFailure);
    EXPECT_THROW(common::InputFile(dir.path().string()), common::RunTimeFailure);  // a directory
    EXPECT_THROW(common::InputFile(""), common::RunTimeFailure);

    testsupport::writeFile(dir / "kept", "precious\n");
    try {
        common::OutputFile out((dir / "kept").string());
        FAIL() << "an existing file was opened as new";
    } catch (const common::RunTimeFailure& failure) {
        EXPECT_NE(std::string(failure.what()).find("already exists"), std::string::npos);
    }
    EXPECT_EQ(testsupport::readFile(dir / "kept"), "precious\n");
}

TEST(Files, OutputKeepsWhatWasWrittenWhenTheRunUnwinds) {
    ScratchDir dir;
    try {
        common::OutputFile out((dir / "out").string());
        out.writeRecord("first");
        out.writeRecord(std::string(2 << 20, 'y'));  // larger than the buffer
        out.writeRecord("last");
        common::fail("stop");
    } catch (const common::RunTimeFailure&) {
    }
    const std::string text = testsupport::readFile(dir / "out");
    EXPECT_EQ(text.size(), 6 + (2u << 20) + 1 + 5);
    EXPECT_EQ(text.substr(text.size() - 5), "last\n");
}

TEST(Files, NamesKeepLeadingAndEmbeddedBlanks) {
    EXPECT_EQ(common::fileNameFrom(" my file.hkl   "), " my file.hkl");
    EXPECT_EQ(common::fileNameFrom("    "), "");
}
