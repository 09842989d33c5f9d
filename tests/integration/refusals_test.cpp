// Readings the server refuses, and answers the plugin does not expect, made
// by the server itself: only refused readings become rejects, every good one
// is written, and a block finishes in a bounded number of host calls.
#include <gtest/gtest.h>

#include "builders.h"
#include "log_capture.h"
#include "relay.h"
#include "test_db.h"

using namespace testsupport;

namespace {

TestDb& db() { return TestDb::get(); }

std::unique_ptr<Redshift> plugin(int port = 0) {
    auto redshift = std::make_unique<Redshift>();
    auto config = db().config();
    if (port) config->setValue("port", std::to_string(port));
    redshift->configure(config.get());
    return redshift;
}

// As the host sends: what a call does not acknowledge goes again, from the
// first reading not acknowledged. The calls it took, or -1 past `most`.
int hostSends(Redshift& redshift, const Block& block, int most = 20) {
    size_t done = 0;
    for (int calls = 1; calls <= most; ++calls) {
        done += redshift.send(std::vector<Reading*>(block.readings().begin() + static_cast<long>(done),
                                                    block.readings().end()));
        if (done == block.size()) return calls;
    }
    return -1;
}

// The table's count of rows and of distinct n, and the refused reading numbers' count.
std::string tally(const std::string& table) {
    return db().scalar("SELECT (SELECT count(*) || '/' || count(DISTINCT n) FROM " + table +
                       ") || ' refused ' || (SELECT count(*) FROM \"cirrant$rejects\" WHERE outcome = 'refused' "
                       "AND table_name = '" + table + "')");
}

Block numbered(const std::string& asset, int count, int from = 0) {
    Block block;
    for (int i = from; i < from + count; ++i) block.add(asset, {dpInt("n", i), dpInt("k", i)}, kTestTime + i);
    return block;
}

void makeTable(const std::string& table, const std::string& more) {
    db().exec("CREATE TABLE " + table + " (asset_code VARCHAR(256), user_ts TIMESTAMPTZ, ts TIMESTAMPTZ, "
              "vantrel VARCHAR(256), n BIGINT, k BIGINT " + more + ")");
}

}  // namespace

TEST(Refusals, TwoReadingsOfOneKeyLoseOnlyTheSecond) {
    makeTable("clash_1", ", UNIQUE (k)");
    Block block = numbered("clash_1", 1000);
    block.add("clash_1", {dpInt("n", 1000), dpInt("k", 10)});
    auto redshift = plugin();
    EXPECT_EQ(hostSends(*redshift, block), 1);
    EXPECT_EQ(tally("clash_1"), "1000/1000 refused 1");
}

TEST(Refusals, AHundredBadOfFiveHundredCostABoundedNumberOfCallsAndNoGoodReading) {
    makeTable("check_1", ", CHECK (n % 5 <> 0)");
    auto redshift = plugin();
    LogCapture log(Logger::Level::Debug);
    int calls = hostSends(*redshift, numbered("check_1", 500));
    EXPECT_GT(calls, 0);
    EXPECT_LE(calls, 12);
    EXPECT_EQ(tally("check_1"), "400/400 refused 100");
    EXPECT_LE(log.count("** Execute Query ==> BEGIN"), static_cast<size_t>(70 * calls));
}

TEST(Refusals, TheTrialBudgetHoldsAcrossTables) {
    makeTable("many_bad", ", CHECK (n <> 7)");
    Block block;
    for (int i = 0; i < 300; ++i) block.add("many_" + std::to_string(i), {dpInt("n", 7), dpInt("k", i)});
    block.add("many_bad", {dpInt("n", 7), dpInt("k", 0)});
    auto redshift = plugin();
    LogCapture log(Logger::Level::Debug);
    EXPECT_EQ(hostSends(*redshift, block), 1);
    EXPECT_LE(log.count("** Execute Query ==> ROLLBACK"), 64u);
    EXPECT_EQ(tally("many_bad"), "0/0 refused 1");
}

// A column retyped behind the plugin's back, and a trigger raising its own
// error: the tables are read again, and what still fails is a row's.
TEST(Refusals, UnexpectedAnswersOfOneTableStallNothing) {
    auto redshift = plugin();
    ASSERT_EQ(hostSends(*redshift, numbered("odd_1", 1)), 1);
    db().exec("ALTER TABLE odd_1 ALTER COLUMN k TYPE boolean USING k <> 0");
    makeTable("odd_2", "");
    db().exec("CREATE FUNCTION no13() RETURNS trigger AS $$ BEGIN IF NEW.n = 13 THEN RAISE 'thirteen'; END IF; "
              "RETURN NEW; END $$ LANGUAGE plpgsql; CREATE TRIGGER no13 BEFORE INSERT ON odd_2 FOR EACH ROW "
              "EXECUTE FUNCTION no13()");
    Block block = numbered("odd_1", 3, 1);  // k 1 is a boolean; 2 and 3 are not
    for (int i = 10; i < 20; ++i) block.add("odd_2", {dpInt("n", i)});
    EXPECT_EQ(hostSends(*redshift, block), 1);
    EXPECT_EQ(tally("odd_1") + ", " + tally("odd_2"), "2/2 refused 2, 9/9 refused 1");
}

// DDL that meets a passing lock timeout, and a session opened read-only:
// nothing is refused, the block waits, and it is written once the cause is gone.
TEST(Refusals, PassingTroubleMakesTheBlockWaitOnAFreshSession) {
    auto redshift = plugin();
    ASSERT_EQ(hostSends(*redshift, numbered("pass_1", 1)), 1);
    const std::string role = "ALTER ROLE redshift IN DATABASE " + db().name();
    db().exec(role + " SET lock_timeout = '200ms'; " + role + " SET default_transaction_read_only = on");
    redshift = plugin();
    LogCapture log(Logger::Level::Error);
    Block block = numbered("pass_1", 5, 1);
    EXPECT_EQ(redshift->send(block.readings()), 0u);
    db().exec(role + " RESET default_transaction_read_only");
    Client lock(db().connectString());
    lock.exec("BEGIN");
    lock.exec("LOCK TABLE pass_1");
    block.add("pass_1", {dpInt("n", 6), dpInt("new_column", 1)});
    EXPECT_EQ(redshift->send(block.readings()), 0u);
    lock.exec("ROLLBACK");
    db().exec(role + " RESET lock_timeout");
    EXPECT_EQ(hostSends(*redshift, block), 1);
    EXPECT_EQ(tally("pass_1"), "7/7 refused 0");
    EXPECT_EQ(log.count("the block waits"), 2u) << log.dump();
}

// Redshift words refused values and conflicts with other writers as XX000:
// the relay turns the server's own refusals into those.
TEST(Refusals, RedshiftsWordingIsUnderstood) {
    makeTable("rs_1", ", CHECK (n % 10 <> 3)");
    Relay relay(db().port());
    relay.reportRedshiftVersion(true);
    auto redshift = plugin(relay.port());
    LogCapture log;
    relay.rewriteError("23514", "1023", "Serializable isolation violation on table - 100, transactions forming the "
                                        "cycle are: 1, 2 (pid:3)");
    EXPECT_EQ(hostSends(*redshift, numbered("rs_1", 10)), 1);
    EXPECT_EQ(log.count("Serializable isolation violation"), 1u) << log.dump();
    relay.rewriteError("23514", "Value too long for character type", "error: Value too long", 100);
    EXPECT_EQ(hostSends(*redshift, numbered("rs_1", 10, 10)), 1);
    EXPECT_EQ(tally("rs_1"), "18/18 refused 2");
}
