// The whole plugin through its five entry points, as the host drives it:
// what the database holds afterwards is what was sent.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "builders.h"
#include "log_capture.h"
#include "pg_server.h"
#include "plugin_api.h"
#include "redshift.h"

using namespace testsupport;

namespace {

PgServer& server() { return PgServer::instance(); }

// The library loaded as the host loads it.
struct Plugin {
    Plugin() {
        library = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!library) throw std::runtime_error(dlerror());
        info = reinterpret_cast<plugin_info_fn>(dlsym(library, "plugin_info"));
        init = reinterpret_cast<plugin_init_fn>(dlsym(library, "plugin_init"));
        start = reinterpret_cast<plugin_start_fn>(dlsym(library, "plugin_start"));
        send = reinterpret_cast<plugin_send_fn>(dlsym(library, "plugin_send"));
        shutdown = reinterpret_cast<plugin_shutdown_fn>(dlsym(library, "plugin_shutdown"));
    }
    ~Plugin() { dlclose(library); }
    void* library;
    plugin_info_fn info;
    plugin_init_fn init;
    plugin_start_fn start;
    plugin_send_fn send;
    plugin_shutdown_fn shutdown;
};

Plugin& plugin() {
    static Plugin loaded;
    return loaded;
}

// One started plugin instance; shut down (and its cache text kept) at the end.
struct Instance {
    explicit Instance(std::unique_ptr<ConfigCategory> config, const std::string& stored = "") {
        handle = plugin().init(config.get());
        startResult = plugin().start(handle, stored);
    }
    ~Instance() {
        if (handle) plugin().shutdown(handle);
    }
    uint32_t send(const Block& block) { return plugin().send(handle, block.readings()); }
    std::string shutdown() {
        std::string text = plugin().shutdown(handle);
        handle = nullptr;
        return text;
    }
    PLUGIN_HANDLE handle;
    int startResult;
};

long rowCount(const std::string& table, const std::string& db = "vantrel") {
    return std::stol(server().scalar("SELECT count(*) FROM " + table, db));
}

}  // namespace

TEST(Delivery, WorkedExampleArrivesRowByRow) {
    Instance instance(serverConfig(server().port(), "kvbn", "site1"));
    EXPECT_EQ(instance.startResult, -1);  // nothing stored yet
    Block block;
    block.add("deliv_pump", {dpInt("speed", 1200), dpFloat("temp", 21.5)}, kTestTime, kTestTime + 1);
    block.add("deliv_pump", {dpString("state", "running")});
    EXPECT_EQ(instance.send(block), 2u);
    auto rows = server().queryNullable(
        "SELECT asset_code, to_char(user_ts AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.US'), "
        "to_char(ts AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.US'), vantrel, speed, state, temp "
        "FROM deliv_pump ORDER BY speed NULLS LAST");
    ASSERT_EQ(rows.size(), 2u);
    using R = PgServer::NullableRow;
    EXPECT_EQ(rows[0], (R{"deliv_pump", "2026-12-06 10:00:00.123456", "2026-12-06 10:00:00.123457", "site1", "1200",
                          "", "21.5"}));
    EXPECT_EQ(rows[1], (R{"deliv_pump", "2026-12-06 10:00:00.123456", "2026-12-06 10:00:00.123456", "site1",
                          std::nullopt, "running", std::nullopt}));
    Block none;
    EXPECT_EQ(instance.send(none), 0u);
}

TEST(Delivery, TablesAreWrittenInNameOrderAndAFailureStopsTheRest) {
    Instance instance(serverConfig(server().port()));
    Block setup;  // the tables exist before the block under test
    for (const char* asset : {"ord_c", "ord_a", "ord_b"}) setup.add(asset, {dpString("s", "x")});
    ASSERT_EQ(instance.send(setup), 3u);

    LogCapture log;
    Block block;
    block.add("ord_c", {dpString("s", "c")});
    block.add("ord_b", {dpString("s", std::string(300, 'b'))});  // too long for its column
    block.add("ord_a", {dpString("s", "a1")});
    block.add("ord_a", {dpString("s", "a2")});
    EXPECT_EQ(instance.send(block), 2u);
    std::vector<std::string> statements = log.statements();
    ASSERT_EQ(statements.size(), 3u) << log.dump();  // a, then b, then b once more after reconnecting
    EXPECT_EQ(statements[0].rfind("INSERT INTO  ord_a ", 0), 0u);
    EXPECT_EQ(statements[1].rfind("INSERT INTO  ord_b ", 0), 0u);
    EXPECT_EQ(statements[2], statements[1]);
    EXPECT_EQ(rowCount("ord_a"), 3);
    EXPECT_EQ(rowCount("ord_b"), 1);
    EXPECT_EQ(rowCount("ord_c"), 1);
}

