// The whole plugin through its five entry points, as the host drives it:
// what the database holds afterwards is what was sent.
#include <gtest/gtest.h>

#include <climits>

#include "builders.h"
#include "log_capture.h"
#include "plugin_host.h"
#include "relay.h"
#include "test_db.h"

using namespace testsupport;

namespace {

TestDb& db() { return TestDb::get(); }

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

// Each case runs against the server as it is, and through a relay that
// reports Redshift's version, 8.0.2, so that the plugin takes Redshift's
// rules because the server said so.
class Delivery : public ::testing::TestWithParam<bool> {
protected:
    std::unique_ptr<ConfigCategory> config(const std::string& instance = "site1") {
        auto config = db().config(instance);
        if (GetParam()) config->setValue("port", std::to_string(relay.port()));
        return config;
    }
    // A table name of this case's own.
    std::string table(const std::string& name) { return name + (GetParam() ? "_rs" : ""); }
    Relay relay{db().port()};
    void SetUp() override { relay.reportRedshiftVersion(GetParam()); }
};
INSTANTIATE_TEST_SUITE_P(Servers, Delivery, ::testing::Values(false, true));

TEST_P(Delivery, ReadingsArriveRowByRowWithEveryValueInItsColumn) {
    LogCapture log(Logger::Level::Debug);
    Instance instance(config());
    EXPECT_EQ(log.count(GetParam() ? "server version 80002" : "server version 15"), 1u) << log.dump();
    const std::string pump = table("deliv pump");
    Block block;
    block.add(pump, {dpInt("speed", 1200), dpFloat("temp", 21.5),
                             dpNested("motor", {dpInt("rpm", 3), dpNested("state", {dpString("code", "ok")})})},
              kTestTime, kTestTime + 1);
    // A new column on the way, and values converted to their column's type where that is exact.
    block.add(pump, {dpString("state", "running"), dpFloat("speed", 42.0), dpInt("temp", 7)});
    block.add(pump, {dpInt("speed", LONG_MIN), dpFloat("temp", -2.5e-3), dpFloat("motor_rpm", 0.5)});
    EXPECT_EQ(instance.send(block), 3u);
    Rows rows = db().query(
        "SELECT asset_code, to_char(user_ts AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.US'), "
        "to_char(ts AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.US'), vantrel, speed, temp, motor_rpm, "
        "motor_state_code, state FROM " + table("deliv_pump") + " ORDER BY speed");
    const std::string at = "2026-12-06 10:00:00.123456";
    EXPECT_EQ(rows, (Rows{{pump, at, at, "site1", "-9223372036854775808", "-0.0025", std::nullopt, "", ""},
                          {pump, at, at, "site1", "42", "7", std::nullopt, "", "running"},
                          {pump, at, "2026-12-06 10:00:00.123457", "site1", "1200", "21.5", "3", "ok", ""}}));
    EXPECT_EQ(instance.send(Block()), 0u);
}

TEST_P(Delivery, ABlockIsWrittenWholeInTableNameOrderOrNotAtAll) {
    Instance instance(config());
    const std::string a = table("ord_a"), b = table("ord_b"), c = table("ord_c");
    Block setup;  // the tables exist before the block under test
    for (const std::string& asset : {c, a, b}) setup.add(asset, {dpString("s", "x")});
    ASSERT_EQ(instance.send(setup), 3u);
    Block block;
    for (const std::string& asset : {c, b, a, a}) block.add(asset, {dpString("s", "y")});
    // A failure that belongs to no reading: nothing of the block is written.
    db().exec("REVOKE INSERT ON " + b + " FROM redshift");
    LogCapture log;
    EXPECT_EQ(instance.send(block), 0u);
    EXPECT_EQ(log.count("error: "), 1u) << log.dump();
    EXPECT_EQ(log.count("4 readings for " + a + ", " + b + ", " + c), 1u) << "the error names what it cost: "
                                                                          << log.dump();
    db().exec("GRANT INSERT ON " + b + " TO redshift");
    log.clear();
    EXPECT_EQ(instance.send(block), 4u);
    EXPECT_EQ(count(a) + count(b) + count(c), 7);
    std::vector<std::string> inserts;
    for (const std::string& statement : log.statements())
        if (statement.rfind("INSERT INTO  ord_", 0) == 0) inserts.push_back(statement.substr(13, b.size()));
    EXPECT_EQ(inserts, (std::vector<std::string>{a, b, c}));
}

TEST_P(Delivery, AnOversizedTableIsSplitOverStatementsAndEveryRowArrives) {
    Redshift::Options options;
    options.maxRequestBytes = 400;
    Redshift redshift(options);
    redshift.configure(config().get());
    const std::string split = table("split_t");
    Block setup;
    setup.add(split, {dpString("s", "x")});
    ASSERT_EQ(redshift.send(setup.readings()), 1u);
    LogCapture log;
    Block block;
    for (int i = 0; i < 10; ++i) block.add(split, {dpString("s", "value " + std::to_string(i))});
    EXPECT_EQ(redshift.send(block.readings()), 10u);
    size_t inserts = 0;
    for (const std::string& statement : log.statements()) {
        inserts += statement.rfind("INSERT INTO  " + split + " ", 0) == 0;
        EXPECT_LE(statement.size(), 400u);
    }
    EXPECT_GT(inserts, 2u);
    EXPECT_EQ(count(split), 11);
}
