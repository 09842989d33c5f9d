// SQLBuffer, which every statement is built in: pieces that cross its fixed
// blocks, and numbers in the shortest text that reads back the same.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cstdlib>
#include <memory>

#include "sql_buffer.h"

namespace {
std::string contents(const SQLBuffer& sql) {
    std::unique_ptr<const char[]> text(sql.coalesce());
    EXPECT_EQ(text[sql.length()], '\0');
    return std::string(text.get(), sql.length());
}
}  // namespace

TEST(SQLBuffer, PiecesOfAnySizeCoalesceToTheirConcatenationAcrossBlocks) {
    SQLBuffer sql;
    EXPECT_EQ(contents(sql), "");
    std::string expected;
    auto add = [&](const std::string& piece) { sql.append(piece); expected += piece; };
    std::string big(150000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);  // NULs included
    add(big);
    for (int i = 0; i < 70000; ++i) {
        sql.append(static_cast<char>('a' + i % 26));
        expected += static_cast<char>('a' + i % 26);
    }
    add(std::string(4 * 65536 - expected.size(), 'z'));  // ends exactly on a block boundary
    add("!");
    EXPECT_EQ(sql.length(), expected.size());
    EXPECT_EQ(contents(sql), expected);
    sql.clear();
    sql.append("again");
    EXPECT_EQ(contents(sql), "again");
}

TEST(SQLBuffer, NumbersAreTheShortestTextThatReadsBackTheSame) {
    auto text = [](auto value) { SQLBuffer sql; sql.append(value); return contents(sql); };
    EXPECT_EQ(text(LONG_MIN), "-9223372036854775808");
    EXPECT_EQ(text(ULONG_MAX), "18446744073709551615");
    EXPECT_EQ(text(21.5), "21.5");
    EXPECT_EQ(text(0.1), "0.1");
    EXPECT_EQ(text(-0.0), "-0");
    for (double d : {1.0 / 3, 5e-324, DBL_MAX, 1e20}) EXPECT_EQ(std::strtod(text(d).c_str(), nullptr), d) << d;
}
