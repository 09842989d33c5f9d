// What a site relies on: a block is written whole and once, or not at all
// and kept for the host; a refused reading stops nothing and is kept; a table
// changed behind the plugin's back heals in the same call.
#include "integration.h"

using namespace testsupport;

namespace {

// As Redshift keeps it: the key on block_id is not enforced.
void keylessLedger(const std::string& instance) {
    db().exec("CREATE TABLE \"cirrant$ledger$" + instance + "\" (block_id VARCHAR(64), committed_at TIMESTAMPTZ, "
              "readings BIGINT, run_id VARCHAR(64), seq BIGINT, part INTEGER, fingerprints VARCHAR(65535)); ALTER "
              "TABLE \"cirrant$ledger$" + instance + "\" OWNER TO redshift");
}

}  // namespace

// One statement per request inside BEGIN ... COMMIT, for a server that
// refuses several: refused readings neither stop the block nor get lost.
TEST(RefusedRows, NeitherStopTheBlockNorGetLostOneStatementPerRequest) {
    db().exec(fixedTable("zeta", "n BIGINT CHECK (n < 100), k BIGINT UNIQUE"));
    Redshift::Options options;
    options.oneStatementPerRequest = true;
    LogCapture log(Logger::Level::Error);
    Block block;
    block.add("zeta", {dpInt("n", 500)});                  // breaks the check
    block.add("alpha", {dpInt("n", 1)});
    block.add("zeta", {dpInt("n", 2), dpInt("k", 7)});     // one key twice: they fail only together,
    block.add("zeta", {dpInt("n", 3), dpInt("k", 7)});     // and only the second is refused
    block.add("zeta", {dpString("n", "already exists")});  // no number: null, and the change recorded
    block.add("zeta", {dpInt("n", 4)});
    EXPECT_EQ(plugin({}, options)->send(block.readings()), 6u);
    EXPECT_EQ(cell("SELECT count(*) FROM alpha"), "1");
    EXPECT_EQ(cell("SELECT string_agg(coalesce(n::text, 'null'), ',' ORDER BY n) FROM zeta"), "2,4,null");
    EXPECT_EQ(cell("SELECT string_agg(reading_no || outcome, ',' ORDER BY reading_no) FROM \"cirrant$rejects\" "
                   "WHERE table_name = 'zeta'"),
              "0refused,3refused,4changed");
    EXPECT_EQ(log.count("table zeta, asset zeta"), 2u) << log.dump();
}

// A lost commit reply is settled by the next send, or in the same call when
// the server takes a session; the clean end follows that session, so the
// same readings sent on purpose to the next run are written again.
TEST(ExactlyOnce, LostCommitRepliesAreSettledAndTheCleanEndFollowsTheReconnect) {
    Relay relay{db().port()};
    auto redshift = plugin({via(relay)});
    ASSERT_EQ(redshift->send(numbered("lost_1", 0, 1).readings()), 1u);
    relay.loseNextCommitReply();
    db().allowConnections(false);
    EXPECT_EQ(redshift->send(numbered("lost_1", 1, 50).readings()), 0u);
    ASSERT_TRUE(relay.commitReplyLost()) << "no reply was lost";
    db().allowConnections(true);
    EXPECT_EQ(redshift->send(numbered("lost_1", 1, 70).readings()), 69u);
    relay.loseNextCommitReply();
    EXPECT_EQ(redshift->send(numbered("lost_1", 70, 100).readings()), 30u);
    ASSERT_TRUE(relay.commitReplyLost()) << "no reply was lost";
    expectExactly("lost_1", 0, 100);
    redshift->endRun();
    EXPECT_EQ(plugin()->send(numbered("lost_1", 70, 74).readings()), 4u);
    EXPECT_EQ(cell("SELECT count(*) FROM lost_1"), "104");
}

TEST(ChangedBehindTheBack, ADroppedColumnOrTableHealsInTheSameCall) {
    auto redshift = plugin();
    Block first;
    first.add("heal_1", {dpInt("a", 1), dpInt("b", 1)});
    first.add("heal_2", {dpInt("a", 1)});
    ASSERT_EQ(redshift->send(first.readings()), 2u);
    db().exec("ALTER TABLE heal_1 DROP COLUMN b; DROP TABLE heal_2; DROP TABLE \"cirrant$ledger$site1\"");
    Block second;
    second.add("heal_1", {dpInt("a", 2), dpInt("b", 2)});
    second.add("heal_2", {dpInt("a", 2)});
    EXPECT_EQ(redshift->send(second.readings()), 2u);
    EXPECT_EQ(cell("SELECT a || ',' || b FROM heal_1 WHERE a = 2"), "2,2");
    EXPECT_EQ(cell("SELECT count(*) FROM heal_2"), "1");
}

