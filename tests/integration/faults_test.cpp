// Faults between the plugin and the database, made by the server itself: a
// cut (the session terminated) and a refusal (the database takes no new
// sessions). What must hold: the database holds what send() counted, and once
// the database is reachable again everything arrives, once. (A lost COMMIT
// reply is exactly_once_test's.)

#include "integration.h"

using namespace testsupport;

// Cut before a statement, three times; cut while the block's INSERT into its
// second table waits for a lock, so that nothing of the block committed; then
// every attempt refused.
TEST(Faults, ACutBlockRunsAgainOnANewSessionAndARefusedOneWaitsForTheDatabase) {
    auto redshift = plugin();
    ASSERT_EQ(redshift->send(Block{{"cut_1", {dpInt("n", -1)}}, {"wait_1", {dpInt("n", -1)}}}.readings()), 2u);
    LogCapture log;
    for (int cut = 0; cut < 3; ++cut) {
        db().terminateSessions();
        EXPECT_EQ(redshift->send(numbered("cut_1", cut * 200, cut * 200 + 200).readings()), 200u) << log.dump();
    }
    EXPECT_EQ(log.count("AWS Redshift connect retry count 3"), 3u) << "three cuts, three reconnections";

    Client lock = locking("wait_1");
    Block block = numbered("cut_1", 600, 700);
    for (int i = 0; i < 100; ++i) block.add("wait_1", {dpInt("n", i)});
    uint32_t sent = 0;
    std::thread sender([&] { sent = redshift->send(block.readings()); });
    const std::string waiting = lockWaiter();
    const bool cut = !waiting.empty() && cell("SELECT pg_terminate_backend(" + waiting + ", 10000)") == "t";
    lock.exec("COMMIT");
    sender.join();
    ASSERT_TRUE(cut) << "no INSERT ever waited for the lock, so nothing was cut";
    EXPECT_EQ(sent, 200u) << log.dump();
    EXPECT_EQ(log.count("AWS Redshift connect retry count 3"), 4u) << log.dump();
    expectExactly("wait_1", -1, 100);

    db().allowConnections(false);
    db().terminateSessions();
    EXPECT_EQ(redshift->send(numbered("cut_1", 1000, 1030).readings()), 0u);
    db().allowConnections(true);
    EXPECT_EQ(log.count("AWS Redshift connect retry count 3"), 7u) << log.dump();
    EXPECT_EQ(log.count("Could not connect to AWS Redshift after 3 attempts"), 1u) << log.dump();
    EXPECT_EQ(redshift->send(numbered("cut_1", 700, 730).readings()), 30u);
    expectExactly("cut_1", -1, 730);
}
