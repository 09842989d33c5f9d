// Tables and the schema cache against a real server: discovery, creation,
// widening and the table each reading goes to.
#include <gtest/gtest.h>

#include "builders.h"
#include "fixed_columns.h"
#include "log_capture.h"
#include "pg_server.h"
#include "redshift.h"

using namespace testsupport;

namespace {

PgServer& server() { return PgServer::instance(); }

const char* kFixedSql = " ( asset_code VARCHAR(256) NOT NULL, user_ts TIMESTAMPTZ, ts TIMESTAMPTZ, vantrel VARCHAR(256) ";

// (column, data type) of a table as the database has it.
std::vector<std::pair<std::string, std::string>> databaseColumns(const std::string& table) {
    std::vector<std::pair<std::string, std::string>> columns;
    for (auto& row : server().query("SELECT column_name, data_type FROM information_schema.columns WHERE "
                                    "table_name = '" + table + "' ORDER BY ordinal_position"))
        columns.emplace_back(row[0], row[1]);
    return columns;
}

// The names of a cached column list, lower-cased as the database stores them.
std::vector<std::pair<std::string, std::string>> asStored(const ColumnList& columns) {
    std::vector<std::pair<std::string, std::string>> out;
    for (auto& column : columns) {
        std::string type = column.second == " BIGINT "        ? "bigint"
                           : column.second == " REAL "        ? "real"
                           : column.second == " TIMESTAMPTZ " ? "timestamp with time zone"
                                                              : "character varying";
        out.emplace_back(storedName(column.first), type);
    }
    return out;
}

class Schema : public ::testing::Test {
protected:
    void SetUp() override {
        redshift.configure(serverConfig(server().port()).get());
        ASSERT_NE(redshift.connection, nullptr);
    }
    Redshift redshift;
};

}  // namespace

TEST_F(Schema, DiscoveredColumnsAreCachedInOrderWithTheirTypes) {
    server().exec("CREATE TABLE disc_t (asset_code varchar(256), user_ts timestamptz, ts timestamptz, "
                  "vantrel varchar(256), r real, b bigint, d double precision, i integer, f boolean)");
    LogCapture log;
    std::string table = "disc_t";
    EXPECT_TRUE(redshift.checkTableExists(table, nullptr));
    EXPECT_EQ(redshift.schemaCache[table],
              withFixed({{"r", " REAL "}, {"b", " BIGINT "}, {"d", " VARCHAR(256) "}, {"i", " VARCHAR(256) "},
                         {"f", " VARCHAR(256) "}}));
    EXPECT_EQ(log.statements(), std::vector<std::string>{
        "SELECT column_name,data_type FROM information_schema.columns WHERE table_name = 'disc_t' "
        "ORDER BY ordinal_position"});

    // Known now: answered from the cache, even after the table is gone.
    server().exec("DROP TABLE disc_t");
    log.clear();
    EXPECT_TRUE(redshift.checkTableExists(table, nullptr));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"debug: Table disc_t already created into AWS Redshift"});

    // A table the database does not have is not cached, and asked again.
    std::string missing = "disc_missing";
    EXPECT_FALSE(redshift.checkTableExists(missing, nullptr));
    EXPECT_FALSE(redshift.checkTableExists(missing, nullptr));
    EXPECT_EQ(redshift.schemaCache.count(missing), 0u);
    EXPECT_EQ(log.statements().size(), 2u);
}

TEST_F(Schema, CreatedTableHoldsExactlyTheCachedColumns) {
    Block block;
    block.add("x", {dpFloat("temp", 1.5), dpString("state", "on"), dpHint("{}"), dpOpaque("cam", DP_IMAGE),
                    dpNested("motor", {dpInt("rpm", 1), dpNested("state", {dpString("code", "ok")})})});
    std::string table = "create_t";
    LogCapture log;
    ASSERT_TRUE(redshift.createTable(table, block[0]));
    EXPECT_EQ(log.statements(), std::vector<std::string>{
        std::string("CREATE TABLE create_t") + kFixedSql +
        " , temp REAL  NULL  , state VARCHAR(256)  NULL  , motor_rpm BIGINT  NULL  , motor_state_code VARCHAR(256)  NULL )"});
    EXPECT_TRUE(log.contains("debug: Table  create_t has been created on AWS Redshift"));
    ColumnList expected = withFixed({{"temp", " REAL "}, {"state", " VARCHAR(256) "}, {"motor_rpm", " BIGINT "},
                                     {"motor_state_code", " VARCHAR(256) "}});
    EXPECT_EQ(redshift.schemaCache[table], expected);
    EXPECT_EQ(databaseColumns(table), asStored(expected));

    // A reading without datapoints makes a table of the fixed columns.
    Block empty;
    empty.add("y", {});
    std::string bare = "create_bare";
    ASSERT_TRUE(redshift.createTable(bare, empty[0]));
    EXPECT_EQ(redshift.schemaCache[bare], kFixed);
    EXPECT_EQ(databaseColumns(bare), asStored(kFixed));
}

