// Tables and the schema cache against a real server: discovery, creation,
// widening and the table each reading goes to.

#include "integration.h"

using namespace testsupport;

namespace {

// A catalogue on a session of its own, as the plugin's is.
struct Connected {
    Connected() : session(std::chrono::seconds(30)), catalogue(session) {
        session.setConnectString(db().connectString());
        EXPECT_TRUE(session.open() && session.learn(false));
    }
    ColumnList cached(const std::string& table) const {
        const TableSchema* schema = catalogue.cache().find(table);
        return schema ? schema->columns() : ColumnList{};
    }
    Session session;
    Catalogue catalogue;
};

class Schema : public ::testing::Test {
protected:
    // The cache holds `expected` for the table, and so does a new catalogue that reads it from the database.
    void expectColumns(std::string table, const ColumnList& expected) {
        EXPECT_EQ(connected.cached(table), expected) << table;
        Connected fresh;
        EXPECT_TRUE(fresh.catalogue.checkTableExists(table)) << table;
        EXPECT_EQ(fresh.cached(table), expected) << table << " in the database";
    }
    Connected connected;
    Catalogue& catalogue = connected.catalogue;
};

}  // namespace

// Create and alter make one column per name, in order; a failed alter keeps
// what it added; a table found is known from then on, and asks nothing more.
TEST_F(Schema, TablesAreMadeWidenedAndFoundWithOneColumnPerNameInOrder) {
    Block block;
    block.add("x", {dpFloat("temp", 1.5), dpHint("{}"), dpOpaque("cam", DP_IMAGE),
                    dpNested("motor", {dpInt("rpm", 1), dpNested("state", {dpString("code", "ok")})}),
                    dpInt("ts", 1), dpInt("a-b", 1), dpInt("a b", 2), dpFloat("Temp", 2), dpInt("user", 1)});
    block.add("x", {dpInt("user", 1), dpString("c d", "x"), dpString("c-d", "y"), dpInt("A_B", 2), dpHint("{}"),
                    dpOpaque("img", DP_IMAGE), dpNested("asset", {dpString("code", "x")}), dpString("order", "o")});
    block.add("x", {dpInt("x1", 1), dpInt("fail_me", 2), dpInt("x3", 3)});
    std::string table = "order";
    ASSERT_TRUE(catalogue.createTable(table, block[0]));
    EXPECT_TRUE(catalogue.checkTableSchema(table, block[1]));
    ASSERT_TRUE(catalogue.alterTable(table, block[1]));
    ColumnList columns = withFixed({{"temp", " REAL "}, {"motor_rpm", " BIGINT "},
                                    {"motor_state_code", " VARCHAR(256) "}, {"ts$", " BIGINT "}, {"a_b", " BIGINT "},
                                    {"user", " BIGINT "}, {"c_d", " VARCHAR(256) "}, {"asset_code$", " VARCHAR(256) "},
                                    {"order", " VARCHAR(256) "}});
    expectColumns(table, columns);
    LogCapture log;
    EXPECT_FALSE(catalogue.checkTableSchema(table, block[1]));
    EXPECT_TRUE(catalogue.alterTable(table, block[1]));
    EXPECT_TRUE(log.statements().empty()) << "nothing left to add";
    refuseDdl("%ADD fail_me%");
    EXPECT_FALSE(catalogue.alterTable(table, block[2]));
    allowDdl();
    columns.emplace_back("x1", " BIGINT ");
    expectColumns(table, columns);
    // Known, even once it is gone; a table the database lacks is asked for each time.
    Connected fresh;
    std::string missing = "disc_missing";
    ASSERT_TRUE(fresh.catalogue.checkTableExists(table));
    db().exec("DROP TABLE \"order\"");
    log.clear();
    EXPECT_TRUE(fresh.catalogue.checkTableExists(table));
    EXPECT_FALSE(fresh.catalogue.checkTableExists(missing));
    EXPECT_FALSE(fresh.catalogue.checkTableExists(missing));
    EXPECT_EQ(log.statements().size(), 2u);
}

// Each reading goes to its hinted or asset table; a table whose CREATE is
// refused is listed; a reading whose table is neither ready nor failed makes
// the block wait instead of being lost.
TEST_F(Schema, EveryReadingGoesToItsTableOrMakesTheBlockWait) {
    Block block;
    block.add("pump 1", {dpInt("v", 1)});
    block.add("ignored", {dpInt("v", 1), dpHint("{\"tablename\": \"Line-A\"}")});
    // A hint without a usable table name leaves the asset's table.
    for (const char* hint : {"{\"tablename\": \"\"}", "{\"tablename\": 5}", "{\"x\": 1}", "7", "abc", "\""})
        block.add("res_fallback", {dpHint(hint)});
    block.add("res_bad", {dpInt("v", 1)});
    refuseDdl("%res_bad%");
    LogCapture log(Logger::Level::Error);
    BlockTables tables = catalogue.createTablesFromPayload(block.readings());
    allowDdl();
    EXPECT_EQ(tables.keys[1], "line_a");
    EXPECT_EQ(tables.ready, (std::set<std::string>{"line_a", "pump_1", "res_fallback"}));
    EXPECT_EQ(tables.failed.size(), 1u);
    EXPECT_EQ(tables.failed.count("res_bad"), 1u);
    EXPECT_EQ(cell("SELECT string_agg(table_name, ',' ORDER BY table_name) FROM information_schema.tables WHERE "
                   "table_name IN ('line_a', 'pump_1', 'res_fallback', 'res_bad')"), "line_a,pump_1,res_fallback");
    tables.ready.erase("pump_1");
    BlockRows rows;
    BatchBuilder(catalogue, "site", false).createBatch(block.readings(), tables, rows);
    EXPECT_EQ(tables.firstWaiting(block.size()), 0u);
    EXPECT_EQ(log.count("table pump_1 was neither made ready nor found failing"), 1u);
}
