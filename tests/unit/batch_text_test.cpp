// The rows built for a block, without a server.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "builders.h"

using namespace testsupport;

namespace {

const std::string kStamp = "'2026-12-06 10:00:00.123456+00:00'";

// Caches each of `tables` with `columns`, as a stored text would.
void seed(Redshift& redshift, std::initializer_list<const char*> tables, const ColumnList& columns) {
    std::string text;
    for (const char* table : tables) {
        text += std::string(text.empty() ? "" : ",") + "{\"tablename\":\"" + table + "\"";
        for (size_t i = 0; i < columns.size(); ++i)
            text += ",\"col_" + std::to_string(i) + "\":{\"Name\":\"" + columns[i].first + "\",\"Type\":\"" +
                    columns[i].second + "\"}";
        text += "}";
    }
    ASSERT_EQ(redshift.deserializeCache("{\"Items\":[" + text + "]}"), 0);
}

// The block's rows for the `ready` tables, with `failed` tables refused.
BlockRows build(Redshift& redshift, const Block& block, std::initializer_list<const char*> ready,
                TableNameList failed = {}) {
    TableIndexMap index;
    for (const char* table : ready) index[table] = 0;
    BlockRows rows;
    redshift.createBatch(block.readings(), failed, index, rows);
    return rows;
}

std::string text(const BlockRows& rows, const std::string& table) {
    return rows.statement({table, 0, rows.tables.at(table).rows.size()});
}

// A row of a plugin object without configuration: its instance name is empty.
std::string row(const std::string& asset, const std::string& values) {
    return " ( '" + asset + "'," + kStamp + "," + kStamp + ",''" + values + ") ";
}

}  // namespace

TEST(BatchText, ValuesFollowTheColumnTypeNotTheirOwnAndEveryChangeIsKept) {
    Redshift redshift;
    seed(redshift, {"t"},
         withFixed({{"b", " BIGINT "}, {"r", " REAL "}, {"v", " VARCHAR(256) "}, {"z", " TIMESTAMPTZ "}, {"e", ""}}));
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        Datapoint* b;
        Datapoint* r;
        const char* expected;
        bool changed;
    } cases[] = {
        {dpInt("b", -5), dpInt("r", 7), ",-5,7", false},
        {dpFloat("b", 3.0), dpFloat("r", 0.25), ",3,0.25", false},
        {dpFloat("b", 3.5), dpFloat("r", std::nan("")), ",null,null", true},
        {dpFloat("b", 1e19), dpFloat("r", inf), ",null,null", true},
        {dpFloat("b", -9223372036854775808.0), dpFloat("r", 1e300), ",-9223372036854775808,null", true},
        {dpString("b", "12"), dpString("r", "1.5"), ",null,null", true},
        {dpOpaque("b", DP_FLOAT_ARRAY), dpNested("r", {}), ",null,null", false},
    };
    for (const Case& c : cases) {
        Block block;
        block.add("t", {c.b, c.r});
        BlockRows rows = build(redshift, block, {"t"});
        // Absent values: null for numbers, timestamps and untyped columns; '' for text.
        EXPECT_EQ(text(rows, "t"), "INSERT INTO  t ( asset_code , user_ts , ts , vantrel , b , r , v , z , e) VALUES " +
                                       row("t", std::string(c.expected) + ",'',null,null"));
        // A value changed to fit leaves the row written and the reading kept.
        EXPECT_EQ(rows.rejects.size(), c.changed ? 1u : 0u) << c.expected;
        for (const RejectEntry& reject : rows.rejects) EXPECT_TRUE(reject.written);
    }
}

TEST(BatchText, FirstDatapointOrLeafOfAColumnSuppliesItsValueAndReservedNamesAreQuoted) {
    Redshift redshift;
    seed(redshift, {"order"},
         withFixed({{"ts$", " BIGINT "}, {"a_b", " BIGINT "}, {"motor_rpm", " BIGINT "},
                    {"motor_state_code", " VARCHAR(256) "}, {"temp", " REAL "}, {"user", " BIGINT "}}));
    Block block;
    block.add("order", {dpInt("ts", 99), dpInt("a-b", 1), dpInt("a b", 2), dpHint("{\"tablename\":\"order\"}"),
                        dpNested("motor", {dpInt("rpm", 3), dpNested("state", {dpString("code", "ok")})}),
                        dpInt("motor_rpm", 4), dpFloat("TEMP", 1.5), dpString("asset_code", "no"), dpInt("user", 5)});
    BlockRows rows = build(redshift, block, {"order"});
    // A datapoint named like a fixed column has its own column; the fixed one keeps the reading's value.
    EXPECT_EQ(text(rows, "order"),
              "INSERT INTO  \"order\" ( asset_code , user_ts , ts , vantrel , \"ts$\" , a_b , motor_rpm , "
              "motor_state_code , temp , \"user\") VALUES " + row("order", ",99,1,3,'ok',1.5,5"));
    // The values that found no column of their own are kept with the reading.
    ASSERT_EQ(rows.rejects.size(), 1u);
    for (const char* lost : {"a b", "motor_rpm", "asset_code"})
        EXPECT_NE(rows.rejects[0].reason.find(lost), std::string::npos) << rows.rejects[0].reason;
}

TEST(BatchText, ATableThatFailedForAnyReadingOrIsUnknownGetsNoRows) {
    Redshift redshift;
    seed(redshift, {"a", "b"}, withFixed());
    Block block;
    for (const char* table : {"a", "b", "c"}) block.add(table, {});
    BlockRows rows = build(redshift, block, {"a", "b"}, {"b"});
    ASSERT_EQ(rows.tables.size(), 1u);
    EXPECT_EQ(text(rows, "a"), "INSERT INTO  a ( asset_code , user_ts , ts , vantrel) VALUES " + row("a", ""));
    EXPECT_TRUE(rows.rejects.empty());
}
