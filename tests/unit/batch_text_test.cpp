// The text of the INSERT statements built for a block, without a server.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "builders.h"
#include "fixed_columns.h"
#include "redshift.h"

using namespace testsupport;

namespace {

const char* kStamp = "2026-12-06 10:00:00.123456+00:00";

// Builds the batches of a block whose tables are all ready.
std::map<std::string, std::string> statements(Redshift& redshift, const Block& block,
                                              TableIndexMap* counts = nullptr, TableNameList failed = {}) {
    TableIndexMap index;
    for (auto& entry : redshift.schemaCache) index[entry.first] = 0;
    BatchMap batches;
    redshift.createBatch(block.readings(), failed, index, batches);
    // A table's statements, one per line.
    std::map<std::string, std::string> texts;
    for (auto& table : batches) {
        for (Batch& batch : table.second) {
            const char* text = batch.sql->coalesce();
            if (!texts[table.first].empty()) texts[table.first] += "\n";
            texts[table.first] += text;
            delete[] text;
        }
    }
    if (counts) *counts = index;
    return texts;
}

std::string row(const std::string& asset, const std::string& values, const std::string& instance = "site1") {
    return "( '" + asset + "', '" + kStamp + "', '" + kStamp + "', '" + instance + "'" + values + ") ";
}

// A plugin object with no connection: it escapes as Redshift reads literals
// unless a test says otherwise.
class BatchText : public ::testing::Test {
protected:
    void SetUp() override { redshift.instanceName = "site1"; }
    Redshift redshift;
};

}  // namespace

TEST_F(BatchText, WorkedExampleMakesOneStatementWithARowPerReading) {
    redshift.schemaCache["pump"] = withFixed({{"speed", " BIGINT "}, {"state", " VARCHAR(256) "}, {"temp", " REAL "}});
    Block block;
    block.add("pump", {dpInt("speed", 1200), dpFloat("temp", 21.5)});
    block.add("pump", {dpString("state", "running")});
    TableIndexMap counts;
    auto texts = statements(redshift, block, &counts);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts["pump"], "INSERT INTO  pump ( asset_code , user_ts , ts , vantrel , speed , state , temp) VALUES  " +
                                 row("pump", ",1200,'',21.5") + ", " + row("pump", ",null,'running',null"));
    EXPECT_EQ(counts["pump"], 2);
}

TEST_F(BatchText, LiteralsAreEscapedForTheServersStringMode) {
    redshift.instanceName = "it's";
    redshift.schemaCache["o_neil_"] = withFixed({{"s", " VARCHAR(256) "}});
    Block block;
    block.add("o'neil\\", {dpString("s", std::string("a'b\\c\0d", 7))});

    redshift.backslashEscapes = true;  // how Redshift reads '...'
    EXPECT_EQ(statements(redshift, block)["o_neil_"],
              "INSERT INTO  o_neil_ ( asset_code , user_ts , ts , vantrel , s) VALUES  " +
                  row("o''neil\\\\", ",'a''b\\\\cd'", "it''s"));
    redshift.backslashEscapes = false;  // standard conforming strings
    EXPECT_EQ(statements(redshift, block)["o_neil_"],
              "INSERT INTO  o_neil_ ( asset_code , user_ts , ts , vantrel , s) VALUES  " +
                  row("o''neil\\", ",'a''b\\cd'", "it''s"));
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
        {dpFloat("b", -9223372036854775808.0), dpFloat("r", -inf), ",-9223372036854775808,null"},
        {dpFloat("b", std::nan("")), dpFloat("r", 1e300), ",null,null"},
        {dpString("b", "12"), dpString("r", "1.5"), ",null,null"},
        {dpOpaque("b", DP_FLOAT_ARRAY), dpNested("r", {}), ",null,null"},
    };
    for (const Case& c : cases) {
        Block block;
        block.add("t", {c.b, c.r});
        // Absent values: null for numbers, timestamps and untyped columns; '' for text.
        EXPECT_EQ(statements(redshift, block)["t"], "INSERT INTO  t ( asset_code , user_ts , ts , vantrel , b , r , v , z , e) VALUES  " +
                                                        row("t", std::string(c.expected) + ",'',null,null"))
            << c.expected;
    }
}