TEST(Delivery, AwkwardTextIsStoredByteForByteInBothStringModes) {
    const std::vector<std::string> values = {
        "it's", "back\\slash", "trailing\\", "';--", "'); DROP TABLE x; --", "tab\there", "line\nbreak\r\n",
        "\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8c\xa1", "\\'", "''", "\\\\", "E'x'", "$$dollar$$", "",
    };
    for (bool standard : {true, false}) {
        std::string db = standard ? "strings_on" : "strings_off";
        server().createDatabase(db, standard);
        auto config = serverConfig(server().port(), "kvbn", "inst'\\ance");
        config->setValue("dbName", db);
        Instance instance(std::move(config));
        Block block;
        for (size_t i = 0; i < values.size(); ++i)
            block.add("as'set\\" + std::to_string(i), {dpInt("n", static_cast<long>(i)), dpString("v", values[i]),
                                                       dpHint("{\"tablename\": \"texts\"}")});
        ASSERT_EQ(instance.send(block), values.size()) << db;
        auto rows = server().query("SELECT n, v, asset_code, vantrel FROM texts ORDER BY n", db);
        ASSERT_EQ(rows.size(), values.size());
        for (size_t i = 0; i < values.size(); ++i) {
            EXPECT_EQ(rows[i][1], values[i]) << db << " value " << i;
            EXPECT_EQ(rows[i][2], "as'set\\" + std::to_string(i)) << db;
            EXPECT_EQ(rows[i][3], "inst'\\ance") << db;
        }
    }
}

TEST(Delivery, NumbersAreStoredOrNulledByTheColumnsType) {
    Instance instance(serverConfig(server().port()));
    Block create;
    create.add("nums", {dpInt("b", 1), dpFloat("r", 1.5), dpString("s", "x"), dpInt("seq", 0)});
    ASSERT_EQ(instance.send(create), 1u);
    const double inf = std::numeric_limits<double>::infinity();
    Block block;
    auto add = [&block](long seq, Datapoint* b, Datapoint* r, Datapoint* s) {
        block.add("nums", {dpInt("seq", seq), b, r, s});
    };
    add(1, dpFloat("b", 42.0), dpInt("r", 7), dpInt("s", 5));
    add(2, dpFloat("b", 42.5), dpFloat("r", std::nan("")), dpFloat("s", 0.25));
    add(3, dpFloat("b", 1e30), dpFloat("r", inf), dpString("s", "ok"));
    add(4, dpString("b", "12"), dpFloat("r", -inf), dpString("s", "ok"));
    add(5, dpInt("b", std::numeric_limits<long>::min()), dpString("r", "1.5"), dpString("s", "ok"));
    add(6, dpFloat("b", std::nan("")), dpFloat("r", 1e300), dpString("s", "ok"));
    add(7, dpInt("b", -1), dpFloat("r", -2.5e-3), dpString("s", "ok"));
    EXPECT_EQ(instance.send(block), 7u);
    auto rows = server().queryNullable("SELECT b, r, s FROM nums WHERE seq > 0 ORDER BY seq");
    using R = PgServer::NullableRow;
    std::vector<R> expected = {
        {"42", "7", "5"},
        {std::nullopt, std::nullopt, "0.25"},
        {std::nullopt, std::nullopt, "ok"},
        {std::nullopt, std::nullopt, "ok"},
        {"-9223372036854775808", std::nullopt, "ok"},
        {std::nullopt, std::nullopt, "ok"},
        {"-1", "-0.0025", "ok"},
    };
    EXPECT_EQ(rows, expected);
}

