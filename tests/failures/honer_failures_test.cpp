// honer on a damaged log: what it reports, its exit status, and exactly
// which files the folder holds afterwards. Missing, misnamed and unreadable
// files: names_test.cpp, over every program.
#include <gtest/gtest.h>

#include "failure_support.hpp"

namespace {

using failures::Contents;
using failures::expectFailure;
using failures::Folder;

const std::string kFound = " Hurray I found the principle components\n";

TEST(HonerFailures, ValueFieldThatIsNoNumber) {
    for (const std::string value : {"    1.2.3", "     --5", "   12a", "     1E", "    1,5"}) {
        SCOPED_TRACE(value);
        const std::string log = "     eigenB\n\n\n     " + value + "\n";
        Folder f;
        f.write("phaser.log", log);
        expectFailure(f.run("honer", "phaser.log\ncad.com\n"), "honer", {"line 4 of phaser.log, columns 6-14"});
        EXPECT_EQ(f.result.out.substr(f.result.out.size() - kFound.size()), kFound);
        EXPECT_EQ(f.contents(), (Contents{{"phaser.log", log}, {"cad.com", ""}}));
    }
}

}  // namespace