TEST(Privileges, ARoleThatMayNotCreateTablesStillDelivers) {
    db().exec("DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'loader') THEN "
              "CREATE ROLE loader LOGIN PASSWORD 'kvbn'; END IF; END $$; "
              "REVOKE CREATE ON SCHEMA public FROM PUBLIC; GRANT USAGE ON SCHEMA public TO loader; " +
              fixedTable("made_1", "n BIGINT") + "; GRANT SELECT, INSERT ON made_1 TO loader");
    auto redshift = plugin({{"dbUser", "loader"}});
    LogCapture log(Logger::Level::Error);
    Block block = numbered("made_1", 0, 3);
    EXPECT_EQ(redshift->send(block.readings()), 3u);
    EXPECT_EQ(redshift->send(numbered("made_1", 3, 5).readings()), 2u);
    expectExactly("made_1", 0, 5);
    EXPECT_EQ(log.count("exactly-once delivery and the rejects table are off"), 1u) << log.dump();
}

// A run killed after its block committed, before the host heard of it: the
// host sends the block again to the next run, a shorter piece at a time.
TEST(Restart, ABlockWrittenJustBeforeAStopIsRecognisedPieceByPiece) {
    Block block = numbered("restart_1", 0, 99);
    ASSERT_EQ(plugin()->send(block.readings()), 99u);
    auto next = plugin();
    EXPECT_EQ(next->send(numbered("restart_1", 0, 49).readings()), 49u);
    EXPECT_EQ(next->send(numbered("restart_1", 49, 120).readings()), 71u);
    expectExactly("restart_1", 0, 120);
    // A run that ended cleanly compares nothing: the same readings sent on
    // purpose are written again, though the server ended its idle session.
    db().terminateSessions();
    next->endRun();
    EXPECT_EQ(plugin()->send(numbered("restart_1", 99, 109).readings()), 10u);
    EXPECT_EQ(cell("SELECT count(*) FROM restart_1"), "130");
}

// A damaged ledger is widened without a key; one the role may not read is
// made again once, then lets the block through; a refused pruning costs a line.
TEST(LedgerFaults, AnOldLedgerIsWidenedAndAnUnreadableOneStallsNothingForEver) {
    const std::string old = "\"cirrant$ledger$old\"";
    db().exec("CREATE TABLE " + old + " (committed_at TIMESTAMPTZ, readings BIGINT); INSERT INTO " + old + " VALUES "
              "(now(), 5); ALTER TABLE " + old + " OWNER TO redshift; REVOKE SELECT, DELETE ON " + old + " FROM redshift");
    LogCapture log(Logger::Level::Error);
    EXPECT_EQ(plugin({{"vantrelInstance", "old"}})->send(numbered("ledger_1", 0, 10).readings()), 10u);
    EXPECT_EQ(log.count("it was made again and still cannot be read: the block is written without exactly-once"), 1u)
        << log.dump();
    EXPECT_EQ(log.count("old entries were not pruned"), 1u) << log.dump();
    EXPECT_EQ(cell("SELECT count(*) FROM information_schema.columns WHERE table_name = 'cirrant$ledger$old'"), "7");
    expectExactly("ledger_1", 0, 10);
}

// Refused readings sent again after an unclean stop, once their table takes
// them, are written and leave the rejects table; one still refused keeps its row.
TEST(Restart, RefusedReadingsInAWrittenBlockAreTriedAgain) {
    db().exec(fixedTable("again_1", "n BIGINT CONSTRAINT small CHECK (n < 100)") + "; ALTER TABLE again_1 OWNER TO "
              "redshift");
    Block block;
    for (int n : {1, 500, 2, 700}) block.add("again_1", {dpInt("n", n)}, kTestTime + n);
    ASSERT_EQ(plugin({{"vantrelInstance", "again"}})->send(block.readings()), 4u);
    db().exec("ALTER TABLE again_1 DROP CONSTRAINT small, ADD CHECK (n < 600)");
    EXPECT_EQ(plugin({{"vantrelInstance", "again"}})->send(block.readings()), 4u);
    EXPECT_EQ(cell("SELECT string_agg(n::text, ',' ORDER BY n) FROM again_1"), "1,2,500");
    EXPECT_EQ(cell("SELECT string_agg(reading_no || ' ' || outcome, ',') FROM \"cirrant$rejects\" WHERE table_name "
                   "= 'again_1'"),
              "3 refused");
}

// A deadline abandons a session whose request waits on a lock; the next
// connection ends it, so they never pile up on the server's few slots.
TEST(InDoubt, SessionsAbandonedAtADeadlineAreEndedByTheNextConnection) {
    auto redshift = plugin({}, deadline(std::chrono::seconds(1)));
    ASSERT_EQ(redshift->send(numbered("pile_1", 0, 1).readings()), 1u);
    Client dba = locking("pile_1");
    std::string dbaPid = *dba.exec("SELECT pg_backend_pid()")[0][0];
    const std::string sessions = "SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() AND ";
    Block block = numbered("pile_1", 1, 11);
    for (int call = 0; call < 3; ++call) {
        EXPECT_EQ(redshift->send(block.readings()), 0u);
        EXPECT_EQ(cell(sessions + "wait_event_type = 'Lock'"), "1") << "after call " << call;
    }
    dba.exec("COMMIT");
    EXPECT_EQ(redshift->send(block.readings()), 10u);
    expectExactly("pile_1", 0, 11);
    EXPECT_EQ(cell(sessions + "usename = 'redshift' AND pid <> " + dbaPid), "1");
}

