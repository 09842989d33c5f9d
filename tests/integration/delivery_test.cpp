// The whole plugin through its five entry points, as the host drives it:
// what the database holds afterwards is what was sent.

#include <climits>

#include "integration.h"
#include "plugin_host.h"

using namespace testsupport;

class Delivery : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Servers, Delivery, ::testing::Values(false, true));

// Readings arrive row by row, every value in its column; a block is written
// whole, in table name order, or not at all. Against the server as it is,
// and through a relay that reports Redshift's version, 8.0.2, so that the
// plugin takes Redshift's rules because the server said so.
TEST_P(Delivery, ReadingsArriveWithEveryValueInItsColumnAndABlockWholeInTableOrderOrNotAtAll) {
    Relay relay(db().port());
    relay.reportRedshiftVersion(GetParam());
    LogCapture log(Logger::Level::Debug);
    pluginhost::PluginHost host(PLUGIN_PATH);
    PLUGIN_HANDLE handle = host.init(*configWith(GetParam() ? Items{via(relay)} : Items{}));
    host.start(handle, "{\"Items\":[]}");
    auto send = [&](const Block& block) { return host.send(handle, block.readings()); };
    EXPECT_EQ(log.count(GetParam() ? "server version 80002" : "server version 15"), 1u) << log.dump();
    const std::string rs = GetParam() ? "_rs" : "", pump = "deliv pump" + rs;
    Block block;
    block.add(pump, {dpInt("speed", 1200), dpFloat("temp", 21.5),
                     dpNested("motor", {dpInt("rpm", 3), dpNested("state", {dpString("code", "ok")})})},
              kTestTime, kTestTime + 1);
    // A new column on the way, and values converted to their column's type where that is exact.
    block.add(pump, {dpString("state", "running"), dpFloat("speed", 42.0), dpInt("temp", 7)});
    block.add(pump, {dpInt("speed", LONG_MIN), dpFloat("temp", -2.5e-3), dpFloat("motor_rpm", 0.5)});
    EXPECT_EQ(send(block), 3u);
    Rows rows = db().query(
        "SELECT asset_code, to_char(user_ts AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.US'), "
        "to_char(ts AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.US'), vantrel, speed, temp, motor_rpm, "
        "motor_state_code, state FROM deliv_pump" + rs + " ORDER BY speed");
    const std::string at = "2026-12-06 10:00:00.123456";
    EXPECT_EQ(rows, (Rows{{pump, at, at, "site1", "-9223372036854775808", "-0.0025", std::nullopt, "", ""},
                          {pump, at, at, "site1", "42", "7", std::nullopt, "", "running"},
                          {pump, at, "2026-12-06 10:00:00.123457", "site1", "1200", "21.5", "3", "ok", ""}}));
    EXPECT_EQ(send(Block()), 0u);

    const std::string a = "ord_a" + rs, b = "ord_b" + rs, c = "ord_c" + rs;
    Block setup, ordered;  // the tables exist before the block under test
    for (const std::string& asset : {c, a, b}) setup.add(asset, {dpString("s", "x")});
    for (const std::string& asset : {c, b, a, a}) ordered.add(asset, {dpString("s", "y")});
    ASSERT_EQ(send(setup), 3u);
    // A failure that belongs to no reading: nothing of the block is written.
    db().exec("REVOKE INSERT ON " + b + " FROM redshift");
    log.clear();
    EXPECT_EQ(send(ordered), 0u);
    EXPECT_EQ(log.count("error: "), 1u) << log.dump();
    EXPECT_EQ(log.count("4 readings for " + a + ", " + b + ", " + c), 1u) << "the error names what it cost";
    db().exec("GRANT INSERT ON " + b + " TO redshift");
    log.clear();
    EXPECT_EQ(send(ordered), 4u);
    EXPECT_EQ(cell("SELECT count(*) FROM " + a) + cell("SELECT count(*) FROM " + b) + cell("SELECT count(*) FROM " + c),
              "322");
    EXPECT_EQ(log.statementsAt("INSERT INTO  ord_").size(), 3u) << log.dump();
    EXPECT_LT(log.statementsAt("INSERT INTO  " + a).at(0), log.statementsAt("INSERT INTO  " + b).at(0));
    EXPECT_LT(log.statementsAt("INSERT INTO  " + b).at(0), log.statementsAt("INSERT INTO  " + c).at(0));
    host.shutdown(handle);
}
