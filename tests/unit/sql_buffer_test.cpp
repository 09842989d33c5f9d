// SQLBuffer, which every statement is built in: pieces that cross its fixed blocks.
#include <gtest/gtest.h>

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