// Two tasks on one instance name: neither closes the other's run, and the
// log says that they share it.
TEST(SecondWriter, NeitherClosesTheOthersRunAndTheLogSaysSo) {
    Relay relay{db().port()};
    Redshift::Options options;
    options.lookForWritersEvery = std::chrono::milliseconds(0);
    auto a = plugin({via(relay), {"vantrelInstance", "twice"}}, options);
    auto b = plugin({{"vantrelInstance", "twice"}}, options);
    LogCapture log(Logger::Level::Error);
    for (int from : {0, 10}) {
        ASSERT_EQ(a->send(numbered("twice_a", from, from + 10).readings()), 10u);
        ASSERT_EQ(b->send(numbered("twice_b", from, from + 10).readings()), 10u);
    }
    b->endRun();
    relay.loseNextCommitReply();
    db().allowConnections(false);
    EXPECT_EQ(a->send(numbered("twice_a", 20, 30).readings()), 0u);
    db().allowConnections(true);
    a.reset();
    EXPECT_EQ(plugin({{"vantrelInstance", "twice"}})->send(numbered("twice_a", 20, 30).readings()), 10u);
    expectExactly("twice_a", 0, 30);
    EXPECT_EQ(log.count("exactly-once delivery across restarts needs one vantrelInstance per north task"), 1u)
        << log.dump();
}

// Where the role may not end its old sessions and the ledger's key is not
// enforced (Redshift), the ledger's lock and the guard alone keep a late or
// waiting transaction from writing a block twice.
class WithoutEndingSessions : public ::testing::Test {
protected:
    void SetUp() override { db().exec("REVOKE EXECUTE ON FUNCTION pg_terminate_backend(integer, bigint) FROM PUBLIC"); }
    void TearDown() override {
        db().exec("GRANT EXECUTE ON FUNCTION pg_terminate_backend(integer, bigint) TO PUBLIC; ALTER ROLE redshift IN "
                  "DATABASE " + db().name() + " RESET lock_timeout");
        EXPECT_GE(log.count("could not be ended: it holds a connection slot"), 1u) << log.dump();
    }
    LogCapture log{Logger::Level::Error};
};

// The first try's request is held past its deadline and its resend waits on
// a DBA's lock: the late request reaches the server while the resend is open.
TEST_F(WithoutEndingSessions, ARequestReachingTheServerAfterItsResendWritesNothing) {
    keylessLedger("late");
    Relay relay{db().port()};
    auto redshift = plugin({via(relay), {"vantrelInstance", "late"}}, deadline(std::chrono::seconds(1)));
    ASSERT_EQ(redshift->send(numbered("late_1", 0, 1).readings()), 1u);
    relay.holdQuery("INSERT INTO  late_1", std::chrono::seconds(3));
    Block block = numbered("late_1", 1, 11);
    EXPECT_EQ(redshift->send(block.readings()), 0u);
    Client dba = locking("late_1");
    EXPECT_EQ(redshift->send(block.readings()), 0u);
    ASSERT_NE(lockWaiter(2), "") << "the late request waits behind the resend";
    dba.exec("COMMIT");
    for (int i = 0; i < 100 && !relay.heldQueryAnswered(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(relay.heldQueryAnswered());
    EXPECT_EQ(redshift->send(block.readings()), 10u);
    expectExactly("late_1", 0, 11);
}

// After a dead run wrote 0..9, a block starting with them waits on a DBA's
// lock, then on lock timeouts: never given up, and the dead run closed once.
TEST_F(WithoutEndingSessions, ABlockWaitingOnLocksIsWrittenOnceAndClosesTheDeadRunOnce) {
    keylessLedger("wait");
    ASSERT_EQ(plugin({{"vantrelInstance", "wait"}})->send(numbered("wait_1", 0, 10).readings()), 10u);
    auto redshift = plugin({{"vantrelInstance", "wait"}}, deadline(std::chrono::seconds(1)));
    Client dba = locking("wait_1");
    EXPECT_EQ(redshift->send(numbered("wait_1", 0, 20).readings()), 10u);
    Block rest = numbered("wait_1", 10, 20);
    EXPECT_EQ(redshift->send(rest.readings()), 0u);
    db().exec("ALTER ROLE redshift IN DATABASE " + db().name() + " SET lock_timeout = '300ms'");
    for (int call = 0; call < 3; ++call) EXPECT_EQ(redshift->send(rest.readings()), 0u);
    dba.exec("COMMIT");
    EXPECT_EQ(redshift->send(rest.readings()), 10u);
    EXPECT_EQ(redshift->send(numbered("wait_1", 20, 30).readings()), 10u);
    expectExactly("wait_1", 0, 30);
    EXPECT_EQ(cell("SELECT count(*) FROM \"cirrant$ledger$wait\" WHERE block_id LIKE '%-end'"), "1");
}