TEST_F(Schema, DuplicateAndReservedNamesStillMakeATable) {
    Block block;
    block.add("x", {dpInt("ts", 1), dpInt("a-b", 1), dpInt("a b", 2), dpFloat("Temp", 1), dpFloat("temp", 2),
                    dpInt("user", 1), dpString("order", "o"), dpInt("limit", 1), dpInt("default", 1),
                    dpInt("end", 1), dpInt("open", 1), dpString("timestamp", "t"), dpInt("system", 1),
                    dpInt("Tag", 1), dpNested("asset", {dpString("code", "x")})});
    std::string table = "order";
    ASSERT_TRUE(redshift.createTable(table, block[0]));
    ColumnList expected =
        withFixed({{"a_b", " BIGINT "}, {"Temp", " REAL "}, {"user", " BIGINT "}, {"order", " VARCHAR(256) "},
                   {"limit", " BIGINT "}, {"default", " BIGINT "}, {"end", " BIGINT "}, {"open", " BIGINT "},
                   {"timestamp", " VARCHAR(256) "}, {"system", " BIGINT "}, {"Tag", " BIGINT "}});
    EXPECT_EQ(redshift.schemaCache[table], expected);
    EXPECT_EQ(databaseColumns("order"), asStored(expected));
    // Nothing left to add for the same reading.
    EXPECT_FALSE(redshift.checkTableSchema(table, block[0]));
}

TEST_F(Schema, AlterAddsExactlyTheMissingColumnsInOrder) {
    Block first;
    first.add("x", {dpInt("a", 1)});
    std::string table = "alter_t";
    ASSERT_TRUE(redshift.createTable(table, first[0]));

    Block next;
    next.add("x", {dpInt("a", 1), dpFloat("b", 1), dpString("c d", "x"), dpString("c-d", "y"), dpInt("A", 2),
                   dpNested("n", {dpInt("a", 1), dpNested("m", {dpFloat("z", 2)})}), dpHint("{}"),
                   dpOpaque("img", DP_IMAGE), dpInt("select", 3)});
    EXPECT_TRUE(redshift.checkTableSchema(table, next[0]));
    LogCapture log;
    ASSERT_TRUE(redshift.alterTable(table, next[0]));
    EXPECT_EQ(log.statements(), (std::vector<std::string>{
                                     "ALTER TABLE alter_t ADD b REAL  NULL ",
                                     "ALTER TABLE alter_t ADD c_d VARCHAR(256)  NULL ",
                                     "ALTER TABLE alter_t ADD n_a BIGINT  NULL ",
                                     "ALTER TABLE alter_t ADD n_m_z REAL  NULL ",
                                     "ALTER TABLE alter_t ADD \"select\" BIGINT  NULL ",
                                 }));
    EXPECT_EQ(log.count("debug: Table  alter_t has been altered on AWS Redshift"), 5u);
    ColumnList expected = withFixed({{"a", " BIGINT "}, {"b", " REAL "}, {"c_d", " VARCHAR(256) "},
                                     {"n_a", " BIGINT "}, {"n_m_z", " REAL "}, {"select", " BIGINT "}});
    EXPECT_EQ(redshift.schemaCache[table], expected);
    EXPECT_EQ(databaseColumns(table), asStored(expected));

    // A nested datapoint with a new leaf is a difference; the hint alone is one
    // too, and altering for it sends nothing.
    Block later;
    later.add("x", {dpNested("n", {dpInt("a", 1), dpInt("new", 2)})});
    later.add("x", {dpInt("a", 1), dpHint("{}")});
    EXPECT_TRUE(redshift.checkTableSchema(table, later[0]));
    EXPECT_TRUE(redshift.checkTableSchema(table, later[1]));
    log.clear();
    EXPECT_TRUE(redshift.alterTable(table, later[1]));
    EXPECT_TRUE(log.statements().empty());
}

