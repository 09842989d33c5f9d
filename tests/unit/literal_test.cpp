// Text literals with every backslash outside the quotes.
#include <gtest/gtest.h>

#include <string>

#include "literal.h"

namespace {
struct StringOut {
    std::string text;
    void append(char c) { text.push_back(c); }
    void append(const char* s, size_t n) { text.append(s, n); }
};
}  // namespace

TEST(TextLiteral, QuotesAreDoubledBackslashesStandOutsideAndNulsAreDropped) {
    struct Case {
        std::string text;
        const char* literal;
    } cases[] = {
        {"", "''"},
        {std::string(2, '\0'), "''"},
        {"plain text", "'plain text'"},
        {"it's", "'it''s'"},
        {"'", "''''"},
        {"a\\b", "'a'||chr(92)::varchar||'b'"},
        {"\\", "chr(92)::varchar"},
        {"\\\\", "chr(92)::varchar||chr(92)::varchar"},
        {"\\x", "chr(92)::varchar||'x'"},
        {"x\\", "'x'||chr(92)::varchar"},
        {"'\\'", "''''||chr(92)::varchar||''''"},
        {std::string("a\0\\\0b", 5), "'a'||chr(92)::varchar||'b'"},
        {std::string("\0\\", 2), "chr(92)::varchar"},
        {"caf\xC3\xA9\n\t\"", "'caf\xC3\xA9\n\t\"'"},
    };
    for (const Case& c : cases) {
        StringOut out;
        out.text = "x=";
        appendTextLiteral(out, c.text);
        EXPECT_EQ(out.text, std::string("x=") + c.literal) << c.text;
        EXPECT_EQ(textLiteralLength(c.text), out.text.size() - 2) << c.text;
        EXPECT_LE(textLiteralLength(c.text), textLiteralBound(c.text.size())) << c.text;
    }
    // The bound holds for the text that grows most.
    EXPECT_LE(textLiteralLength(std::string(1000, '\\')), textLiteralBound(1000));
}
