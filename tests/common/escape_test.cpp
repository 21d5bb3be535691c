// The escaping of text from files and programs, over a table of hostile texts:
// markup, quotes, controls, valid UTF-8 of every length, and byte sequences
// that are not UTF-8 (stray continuation bytes, overlong forms, surrogates,
// beyond U+10FFFF, cut short).
#include <gtest/gtest.h>

#include <string>

#include "common/escape.hpp"

namespace {

struct Case {
    std::string text;
    std::string html;
    std::string json;
};

const Case kCases[] = {
    {"plain 1.5 A", "plain 1.5 A", "plain 1.5 A"},
    {"<script>&'\"", "&lt;script&gt;&amp;&#39;&quot;", "<script>&'\\\""},
    {"back\\slash", "back\\slash", "back\\\\slash"},
    {"tab\tline\nNUL", "tab\\x09line\\x0ANUL", "tab\\u0009line\\u000ANUL"},
    {std::string("a\0b", 3), "a\\x00b", "a\\u0000b"},
    {"\x7f", "\\x7F", "\\u007F"},
    {"\xc3\xa9", "&#xE9;", "\\u00E9"},                      // e acute, two bytes
    {"\xe2\x84\xab", "&#x212B;", "\\u212B"},                 // Angstrom sign, three bytes
    {"\xf0\x9f\x94\xac", "&#x1F52C;", "\\uD83D\\uDD2C"},     // four bytes: a surrogate pair in JSON
    {"\xc2\x85", "\\xC2\\x85", "\\u0085"},                   // a C1 control
    {"\xff", "\\xFF", "\\\\xFF"},                            // never in UTF-8
    {"\x80z", "\\x80z", "\\\\x80z"},                         // a stray continuation byte
    {"\xc0\xaf", "\\xC0\\xAF", "\\\\xC0\\\\xAF"},            // overlong '/'
    {"\xed\xa0\x80", "\\xED\\xA0\\x80", "\\\\xED\\\\xA0\\\\x80"},  // a surrogate
    {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80", "\\\\xF4\\\\x90\\\\x80\\\\x80"},  // beyond U+10FFFF
    {"\xe2\x84", "\\xE2\\x84", "\\\\xE2\\\\x84"},            // cut short
    {"\xef\xbf\xbe", "\\xEF\\xBF\\xBE", "\\uFFFE"},          // a noncharacter
};

TEST(Escape, HtmlAndJsonOfHostileTexts) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.html);
        EXPECT_EQ(common::escapeHtml(c.text), c.html);
        EXPECT_EQ(common::escapeJson(c.text), c.json);
    }
    // In <pre>, lines and tabs stay.
    EXPECT_EQ(common::escapeHtmlLines("a\tb\n<c>"), "a\tb\n&lt;c&gt;");
}

TEST(Escape, Base64OfEveryTailLength) {
    const struct {
        std::string bytes, encoded;
    } cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
                 {"\xff\xfe\xfd", "//79"}};
    for (const auto& c : cases) {
        std::string out;
        common::appendBase64(out, reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size());
        EXPECT_EQ(out, c.encoded) << c.bytes;
    }
}

}  // namespace
