// Repairing ill-formed UTF-8 and cutting text on character boundaries.
#include <gtest/gtest.h>

#include "rules/utf8.h"

namespace {
#define R "\xEF\xBF\xBD"  // U+FFFD
}

TEST(Utf8, EachMaximalIllFormedSubpartBecomesOneReplacement) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        // Well-formed text, one to four bytes a character, stays as it is.
        {"", ""},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"\xF4\x8F\xBF\xBF\xED\x9F\xBF\xEE\x80\x80" R, "\xF4\x8F\xBF\xBF\xED\x9F\xBF\xEE\x80\x80" R},
        // Overlong forms.
        {"\xC0\xAF|\xC1\xBF|\xE0\x80\xAF|\xF0\x80\x80\xAF", R R "|" R R "|" R R R "|" R R R R},
        // Surrogates, and code points above U+10FFFF.
        {"\xED\xA0\x80|\xED\xBF\xBF|\xF4\x90\x80\x80|\xF5\x80", R R R "|" R R R "|" R R R R "|" R R},
        // Stray continuation bytes and bytes that never occur.
        {"a\x80" "b\xBF\xBF" "c\xFE\xFF", "a" R "b" R R "c" R R},
        // Truncated sequences, at the end or cut short by another character.
        {"x\xE2\x82", "x" R},
        {"\xF0\x9F\x98" "a\xE2\x82\xC3\xA9", R "a" R "\xC3\xA9"},
        // The example of the Unicode standard (a sequence of every kind).
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", "a" R R R "b" R "c" R R "d"},
        // After a long ASCII run that is read eight bytes at a time.
        {"0123456789abcdef\xFF" "0123456789abcdef\xC3", "0123456789abcdef" R "0123456789abcdef" R},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(validUtf8(c.in), c.out) << c.in;
        EXPECT_EQ(isValidUtf8(c.in), std::string(c.in) == c.out) << c.in;
    }
    // A NUL byte is a character like any other here.
    EXPECT_EQ(validUtf8(std::string("a\0\x80", 3)), std::string("a\0" R, 5));
}

TEST(Utf8, FitCutsOnlyBetweenCharacters) {
    struct Case {
        const char* text;
        size_t maxBytes;
        size_t fit;
    } cases[] = {
        {"", 0, 0},          {"abc", 0, 0},       {"abc", 2, 2},       {"abc", 3, 3},
        {"abc", 99, 3},      {"a\xC3\xA9", 2, 1}, {"a\xC3\xA9", 3, 3}, {"\xE2\x82\xAC", 2, 0},
        {"\xF0\x9F\x98\x80x", 3, 0}, {"\xF0\x9F\x98\x80x", 4, 4}, {"ab\xF0\x9F\x98\x80", 5, 2},
    };
    for (const Case& c : cases) EXPECT_EQ(fitUtf8(c.text, c.maxBytes), c.fit) << c.text << " / " << c.maxBytes;
}
