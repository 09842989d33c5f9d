// The text of the INSERT statements built for a block, without a server.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "builders.h"

using namespace testsupport;

namespace {

const char* kStamp = "2026-12-06 10:00:00.123456+00:00";

// A table's statements for a block whose cached tables are all ready, one per line.
std::string statements(Redshift& redshift, const Block& block, const std::string& table, int* rows = nullptr,
                       TableNameList failed = {}) {
    TableIndexMap index;
    for (auto& entry : redshift.schemaCache) index[entry.first] = 0;
    BatchMap batches;
    redshift.createBatch(block.readings(), failed, index, batches);
    std::string texts;
    for (Batch& batch : batches[table]) {
        std::unique_ptr<const char[]> text(batch.sql->coalesce());
        texts += (texts.empty() ? "" : "\n") + std::string(text.get());
    }
    if (rows) *rows = index[table];
    return texts;
}

std::string row(const std::string& asset, const std::string& values, const std::string& instance = "site1") {
    return "( '" + asset + "', '" + kStamp + "', '" + kStamp + "', '" + instance + "'" + values + ") ";
}

// A plugin object with no connection.
class BatchText : public ::testing::Test {
protected:
    void SetUp() override { redshift.instanceName = "site1"; }
    Redshift redshift;
};

}  // namespace

TEST_F(BatchText, LiteralsAreEscapedForTheServersStringMode) {
    redshift.instanceName = "it's";
    redshift.schemaCache["o_neil_"] = withFixed({{"s", " VARCHAR(256) "}});
    Block block;
    block.add("o'neil\\", {dpString("s", std::string("a'b\\c\0d", 7))});
    const std::string head = "INSERT INTO  o_neil_ ( asset_code , user_ts , ts , vantrel , s) VALUES  ";
    redshift.backslashEscapes = true;  // how Redshift reads '...'
    EXPECT_EQ(statements(redshift, block, "o_neil_"), head + row("o''neil\\\\", ",'a''b\\\\cd'", "it''s"));
    redshift.backslashEscapes = false;  // standard conforming strings
    EXPECT_EQ(statements(redshift, block, "o_neil_"), head + row("o''neil\\", ",'a''b\\cd'", "it''s"));
}

TEST_F(BatchText, ValuesFollowTheColumnTypeNotTheirOwn) {
    redshift.schemaCache["t"] =
        withFixed({{"b", " BIGINT "}, {"r", " REAL "}, {"v", " VARCHAR(256) "}, {"z", " TIMESTAMPTZ "}, {"e", ""}});
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        Datapoint* b;
        Datapoint* r;
        const char* expected;
    } cases[] = {
        {dpInt("b", -5), dpInt("r", 7), ",-5,7"},
        {dpFloat("b", 3.0), dpFloat("r", 0.25), ",3,0.25"},
        {dpFloat("b", 3.5), dpFloat("r", std::nan("")), ",null,null"},
        {dpFloat("b", 1e19), dpFloat("r", inf), ",null,null"},
        {dpFloat("b", -9223372036854775808.0), dpFloat("r", 1e300), ",-9223372036854775808,null"},
        {dpString("b", "12"), dpString("r", "1.5"), ",null,null"},
        {dpOpaque("b", DP_FLOAT_ARRAY), dpNested("r", {}), ",null,null"},
    };
    for (const Case& c : cases) {
        Block block;
        block.add("t", {c.b, c.r});
        // Absent values: null for numbers, timestamps and untyped columns; '' for text.
        EXPECT_EQ(statements(redshift, block, "t"),
                  "INSERT INTO  t ( asset_code , user_ts , ts , vantrel , b , r , v , z , e) VALUES  " +
                      row("t", std::string(c.expected) + ",'',null,null"));
    }
}

TEST_F(BatchText, FirstDatapointOrLeafOfAColumnsNameSuppliesItsValueAndReservedNamesAreQuoted) {
    redshift.schemaCache["order"] = withFixed({{"a_b", " BIGINT "}, {"motor_rpm", " BIGINT "},
                                               {"motor_state_code", " VARCHAR(256) "}, {"Temp", " REAL "},
                                               {"User", " BIGINT "}});
    Block block;
    block.add("order", {dpInt("ts", 99), dpInt("a-b", 1), dpInt("a b", 2), dpHint("{\"tablename\":\"order\"}"),
                        dpNested("motor", {dpInt("rpm", 3), dpNested("state", {dpString("code", "ok")})}),
                        dpInt("motor_rpm", 4), dpFloat("TEMP", 1.5), dpString("asset_code", "no"), dpInt("user", 5)});
    EXPECT_EQ(statements(redshift, block, "order"),
              "INSERT INTO  \"order\" ( asset_code , user_ts , ts , vantrel , a_b , motor_rpm , motor_state_code , "
              "Temp , \"user\") VALUES  " + row("order", ",1,3,'ok',1.5,5"));
}

TEST_F(BatchText, ATableThatFailedForAnyReadingOrIsUnknownGetsNoRows) {
    redshift.schemaCache["a"] = redshift.schemaCache["b"] = withFixed();
    Block block;
    for (const char* table : {"a", "b", "c"}) block.add(table, {});
    int rows = -1;
    EXPECT_EQ(statements(redshift, block, "b", &rows, {"b"}) + statements(redshift, block, "c", nullptr, {"b"}), "");
    EXPECT_EQ(rows, 0);
    EXPECT_NE(statements(redshift, block, "a", &rows, {"b"}), "");
    EXPECT_EQ(rows, 1);
}

TEST_F(BatchText, RowsPastTheStatementLimitGoIntoFurtherStatements) {
    redshift.schemaCache["t"] = withFixed({{"s", " VARCHAR(256) "}});
    Block block;
    for (const char* value : {"aaaa", "bbbb", "c'c'", "dddd", "eeee"}) block.add("t", {dpString("s", value)});
    auto statement = [](std::initializer_list<const char*> values) {
        std::string text = "INSERT INTO  t ( asset_code , user_ts , ts , vantrel , s) VALUES  ";
        for (const char* value : values)
            text += (*values.begin() == value ? "" : ", ") + row("t", std::string(",'") + value + "'");
        return text;
    };
    const std::string one = statement({"aaaa"});
    // Room for one row: every row is a statement of its own.
    for (size_t limit : {one.size(), one.size() + 1}) {
        redshift.maxStatementBytes = limit;
        int rows = 0;
        EXPECT_EQ(statements(redshift, block, "t", &rows), one + "\n" + statement({"bbbb"}) + "\n" +
                                                               statement({"c''c''"}) + "\n" + statement({"dddd"}) +
                                                               "\n" + statement({"eeee"}));
        EXPECT_EQ(rows, 5);
    }
    // Room for two rows: pairs, and the doubled quotes count against the limit.
    redshift.maxStatementBytes = statement({"aaaa", "bbbb"}).size();
    EXPECT_EQ(statements(redshift, block, "t"), statement({"aaaa", "bbbb"}) + "\n" + statement({"c''c''"}) + "\n" +
                                                    statement({"dddd", "eeee"}));
    // At the limit exactly: one statement.
    redshift.maxStatementBytes = statement({"aaaa", "bbbb", "c''c''", "dddd", "eeee"}).size();
    EXPECT_EQ(statements(redshift, block, "t"), statement({"aaaa", "bbbb", "c''c''", "dddd", "eeee"}));
}
