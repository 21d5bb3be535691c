// The deposition block's values read back by gemmi's CIF reader as the text
// and number written, whatever the text holds; keys first; a number that is
// not finite unknown (?), never "nan" nor "-0.000".
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include <gemmi/cif.hpp>

#include "common/layout/reflns_block.hpp"

namespace {

namespace rb = common::reflns_block;

gemmi::cif::Block readBack(const rb::Block& block) {
    try {
        gemmi::cif::Document doc = gemmi::cif::read_string("data_check\n" + block.text());
        return doc.sole_block();
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what() << " in\n" << block.text();
        return gemmi::cif::Block("check");
    }
}

TEST(ReflnsBlock, TextsReadBackAsWritten) {
    const std::string texts[] = {"plain",          "two words",       "local <I/sigmaI>", "it's",
                                 "say \"x\" it's", "_looks_like_tag", "#hash",            "data_x",
                                 "loop_",          "?",               ".",                "two\nlines; ;x",
                                 ";starts",        "a' b\" c",        "[bracket",         "tab\there"};
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        rb::Block block;
        block.setText("pdbx_signal_details", text);
        const gemmi::cif::Block read = readBack(block);
        const std::string* value = read.find_value("_reflns.pdbx_signal_details");
        ASSERT_NE(value, nullptr);
        std::string got = gemmi::cif::as_string(*value);
        if (text.find('\n') != std::string::npos) {
            // a text field: its lines as written, a line starting ';' with a blank before it
            EXPECT_EQ(got, "two\nlines; ;x");
        } else {
            EXPECT_EQ(got, text);
        }
    }
}

TEST(ReflnsBlock, NumbersAndKeys) {
    const struct {
        double value;
        int decimals;
        const char* written;
    } numbers[] = {{35.7434, 3, "35.743"}, {-0.00001, 4, "0.0000"}, {-0.4, 0, "0"}, {-1.25, 2, "-1.25"},
                   {std::nan(""), 3, "?"}, {std::numeric_limits<double>::infinity(), 3, "?"}};
    for (const auto& n : numbers) {
        EXPECT_EQ(rb::cifNumber(n.value, n.decimals), n.written) << n.value;
    }
    rb::Block block;
    block.comment("a comment\nof two lines");
    block.setNumber("pdbx_aniso_B_tensor_eigenvalue_1", 1.5, 3);
    block.set("pdbx_diffrn_id", "1");
    block.setText("entry_id", "my data");
    block.set("pdbx_ordinal", "1");
    block.setNumber("pdbx_aniso_B_tensor_eigenvalue_1", 2.5, 3);  // replaces
    block.addLoop({"_reflns_shell", {"pdbx_ordinal", "d_res_high"}, {{"1", "2.5"}, {"2", "?"}}});
    const gemmi::cif::Block read = readBack(block);
    ASSERT_EQ(read.items.size(), 5u);  // four pairs, a loop (comments are no items)
    EXPECT_EQ(read.items[0].pair[0], "_reflns.pdbx_ordinal");
    EXPECT_EQ(read.items[1].pair[0], "_reflns.entry_id");
    EXPECT_EQ(gemmi::cif::as_string(read.items[1].pair[1]), "my data");
    EXPECT_EQ(read.items[2].pair[0], "_reflns.pdbx_diffrn_id");
    EXPECT_EQ(read.items[3].pair[1], "2.500");
    EXPECT_EQ(read.items[4].loop.length(), 2u);
    EXPECT_EQ(block.text().find("data_"), std::string::npos);
}

}  // namespace
