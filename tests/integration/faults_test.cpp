// Faults between the plugin and the database, made by the server itself: a
// cut (the session terminated) and a refusal (the database takes no new
// sessions). What must hold: the database holds what send() counted, and once
// the database is reachable again everything arrives. (A lost COMMIT reply is
// exactly_once_test's.)
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "builders.h"
#include "log_capture.h"
#include "test_db.h"

using namespace testsupport;

namespace {

TestDb& db() { return TestDb::get(); }

// Readings numbered first..first+n-1 in column "seq", for each asset.
Block numbered(std::initializer_list<const char*> assets, long first, int n) {
    Block block;
    for (const char* asset : assets)
        for (int i = 0; i < n; ++i) block.add(asset, {dpInt("seq", first + i), dpString("label", asset)});
    return block;
}

// A plugin object whose tables for `assets` exist and are cached, so that
// the next send runs INSERTs only.
struct Ready {
    explicit Ready(std::initializer_list<const char*> assets) {
        redshift.configure(db().config().get());
        EXPECT_EQ(redshift.send(numbered(assets, -1, 1).readings()), assets.size());
    }
    uint32_t send(const Block& block) { return redshift.send(block.readings()); }
    Redshift redshift;
};

}  // namespace

TEST(Cut, BeforeAStatementItIsRunAgainOnANewSessionEveryTime) {
    Ready ready({"cut_before"});
    LogCapture log;
    for (int cut = 0; cut < 3; ++cut) {
        db().terminateSessions();
        EXPECT_EQ(ready.send(numbered({"cut_before"}, cut * 200, 200)), 200u) << log.dump();
    }
    EXPECT_EQ(log.count("AWS Redshift connect retry count 3"), 3u) << "three cuts, three reconnections";
    EXPECT_EQ(db().scalar("SELECT count(*) || ' rows, ' || count(DISTINCT seq) || ' distinct' FROM cut_before"),
              "601 rows, 601 distinct");
}

// The block's INSERT into its second table waits for a lock another session
// holds; its session is terminated while it waits, so nothing of the block
// committed, and the whole block runs once more.
TEST(Cut, WhileABlockWaitsItRunsAgainOnANewSessionAndArrivesOnce) {
    Ready ready({"wait_a", "wait_b"});
    Client lock(db().connectString());
    lock.exec("BEGIN");
    lock.exec("LOCK TABLE wait_b IN ACCESS EXCLUSIVE MODE");
    Block block = numbered({"wait_a", "wait_b"}, 0, 100);
    uint32_t sent = 0;
    LogCapture log;
    std::thread sender([&] { sent = ready.send(block); });
    std::string waiting;
    for (int i = 0; i < 1000 && waiting.empty(); ++i) {
        auto found = db().query(
            "SELECT pid FROM pg_stat_activity WHERE datname = current_database() AND wait_event_type = 'Lock'");
        if (found.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        else waiting = found[0][0].value_or("");
    }
    const bool cut = !waiting.empty() && db().scalar("SELECT pg_terminate_backend(" + waiting + ", 10000)") == "t";
    lock.exec("COMMIT");
    sender.join();
    ASSERT_TRUE(cut) << "no INSERT ever waited for the lock, so nothing was cut";
    EXPECT_EQ(sent, 200u) << log.dump();
    EXPECT_EQ(log.count("AWS Redshift connect retry count 3"), 1u) << log.dump();
    EXPECT_EQ(db().scalar("SELECT count(*) FROM wait_a"), "101");
    EXPECT_EQ(db().scalar("SELECT count(*) FROM wait_b"), "101");
}

TEST(Refusal, EveryAttemptRefusedSendsNothingUntilTheDatabaseTakesSessionsAgain) {
    Ready ready({"refused"});
    db().allowConnections(false);
    db().terminateSessions();
    LogCapture log;
    const uint32_t during = ready.send(numbered({"refused"}, 100, 30));
    db().allowConnections(true);
    EXPECT_EQ(during, 0u);
    EXPECT_EQ(log.count("AWS Redshift connect retry count 3"), 3u) << log.dump();
    EXPECT_EQ(log.count("Could not connect to AWS Redshift after 3 attempts"), 1u) << log.dump();
    EXPECT_EQ(ready.send(numbered({"refused"}, 300, 30)), 30u);
    EXPECT_EQ(db().scalar("SELECT count(*) || ' rows, ' || count(*) FILTER (WHERE seq BETWEEN 100 AND 199) || "
                          "' of the refused block' FROM refused"),
              "31 rows, 0 of the refused block");
}
