// The whole plugin through its five entry points, as the host drives it:
// what the database holds afterwards is what was sent.
#include <gtest/gtest.h>

#include <climits>

#include "builders.h"
#include "log_capture.h"
#include "plugin_loader.h"
#include "test_db.h"

using namespace testsupport;

namespace {

TestDb& db() { return TestDb::get(); }
using Rows = std::vector<std::vector<std::optional<std::string>>>;

// One started plugin instance, shut down at the end.
struct Instance {
    explicit Instance(std::unique_ptr<ConfigCategory> config) : handle(plugin.init(config.get())) {
        plugin.start(handle, "{\"Items\":[]}");
    }
    ~Instance() { plugin.shutdown(handle); }
    uint32_t send(const Block& block) { return plugin.send(handle, block.readings()); }
    static inline PluginLibrary plugin;
    PLUGIN_HANDLE handle;
};

long count(const std::string& table) { return std::stol(db().scalar("SELECT count(*) FROM " + table)); }

}  // namespace

TEST(Delivery, ReadingsArriveRowByRowWithEveryValueInItsColumn) {
    Instance instance(db().config("site1"));
    Block block;
    block.add("deliv pump", {dpInt("speed", 1200), dpFloat("temp", 21.5),
                             dpNested("motor", {dpInt("rpm", 3), dpNested("state", {dpString("code", "ok")})})},
              kTestTime, kTestTime + 1);
    // A new column on the way, and values converted to their column's type where that is exact.
    block.add("deliv pump", {dpString("state", "running"), dpFloat("speed", 42.0), dpInt("temp", 7)});
    block.add("deliv pump", {dpInt("speed", LONG_MIN), dpFloat("temp", -2.5e-3), dpFloat("motor_rpm", 0.5)});
    EXPECT_EQ(instance.send(block), 3u);
    Rows rows = db().query(
        "SELECT asset_code, to_char(user_ts AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.US'), "
        "to_char(ts AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.US'), vantrel, speed, temp, motor_rpm, "
        "motor_state_code, state FROM deliv_pump ORDER BY speed");
    const std::string at = "2026-12-06 10:00:00.123456";
    EXPECT_EQ(rows, (Rows{{"deliv pump", at, at, "site1", "-9223372036854775808", "-0.0025", std::nullopt, "", ""},
                          {"deliv pump", at, at, "site1", "42", "7", std::nullopt, "", "running"},
                          {"deliv pump", at, "2026-12-06 10:00:00.123457", "site1", "1200", "21.5", "3", "ok", ""}}));
    EXPECT_EQ(instance.send(Block()), 0u);
}

TEST(Delivery, TablesAreWrittenInNameOrderAndTheCountIsWhatTheDatabaseHolds) {
    Instance instance(db().config());
    Block setup;  // the tables exist before the block under test
    for (const char* asset : {"ord_c", "ord_a", "ord_b"}) setup.add(asset, {dpString("s", "x")});
    ASSERT_EQ(instance.send(setup), 3u);
    LogCapture log;
    Block block;
    block.add("ord_c", {dpString("s", "c")});
    block.add("ord_b", {dpString("s", std::string(300, 'b'))});  // too long for its column: fails
    block.add("ord_a", {dpString("s", "a1")});
    block.add("ord_a", {dpString("s", "a2")});
    const uint32_t sent = instance.send(block);
    EXPECT_LT(sent, 4u);
    EXPECT_EQ(static_cast<long>(sent), count("ord_a") + count("ord_b") + count("ord_c") - 3) << log.dump();
    // Tables go in name order and the first that fails stops the block: ord_c is never tried.
    const std::vector<std::string> statements = log.statements();
    ASSERT_FALSE(statements.empty());
    EXPECT_EQ(statements[0].rfind("INSERT INTO  ord_a ", 0), 0u) << statements[0];
    for (const std::string& statement : statements) EXPECT_EQ(statement.find("ord_c"), std::string::npos);
}

TEST(Delivery, AnOversizedTableIsSplitOverStatementsAndEveryRowArrives) {
    Redshift redshift;
    redshift.configure(db().config().get());
    Block setup;
    setup.add("split_t", {dpString("s", "x")});
    ASSERT_EQ(redshift.send(setup.readings()), 1u);
    redshift.maxStatementBytes = 400;
    LogCapture log;
    Block block;
    for (int i = 0; i < 10; ++i) block.add("split_t", {dpString("s", "value " + std::to_string(i))});
    EXPECT_EQ(redshift.send(block.readings()), 10u);
    EXPECT_GT(log.statements().size(), 2u);
    for (const std::string& statement : log.statements()) EXPECT_LE(statement.size(), 400u);
    EXPECT_EQ(count("split_t"), 11);
}