TEST(Delivery, NestedValuesArriveInTheirColumns) {
    Instance instance(serverConfig(server().port()));
    Block block;
    block.add("nested_t", {dpNested("motor", {dpInt("rpm", 3000), dpNested("state", {dpString("code", "ok")})}),
                           dpFloat("temp", 20)});
    block.add("nested_t", {dpNested("motor", {dpNested("state", {dpString("code", "stalled")}), dpInt("rpm", 0)})});
    EXPECT_EQ(instance.send(block), 2u);
    auto rows = server().queryNullable("SELECT motor_rpm, motor_state_code, temp FROM nested_t ORDER BY motor_rpm");
    using R = PgServer::NullableRow;
    EXPECT_EQ(rows, (std::vector<R>{{"0", "stalled", std::nullopt}, {"3000", "ok", "20"}}));
}

TEST(Delivery, StoredCacheSparesEverySchemaQueryAfterARestart) {
    std::string stored;
    {
        Instance first(serverConfig(server().port()));
        Block block;
        block.add("restart_a", {dpInt("x", 1)});
        block.add("restart_b", {dpString("y", "a")});
        ASSERT_EQ(first.send(block), 2u);
        stored = first.shutdown();
    }
    EXPECT_NE(stored.find("\"tablename\":\"restart_a\""), std::string::npos);
    Instance second(serverConfig(server().port()), stored);
    EXPECT_EQ(second.startResult, 0);
    LogCapture log;
    Block block;
    block.add("restart_b", {dpString("y", "b")});
    block.add("restart_a", {dpInt("x", 2)});
    EXPECT_EQ(second.send(block), 2u);
    std::vector<std::string> statements = log.statements();
    ASSERT_EQ(statements.size(), 2u) << log.dump();
    EXPECT_EQ(statements[0].rfind("INSERT INTO  restart_a ", 0), 0u);
    EXPECT_EQ(statements[1].rfind("INSERT INTO  restart_b ", 0), 0u);
    EXPECT_EQ(second.shutdown(), stored);
}

TEST(Delivery, AnOutageCostsOnlyADelay) {
    Instance instance(serverConfig(server().port()));
    long sent = 0;
    auto block = [](int n) {
        auto b = std::make_unique<Block>();
        for (int i = 0; i < n; ++i) b->add("outage_t", {dpInt("i", i)});
        return b;
    };
    auto first = block(3);
    sent += instance.send(*first);
    EXPECT_EQ(sent, 3);
    server().stop();
    {
        LogCapture quiet(Logger::Level::Error);
        auto during = block(4);
        EXPECT_EQ(instance.send(*during), 0u);
        sent += 0;
    }
    server().start();
    auto after = block(5);
    EXPECT_EQ(instance.send(*after), 5u);
    sent += 5;
    EXPECT_EQ(rowCount("outage_t"), sent);
}

TEST(Delivery, ShutdownRightAfterAnEmptyStartGivesTheEmptyCache) {
    Instance instance(pluginConfig({{"host", "127.0.0.1"}, {"port", "1"}}));
    EXPECT_EQ(instance.startResult, -1);
    EXPECT_EQ(instance.shutdown(), "{\"Items\":[]}");
}

TEST(Delivery, OversizedStatementsAreSplitAndCountedOneByOne) {
    Redshift redshift;
    redshift.configure(serverConfig(server().port()).get());
    Block setup;
    setup.add("split_t", {dpString("s", "x")});
    ASSERT_EQ(redshift.send(setup.readings()), 1u);

    redshift.maxStatementBytes = 400;
    Block block;
    for (int i = 0; i < 10; ++i) block.add("split_t", {dpString("s", "value " + std::to_string(i))});
    LogCapture log;
    EXPECT_EQ(redshift.send(block.readings()), 10u);
    size_t inserts = 0;
    for (const std::string& message : log.messages(Logger::Level::Debug)) {
        if (message.rfind("** Execute Query ==> INSERT INTO  split_t ", 0) != 0) continue;
        ++inserts;
        EXPECT_LE(message.size() - 21, 400u);
    }
    EXPECT_GT(inserts, 2u);
    EXPECT_EQ(rowCount("split_t"), 11);

    // A statement that fails stops the ones after it; those before it count.
    Block failing;
    for (int i = 0; i < 10; ++i)
        failing.add("split_t", {dpString("s", i == 6 ? std::string(300, 'x') : "value " + std::to_string(i))});
    {
        LogCapture quiet(Logger::Level::Error);
        uint32_t sent = redshift.send(failing.readings());
        EXPECT_GT(sent, 0u);
        EXPECT_LE(sent, 6u);
        EXPECT_EQ(rowCount("split_t"), 11 + static_cast<long>(sent));
    }
}