TEST_F(BatchText, FirstDatapointOrLeafOfAColumnsNameSuppliesItsValue) {
    redshift.schemaCache["t"] = withFixed(
        {{"a_b", " BIGINT "}, {"motor_rpm", " BIGINT "}, {"motor_state_code", " VARCHAR(256) "}, {"Temp", " REAL "}});
    Block block;
    block.add("t", {dpInt("ts", 99), dpInt("a-b", 1), dpInt("a b", 2), dpHint("{\"tablename\":\"t\"}"),
                    dpNested("motor", {dpInt("rpm", 3), dpNested("state", {dpString("code", "ok")})}),
                    dpInt("motor_rpm", 4), dpFloat("TEMP", 1.5), dpString("asset_code", "no")});
    EXPECT_EQ(statements(redshift, block)["t"],
              "INSERT INTO  t ( asset_code , user_ts , ts , vantrel , a_b , motor_rpm , motor_state_code , Temp) "
              "VALUES  " + row("t", ",1,3,'ok',1.5"));
}

TEST_F(BatchText, ReservedNamesAreQuotedInTheStatement) {
    redshift.schemaCache["order"] = withFixed({{"User", " BIGINT "}});
    Block block;
    block.add("order", {dpInt("User", 1)});
    EXPECT_EQ(statements(redshift, block)["order"],
              "INSERT INTO  \"order\" ( asset_code , user_ts , ts , vantrel , \"user\") VALUES  " + row("order", ",1"));
}

TEST_F(BatchText, FailedOrUnknownTablesGetNoBatch) {
    redshift.schemaCache["a"] = kFixed;
    redshift.schemaCache["b"] = kFixed;
    Block block;
    block.add("a", {});
    block.add("b", {});
    block.add("c", {});
    TableIndexMap counts;
    auto texts = statements(redshift, block, &counts, {"b"});
    EXPECT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts.count("a"), 1u);
    EXPECT_EQ(counts["a"], 1);
    EXPECT_EQ(counts["b"], 0);
}

TEST_F(BatchText, RowsPastTheStatementLimitGoIntoFurtherStatements) {
    redshift.schemaCache["t"] = withFixed({{"s", " VARCHAR(256) "}});
    Block block;
    for (const char* value : {"aaaa", "bbbb", "c'c'", "dddd", "eeee"}) block.add("t", {dpString("s", value)});
    const std::string header = "INSERT INTO  t ( asset_code , user_ts , ts , vantrel , s) VALUES  ";
    auto statement = [&header](std::initializer_list<const char*> values) {
        std::string text = header;
        bool first = true;
        for (const char* value : values) {
            text += (first ? "" : ", ") + row("t", std::string(",'") + value + "'");
            first = false;
        }
        return text;
    };
    const std::string one = statement({"aaaa"});
    // Room for one row: every row is a statement of its own.
    for (size_t limit : {one.size(), one.size() + 1}) {
        redshift.maxStatementBytes = limit;
        TableIndexMap counts;
        EXPECT_EQ(statements(redshift, block, &counts)["t"],
                  statement({"aaaa"}) + "\n" + statement({"bbbb"}) + "\n" + statement({"c''c''"}) + "\n" +
                      statement({"dddd"}) + "\n" + statement({"eeee"}));
        EXPECT_EQ(counts["t"], 5);
    }
    // Room for two rows: pairs, and the doubled quotes count against the limit.
    redshift.maxStatementBytes = statement({"aaaa", "bbbb"}).size();
    EXPECT_EQ(statements(redshift, block)["t"], statement({"aaaa", "bbbb"}) + "\n" + statement({"c''c''"}) + "\n" +
                                                    statement({"dddd", "eeee"}));
    // Under the limit nothing changes: one statement.
    redshift.maxStatementBytes = statement({"aaaa", "bbbb", "c''c''", "dddd", "eeee"}).size();
    EXPECT_EQ(statements(redshift, block)["t"], statement({"aaaa", "bbbb", "c''c''", "dddd", "eeee"}));
}
