// What a site relies on: a block is written whole and once, or not at all
// and kept for the host; a refused reading stops nothing and is kept; a table
// changed behind the plugin's back heals in the same call.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include "builders.h"
#include "log_capture.h"
#include "redshift.h"
#include "relay.h"
#include "test_db.h"

using namespace testsupport;

namespace {

TestDb& db() { return TestDb::get(); }

std::unique_ptr<Redshift> plugin(Redshift::Options options = {}, int port = 0, const std::string& user = "") {
    auto redshift = std::make_unique<Redshift>(options);
    auto config = db().config();
    if (port) config->setValue("port", std::to_string(port));
    if (!user.empty()) config->setValue("dbUser", user);
    redshift->configure(config.get());
    return redshift;
}

std::string cell(const std::string& sql) { return db().scalar(sql); }

Block numbered(const std::string& asset, int from, int to) {
    Block block;
    for (int i = from; i < to; ++i) block.add(asset, {dpInt("n", i)}, kTestTime + i);
    return block;
}

// Every n from..to-1 once, and nothing else.
void expectExactly(const std::string& table, int from, int to) {
    EXPECT_EQ(cell("SELECT count(*) || ' ' || count(DISTINCT n) || ' ' || min(n) || ' ' || max(n) FROM " + table),
              std::to_string(to - from) + " " + std::to_string(to - from) + " " + std::to_string(from) + " " +
                  std::to_string(to - 1));
}

}  // namespace

class RefusedRows : public ::testing::TestWithParam<bool> {};

// Both ways of sending a block: one request, or one statement per request
// inside BEGIN ... COMMIT for a server that refuses several.
TEST_P(RefusedRows, NeitherStopTheBlockNorGetLost) {
    std::string suffix = GetParam() ? "_single" : "_multi";
    std::string zeta = "zeta" + suffix, alpha = "alpha" + suffix;
    db().exec("CREATE TABLE " + zeta +
              " (asset_code VARCHAR(256), user_ts TIMESTAMPTZ, ts TIMESTAMPTZ, vantrel VARCHAR(256), "
              "n BIGINT CHECK (n < 100), k BIGINT UNIQUE)");
    Redshift::Options options;
    options.oneStatementPerRequest = GetParam();
    auto redshift = plugin(options);
    LogCapture log(Logger::Level::Error);
    Block block;
    block.add(zeta, {dpInt("n", 500)});                  // breaks the check
    block.add(alpha, {dpInt("n", 1)});
    block.add(zeta, {dpInt("n", 2), dpInt("k", 7)});     // one key twice: they fail only together,
    block.add(zeta, {dpInt("n", 3), dpInt("k", 7)});     // and only the second is refused
    block.add(zeta, {dpString("n", "already exists")});  // no number
    block.add(zeta, {dpInt("n", 4)});
    // All of the block counts: the refused readings are kept, not lost.
    EXPECT_EQ(redshift->send(block.readings()), 6u);
    EXPECT_EQ(cell("SELECT count(*) FROM " + alpha), "1");
    EXPECT_EQ(cell("SELECT string_agg(coalesce(n::text, 'null'), ',' ORDER BY n) FROM " + zeta), "2,4,null");
    EXPECT_EQ(cell("SELECT string_agg(reading_no::text, ',' ORDER BY reading_no) FROM \"cirrant$rejects\" "
                   "WHERE outcome = 'refused' AND table_name = '" + zeta + "'"),
              "0,3");
    EXPECT_EQ(cell("SELECT reading FROM \"cirrant$rejects\" WHERE table_name = '" + zeta + "' AND reading_no = 0"),
              "{\"asset\":\"" + zeta + "\",\"user_ts\":\"2026-12-06 10:00:00.123456\",\"ts\":\"2026-12-06 "
              "10:00:00.123456\",\"datapoints\":{\"n\":500}}");
    // Each refused reading has an error line naming its table.
    EXPECT_EQ(log.count("table " + zeta + ", asset " + zeta), 2u) << log.dump();
    // The text went in as null, and the reading as sent is kept too.
    EXPECT_EQ(cell("SELECT count(*) FROM \"cirrant$rejects\" WHERE outcome = 'changed' AND table_name = '" + zeta + "'"),
              "1");
}
INSTANTIATE_TEST_SUITE_P(Requests, RefusedRows, ::testing::Values(false, true));

// A plugin connected through the relay, its table made, the relay armed to
// lose the reply to the next commit.
class ExactlyOnce : public ::testing::Test {
protected:
    void start(const std::string& table) {
        redshift = plugin({}, relay.port());
        ASSERT_EQ(redshift->send(numbered(table, 0, 1).readings()), 1u);
        relay.loseNextCommitReply();
    }
    Relay relay{db().port()};
    std::unique_ptr<Redshift> redshift;
};

TEST_F(ExactlyOnce, ALostCommitReplyIsSettledInTheSameCall) {
    start("lost_1");
    Block block = numbered("lost_1", 1, 200);
    EXPECT_EQ(redshift->send(block.readings()), 199u);
    ASSERT_TRUE(relay.commitReplyLost()) << "no reply was lost";
    expectExactly("lost_1", 0, 200);
}