TEST_F(Schema, AFailedAlterKeepsTheColumnsAddedBeforeIt) {
    // The server refuses to add any column named fail_me.
    server().exec("CREATE FUNCTION refuse_fail_me() RETURNS event_trigger LANGUAGE plpgsql AS $$ BEGIN "
                  "IF current_query() LIKE '%ADD fail_me%' THEN RAISE EXCEPTION 'refused'; END IF; END $$");
    server().exec("CREATE EVENT TRIGGER refuse_fail_me ON ddl_command_end EXECUTE FUNCTION refuse_fail_me()");
    Block block;
    block.add("x", {});
    block.add("x", {dpInt("x1", 1), dpInt("fail_me", 2), dpInt("x3", 3)});
    std::string table = "alter_fail";
    ASSERT_TRUE(redshift.createTable(table, block[0]));
    LogCapture log;
    EXPECT_FALSE(redshift.alterTable(table, block[1]));
    server().exec("DROP EVENT TRIGGER refuse_fail_me");
    EXPECT_EQ(redshift.schemaCache[table], withFixed({{"x1", " BIGINT "}}));
    EXPECT_EQ(databaseColumns(table), asStored(withFixed({{"x1", " BIGINT "}})));
    EXPECT_EQ(log.count("ADD x3"), 0u);
}

TEST_F(Schema, CasesOfOneNameAreOneColumnAfterTheCacheIsLost) {
    Block block;
    block.add("x", {dpFloat("Temperature", 1), dpInt("Count", 2)});
    std::string table = "MixedCase";
    ASSERT_TRUE(redshift.createTable(table, block[0]));
    redshift.schemaCache.clear();
    LogCapture log;
    EXPECT_TRUE(redshift.checkTableExists(table, block[0]));
    EXPECT_EQ(redshift.schemaCache[table], withFixed({{"temperature", " REAL "}, {"count", " BIGINT "}}));
    EXPECT_FALSE(redshift.checkTableSchema(table, block[0]));
}

TEST_F(Schema, EveryReadingIsResolvedToItsTableAndMadeReady) {
    Block block;
    block.add("pump 1", {dpInt("v", 1)});
    block.add("ignored", {dpInt("v", 1), dpHint("{\"tablename\": \"Line-A\", \"tablename\": \"second\"}")});
    for (const char* hint : {"{\"tablename\": \"\"}", "{\"tablename\": 5}", "{\"tablename\": null}", "{\"x\": 1}",
                             "[\"tablename\"]", "7"})
        block.add("res_fallback", {dpHint(hint)});
    block.add("res_fallback", {dpHint("abc")});
    block.add("res_fallback", {dpHint("{\"tablename\": \"a\"} {\"tablename\": \"b\"}")});
    block.add("res_fallback", {dpHint("\"")});
    block.add("ignored", {dpHint("\"{\\\"tablename\\\": \\\"res_\\u0042\\\"}\"")});

    LogCapture log;
    TableNameList failed;
    TableIndexMap ready;
    redshift.createTablesFromPayload(block.readings(), failed, ready);
    EXPECT_TRUE(failed.empty());
    EXPECT_EQ(ready, (TableIndexMap{{"Line_A", 0}, {"pump_1", 0}, {"res_fallback", 0}, {"res_u0042", 0}}));
    EXPECT_EQ(log.count("Could not parse AWS Redshift Hints JSON"), 3u);
    EXPECT_TRUE(log.contains("debug: Could not parse AWS Redshift Hints JSON : abc "));
    EXPECT_TRUE(log.contains("debug: Could not parse AWS Redshift Hints JSON :  "));
    EXPECT_EQ(databaseColumns("line_a").size(), 5u);
}

TEST_F(Schema, FailedTablesAreListedOncePerReading) {
    server().exec("CREATE FUNCTION refuse_res_bad() RETURNS event_trigger LANGUAGE plpgsql AS $$ BEGIN "
                  "IF current_query() LIKE '%res_bad%' THEN RAISE EXCEPTION 'refused'; END IF; END $$");
    server().exec("CREATE EVENT TRIGGER refuse_res_bad ON ddl_command_end EXECUTE FUNCTION refuse_res_bad()");
    Block block;
    block.add("res_bad", {dpInt("v", 1)});
    block.add("res_bad", {dpInt("v", 1)});
    block.add("res_bad", {dpInt("v", 1)});
    block.add("", {dpInt("v", 1)});
    // Ready for its first reading, then an alteration fails for the second.
    block.add("res_half", {dpInt("v", 1)});
    block.add("res_half", {dpInt("res_bad", 1)});
    LogCapture log;
    TableNameList failed;
    TableIndexMap ready;
    redshift.createTablesFromPayload(block.readings(), failed, ready);
    server().exec("DROP EVENT TRIGGER refuse_res_bad");
    EXPECT_EQ(failed, (TableNameList{"res_bad", "res_bad", "res_bad", "", "res_half"}));
    EXPECT_EQ(ready, (TableIndexMap{{"res_half", 0}}));
}
