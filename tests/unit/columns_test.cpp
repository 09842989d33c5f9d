// From datapoint names to valid names and to the names statements carry.
#include <gtest/gtest.h>

#include <cstring>

#include "builders.h"
#include "rules/names.h"
#include "rules/sql_names.h"

using namespace testsupport;

TEST(ValidName, ReplacesEveryOtherByteAndPrefixesALeadingDigit) {
    const std::pair<std::string, std::string> cases[] = {
        {"temp", "temp"}, {"temp-1", "temp_1"}, {"a.b c", "a_b_c"}, {"9lives", "X_9lives"}, {"_x", "_x"},
        {"", ""}, {"Temp", "Temp"}, {"caf\xc3\xa9", "caf__"}, {"'; drop", "___drop"},
    };
    for (auto [in, out] : cases) {
        std::string name = in;
        names::makeValid(name);
        EXPECT_EQ(name, out) << in;
        names::makeValid(name);
        EXPECT_EQ(name, out) << "a valid name stays as it is: " << in;
    }
}

TEST(ReservedWords, TableIsSortedUpperCaseAndWithoutDuplicates) {
    ASSERT_GT(RESERVED_WORD_COUNT, 100u);
    for (size_t i = 0; i < RESERVED_WORD_COUNT; ++i) {
        for (const char* c = RESERVED_WORDS[i]; *c; ++c) EXPECT_FALSE(*c >= 'a' && *c <= 'z') << RESERVED_WORDS[i];
        EXPECT_TRUE(i == 0 || std::strcmp(RESERVED_WORDS[i - 1], RESERVED_WORDS[i]) < 0) << RESERVED_WORDS[i];
    }
}

TEST(ReservedWords, StatementNamesAreQuotedOnlyWhenTheyMustBe) {
    const std::pair<const char*, const char*> cases[] = {
        // Reserved in either database: quoted.
        {"user", "\"user\""}, {"order", "\"order\""}, {"limit", "\"limit\""}, {"timestamp", "\"timestamp\""},
        {"tag", "\"tag\""}, {"mostly8", "\"mostly8\""}, {"returning", "\"returning\""}, {"open", "\"open\""},
        // Plain lower-case names stay bare.
        {"users", "users"}, {"temperature", "temperature"}, {"ts", "ts"}, {"x_1", "x_1"},
        // Any other stored name (upper case, '$', or what only a foreign table
        // holds) is quoted exactly, quotes doubled.
        {"Temperature", "\"Temperature\""}, {"ts$", "\"ts$\""}, {"my col", "\"my col\""},
        {"a\"b", "\"a\"\"b\""}, {"x) values (1", "\"x) values (1\""}, {"1abc", "\"1abc\""},
    };
    for (auto [name, written] : cases) EXPECT_EQ(sqlIdentifier(name), written) << name;
}