TEST_F(ExactlyOnce, ABlockWhoseOutcomeStayedUnknownIsSettledByTheNextSend) {
    start("lost_2");
    // The reply is lost and the server then refuses new sessions: the host
    // hears "nothing" and sends again, with more readings behind.
    Block block = numbered("lost_2", 1, 100);
    db().allowConnections(false);
    EXPECT_EQ(redshift->send(block.readings()), 0u);
    ASSERT_TRUE(relay.commitReplyLost()) << "no reply was lost";
    db().allowConnections(true);
    Block again = numbered("lost_2", 1, 120);
    EXPECT_EQ(redshift->send(again.readings()), 119u);
    expectExactly("lost_2", 0, 120);
}

// The relay passes for Redshift in the version libpq reads from the server.
TEST_F(ExactlyOnce, TheRelayReportsRedshiftsVersion) {
    relay.reportRedshiftVersion(true);
    PGconn* connection = PQconnectdb((db().connectString() + " port=" + std::to_string(relay.port())).c_str());
    EXPECT_EQ(PQserverVersion(connection), 80002) << PQerrorMessage(connection);
    PQfinish(connection);
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
              "REVOKE CREATE ON SCHEMA public FROM PUBLIC; GRANT USAGE ON SCHEMA public TO loader; "
              "CREATE TABLE made_1 (asset_code VARCHAR(256), user_ts TIMESTAMPTZ, ts TIMESTAMPTZ, "
              "vantrel VARCHAR(256), n BIGINT); GRANT SELECT, INSERT ON made_1 TO loader");
    auto redshift = plugin({}, 0, "loader");
    LogCapture log(Logger::Level::Error);
    Block block = numbered("made_1", 0, 3);
    EXPECT_EQ(redshift->send(block.readings()), 3u);
    EXPECT_EQ(redshift->send(numbered("made_1", 3, 5).readings()), 2u);
    expectExactly("made_1", 0, 5);
    EXPECT_EQ(log.count("exactly-once delivery and the rejects table are off"), 1u) << log.dump();
}

// The block's INSERT waits for a lock past its deadline, so its client is
// gone while its transaction lives on; the resend must wait for that
// transaction to end before it can tell whether the block was written.
TEST(InDoubt, AResendWaitsForTheOldTransactionToEnd) {
    Redshift::Options options;
    options.requestTimeout = std::chrono::seconds(1);
    auto redshift = plugin(options);
    ASSERT_EQ(redshift->send(numbered("doubt_1", 0, 1).readings()), 1u);
    Client lock(db().connectString());
    lock.exec("BEGIN");
    lock.exec("LOCK TABLE doubt_1 IN ACCESS EXCLUSIVE MODE");
    Block block = numbered("doubt_1", 1, 101);
    LogCapture log;
    EXPECT_EQ(redshift->send(block.readings()), 0u);
    EXPECT_EQ(redshift->send(block.readings()), 0u) << "the old transaction still holds the ledger";
    lock.exec("COMMIT");
    EXPECT_EQ(redshift->send(block.readings()), 100u) << log.dump();
    expectExactly("doubt_1", 0, 101);
}

// A plugin that stopped without recording a clean end (killed, say) after
// its block committed but before the host heard of it: the host sends the
// block again to the next run, even a shorter piece of it at a time.
TEST(Restart, ABlockWrittenJustBeforeAStopIsRecognisedPieceByPiece) {
    Block block = numbered("restart_1", 0, 99);
    ASSERT_EQ(plugin()->send(block.readings()), 99u);
    auto next = plugin();
    EXPECT_EQ(next->send(numbered("restart_1", 0, 49).readings()), 49u);
    EXPECT_EQ(next->send(numbered("restart_1", 49, 120).readings()), 71u);
    expectExactly("restart_1", 0, 120);
    // A run that ended cleanly compares nothing: the same readings sent on
    // purpose are written again.
    next->endRun();
    EXPECT_EQ(plugin()->send(numbered("restart_1", 0, 10).readings()), 10u);
    EXPECT_EQ(cell("SELECT count(*) FROM restart_1"), "130");
}

// A ledger made by an earlier build (three columns, an old entry) is
// widened; one the role may not read is made again once, then lets the
// block through without exactly-once; a refused pruning costs an error
// line, not the block.
TEST(LedgerFaults, AnOldLedgerIsWidenedAndAnUnreadableOneStallsNothingForEver) {
    db().exec("CREATE TABLE \"cirrant$ledger$old\" ( block_id VARCHAR(64) NOT NULL PRIMARY "
              "KEY, committed_at TIMESTAMPTZ, readings BIGINT ); INSERT INTO \"cirrant$ledger$old\" VALUES "
              "('0000-1', now(), 5); ALTER TABLE \"cirrant$ledger$old\" OWNER TO redshift; REVOKE SELECT, DELETE ON \"cirrant$ledger$old\" FROM redshift");
    auto config = db().config("old");
    Redshift redshift;
    redshift.configure(config.get());
    LogCapture log(Logger::Level::Error);
    Block block = numbered("ledger_1", 0, 10);
    EXPECT_EQ(redshift.send(block.readings()), 10u);
    EXPECT_EQ(log.count("it was made again and still cannot be read: the block is written without exactly-once"), 1u)
        << log.dump();
    EXPECT_EQ(log.count("old entries were not pruned"), 1u) << log.dump();
    EXPECT_EQ(cell("SELECT count(*) FROM information_schema.columns WHERE table_name = 'cirrant$ledger$old'"), "7");
    expectExactly("ledger_1", 0, 10);
}
