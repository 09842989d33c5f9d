// Faults between the plugin and the database, made by the server itself: a
// cut (the session terminated) and a refusal (the database takes no new
// sessions). What must hold: the database holds what send() counted, and once
// the database is reachable again everything arrives. (A lost COMMIT reply is
// exactly_once_test's.)

#include "integration.h"

using namespace testsupport;

namespace {

// A plugin object whose tables exist and are cached, so that the next send
// runs INSERTs only; each holds n = -1.
std::unique_ptr<Redshift> ready(std::initializer_list<const char*> tables) {
    auto redshift = plugin();
    Block block;
    for (const char* table : tables) block.add(table, {dpInt("n", -1)});
    EXPECT_EQ(redshift->send(block.readings()), block.size());
    return redshift;
}

}  // namespace

// Cut before a statement, three times, then every attempt refused: a cut
// block runs again on a new session, a refused one sends nothing until the
// database takes sessions again.
TEST(Faults, ACutBlockRunsAgainOnANewSessionAndARefusedOneWaitsForTheDatabase) {
    auto redshift = ready({"cut_before"});
    LogCapture log;
    for (int cut = 0; cut < 3; ++cut) {
        db().terminateSessions();
        EXPECT_EQ(redshift->send(numbered("cut_before", cut * 200, cut * 200 + 200).readings()), 200u) << log.dump();
    }
    EXPECT_EQ(log.count("AWS Redshift connect retry count 3"), 3u) << "three cuts, three reconnections";
    db().allowConnections(false);
    db().terminateSessions();
    const uint32_t during = redshift->send(numbered("cut_before", 1000, 1030).readings());
    db().allowConnections(true);
    EXPECT_EQ(during, 0u);
    EXPECT_EQ(log.count("AWS Redshift connect retry count 3"), 6u) << log.dump();
    EXPECT_EQ(log.count("Could not connect to AWS Redshift after 3 attempts"), 1u) << log.dump();
    EXPECT_EQ(redshift->send(numbered("cut_before", 600, 630).readings()), 30u);
    expectExactly("cut_before", -1, 630);
}

// The block's INSERT into its second table waits for a lock another session
// holds; its session is terminated while it waits, so nothing of the block
// committed, and the whole block runs once more.
TEST(Faults, ABlockCutWhileItWaitsRunsAgainOnANewSessionAndArrivesOnce) {
    auto redshift = ready({"wait_a", "wait_b"});
    Client lock = locking("wait_b");
    Block block = numbered("wait_a", 0, 100);
    for (int i = 0; i < 100; ++i) block.add("wait_b", {dpInt("n", i)});
    uint32_t sent = 0;
    LogCapture log;
    std::thread sender([&] { sent = redshift->send(block.readings()); });
    const std::string waiting = lockWaiter();
    const bool cut = !waiting.empty() && cell("SELECT pg_terminate_backend(" + waiting + ", 10000)") == "t";
    lock.exec("COMMIT");
    sender.join();
    ASSERT_TRUE(cut) << "no INSERT ever waited for the lock, so nothing was cut";
    EXPECT_EQ(sent, 200u) << log.dump();
    EXPECT_EQ(log.count("AWS Redshift connect retry count 3"), 1u) << log.dump();
    expectExactly("wait_a", -1, 100);
    expectExactly("wait_b", -1, 100);
}
