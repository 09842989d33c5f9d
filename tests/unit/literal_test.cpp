// Text literals with every backslash outside the quotes.
#include <gtest/gtest.h>

#include <string>

#include "rules/literal.h"

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
        std::string out = "x=";
        appendTextLiteral(out, c.text);
        EXPECT_EQ(out, std::string("x=") + c.literal) << c.text;
    }
}
