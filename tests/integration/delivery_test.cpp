// The whole plugin through its five entry points, as the host drives it:
// what the database holds afterwards is what was sent.
#include <gtest/gtest.h>

#include <climits>

#include "builders.h"
#include "log_capture.h"
#include "plugin_host.h"
#include "test_db.h"

using namespace testsupport;

namespace {

TestDb& db() { return TestDb::get(); }
using Rows = std::vector<std::vector<std::optional<std::string>>>;

// One started plugin instance, shut down at the end.
struct Instance {
    explicit Instance(std::unique_ptr<ConfigCategory> config) : handle(plugin.init(*config)) {
        plugin.start(handle, "{\"Items\":[]}");
    }
    ~Instance() { plugin.shutdown(handle); }
    uint32_t send(const Block& block) { return plugin.send(handle, block.readings()); }
    static inline pluginhost::PluginHost plugin{PLUGIN_PATH};
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

TEST(Delivery, ABlockIsWrittenWholeInTableNameOrderOrNotAtAll) {
    Instance instance(db().config());
    Block setup;  // the tables exist before the block under test
    for (const char* asset : {"ord_c", "ord_a", "ord_b"}) setup.add(asset, {dpString("s", "x")});
    ASSERT_EQ(instance.send(setup), 3u);
    Block block;
    for (const char* asset : {"ord_c", "ord_b", "ord_a", "ord_a"}) block.add(asset, {dpString("s", "y")});
    // A failure that belongs to no reading: nothing of the block is written.
    db().exec("REVOKE INSERT ON ord_b FROM redshift");
    LogCapture log;
    EXPECT_EQ(instance.send(block), 0u);
    EXPECT_EQ(log.count("error: "), 1u) << log.dump();
    EXPECT_EQ(log.count("4 readings for ord_a, ord_b, ord_c"), 1u) << "the error names what it cost: " << log.dump();
    db().exec("GRANT INSERT ON ord_b TO redshift");
    log.clear();
    EXPECT_EQ(instance.send(block), 4u);
    EXPECT_EQ(count("ord_a") + count("ord_b") + count("ord_c"), 7);
    std::vector<std::string> inserts;
    for (const std::string& statement : log.statements())
        if (statement.rfind("INSERT INTO  ord_", 0) == 0) inserts.push_back(statement.substr(13, 5));
    EXPECT_EQ(inserts, (std::vector<std::string>{"ord_a", "ord_b", "ord_c"}));
}

TEST(Delivery, AnOversizedTableIsSplitOverStatementsAndEveryRowArrives) {
    Redshift::Options options;
    options.maxRequestBytes = 400;
    Redshift redshift(options);
    redshift.configure(db().config().get());
    Block setup;
    setup.add("split_t", {dpString("s", "x")});
    ASSERT_EQ(redshift.send(setup.readings()), 1u);
    LogCapture log;
    Block block;
    for (int i = 0; i < 10; ++i) block.add("split_t", {dpString("s", "value " + std::to_string(i))});
    EXPECT_EQ(redshift.send(block.readings()), 10u);
    size_t inserts = 0;
    for (const std::string& statement : log.statements()) {
        inserts += statement.rfind("INSERT INTO  split_t ", 0) == 0;
        EXPECT_LE(statement.size(), 400u);
    }
    EXPECT_GT(inserts, 2u);
    EXPECT_EQ(count("split_t"), 11);
}
