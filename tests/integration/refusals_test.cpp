// Readings the server refuses, and answers the plugin does not expect, made
// by the server itself: only refused readings become rejects, every good one
// is written, and a block finishes in a bounded number of host calls.

#include "integration.h"
#include "rows/reading_json.h"

using namespace testsupport;

namespace {

// The plugin's clock, moved on by a test.
std::chrono::minutes g_later{0};
std::chrono::steady_clock::time_point movedClock() { return std::chrono::steady_clock::now() + g_later; }

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

}  // namespace

// A hundred bad readings of 500, and two of one key that fail only together
// (the second alone is refused).
TEST(Refusals, BadReadingsCostABoundedNumberOfCallsAndNoGoodReading) {
    db().exec(fixedTable("check_1", "n BIGINT UNIQUE CHECK (n % 5 <> 0), second TEXT"));
    Block block = numbered("check_1", 0, 500);
    block.add("check_1", {dpInt("n", 1), dpString("second", "x")});
    auto redshift = plugin();
    LogCapture log(Logger::Level::Debug);
    int calls = hostSends(*redshift, block);
    EXPECT_TRUE(calls > 0 && calls <= 12) << calls << " calls";
    EXPECT_EQ(tally("check_1"), "400/400 refused 101");
    EXPECT_EQ(cell("SELECT count(*) FROM check_1 WHERE second = 'x'"), "0") << "the first of one key is kept";
    EXPECT_LE(log.statementsAt("BEGIN").size(), static_cast<size_t>(70 * calls));
}

TEST(Refusals, TheTrialBudgetHoldsAcrossTables) {
    db().exec(fixedTable("many_bad", "n BIGINT CHECK (n <> 7)"));
    Block block{{"many_bad", {dpInt("n", 7)}}};
    for (int i = 0; i < 300; ++i) block.add("many_" + std::to_string(i), {dpInt("n", 7)});
    auto redshift = plugin();
    LogCapture log(Logger::Level::Debug);
    EXPECT_EQ(hostSends(*redshift, block), 1);
    EXPECT_LE(log.statementsAt("ROLLBACK").size(), 64u);
    EXPECT_EQ(tally("many_bad"), "0/0 refused 1");
}

// A column retyped behind the plugin's back, and a trigger raising its own
// error: the tables are read again, and what still fails is a row's.
TEST(Refusals, UnexpectedAnswersOfOneTableStallNothing) {
    auto redshift = plugin();
    ASSERT_EQ(hostSends(*redshift, numbered("odd_1", 0, 1)), 1);
    db().exec("ALTER TABLE odd_1 ALTER COLUMN n TYPE boolean USING n <> 0; " + fixedTable("odd_2", "n BIGINT"));
    db().exec("CREATE FUNCTION no13() RETURNS trigger AS $$ BEGIN IF NEW.n = 13 THEN RAISE 'thirteen'; END IF; "
              "RETURN NEW; END $$ LANGUAGE plpgsql; CREATE TRIGGER no13 BEFORE INSERT ON odd_2 FOR EACH ROW "
              "EXECUTE FUNCTION no13()");
    Block block = numbered("odd_1", 1, 4);  // n 1 is a boolean; 2 and 3 are not
    for (int i = 10; i < 20; ++i) block.add("odd_2", {dpInt("n", i)});
    EXPECT_EQ(hostSends(*redshift, block), 1);
    EXPECT_EQ(tally("odd_1") + ", " + tally("odd_2"), "2/2 refused 2, 9/9 refused 1");
}

// DDL that meets a passing lock timeout, and a session opened read-only:
// nothing is refused, the block waits, and it is written once the cause is gone.
TEST(Refusals, PassingTroubleMakesTheBlockWaitOnAFreshSession) {
    auto redshift = plugin();
    ASSERT_EQ(hostSends(*redshift, numbered("pass_1", 0, 1)), 1);
    const std::string role = "ALTER ROLE redshift IN DATABASE " + db().name();
    db().exec(role + " SET lock_timeout = '200ms'; " + role + " SET default_transaction_read_only = on");
    redshift = plugin();
    LogCapture log(Logger::Level::Error);
    Block block = numbered("pass_1", 1, 6);
    EXPECT_EQ(redshift->send(block.readings()), 0u);
    db().exec(role + " RESET default_transaction_read_only");
    Client lock = locking("pass_1");
    block.add("pass_1", {dpInt("n", 6), dpInt("new_column", 1)});
    EXPECT_EQ(redshift->send(block.readings()), 0u);
    lock.exec("ROLLBACK");
    db().exec(role + " RESET lock_timeout");
    EXPECT_EQ(hostSends(*redshift, block), 1);
    EXPECT_EQ(tally("pass_1"), "7/7 refused 0");
    EXPECT_EQ(log.count("for the next try"), 2u) << log.dump();
}

// Redshift's answers, made by the relay of the server's own: refused values
// and conflicts with other writers worded as XX000, and a request over
// 20,000 bytes refused by a trigger as "Statement is too large". A row is
// refused when it fails alone with the error the block met and rows of its
// table went in, even rows behind it, though its fixed columns alone fail
// too. Requests are halved until they pass; a row larger than a request may
// hold is refused, and its copy in the rejects table is cut into parts that
// fit, as is the ledger entry of 5,000 readings.
TEST(Refusals, RedshiftsWordingAndLimitsAreUnderstood) {
    db().exec(fixedTable("rs_1", "n BIGINT CHECK (n % 10 <> 3)"));
    db().exec(fixedTable("n1", "n BIGINT, opt BIGINT NOT NULL"));
    db().exec(fixedTable("big_1", "n BIGINT, note TEXT") + "; CREATE FUNCTION too_large() RETURNS trigger AS $$ "
              "BEGIN IF length(current_query()) > 20000 THEN RAISE 'Statement is too large. Statement Size: % bytes. "
              "Maximum Allowed: 20000 bytes', length(current_query()) USING ERRCODE = '42601'; END IF; RETURN NULL; "
              "END $$ LANGUAGE plpgsql; CREATE TRIGGER too_large BEFORE INSERT ON big_1 EXECUTE FUNCTION too_large()");
    RedshiftRelay relay;
    Redshift::Options options = deadline(std::chrono::seconds(2));
    options.maxRequestBytes = 64 * 1024;
    auto redshift = plugin({via(relay)}, options);
    LogCapture log;
    relay.rewriteError("23514", "1023", "Serializable isolation violation on table - 100, transactions forming the "
                                        "cycle are: 1, 2 (pid:3)");
    EXPECT_EQ(hostSends(*redshift, numbered("rs_1", 0, 10)), 1);
    EXPECT_EQ(log.count("Serializable isolation violation"), 1u) << log.dump();
    relay.rewriteError("23514", "Value too long for character type", "error: Value too long", 100);
    EXPECT_EQ(hostSends(*redshift, numbered("rs_1", 10, 20)), 1);
    EXPECT_EQ(tally("rs_1"), "18/18 refused 2");
    relay.rewriteError("23502", "Cannot insert a NULL value into column opt", "", 100);
    EXPECT_EQ(hostSends(*redshift, Block{{"n1", {dpInt("n", 3)}}, {"n1", {dpInt("n", 2), dpInt("opt", 2)}}}), 1);
    EXPECT_EQ(tally("n1"), "1/1 refused 1");

    Block block = numbered("big_1", 0, 5000);
    block.add("big_1", {dpInt("n", 5000), dpString("note", std::string(100000, '\''))});
    EXPECT_EQ(redshift->send(block.readings()), 5001u);
    EXPECT_EQ(tally("big_1"), "5000/5000 refused 1");
    for (const std::string& statement : log.statements()) EXPECT_LE(statement.size(), 64u * 1024);
    EXPECT_EQ(cell("SELECT string_agg(reading, '' ORDER BY part) FROM \"cirrant$rejects\" WHERE table_name = 'big_1'"),
              readingJson(*block[5000]));
}

// Tables the plugin cannot make ready: another role's, which it may not
// see; one whose name the server cuts (Redshift keeps 127 bytes, the server
// behind the relay 63); one whose CREATE fails with Redshift's XX000. Their
// readings wait with an error line until the same failure has met 3 calls
// spanning 10 minutes, and then only they are refused; the readings of
// other tables go in at once, and only once.
TEST(Refusals, ATableThatCannotBeMadeReadyHoldsItsReadingsOnlyForAWhile) {
    const std::string cut = "cut_" + std::string(66, 'x');
    db().exec(fixedTable(cut, "n BIGINT") + "; CREATE TABLE hidden1 (n BIGINT); REVOKE ALL ON hidden1 FROM redshift");
    refuseDdl("%ddl_no%");
    RedshiftRelay relay;
    relay.rewriteError("P0001", "refused", "", 100);
    Redshift::Options options;
    options.now = movedClock;
    auto redshift = plugin({via(relay)}, options);
    Block block;
    for (const char* asset : {"ok_a", "hidden1", cut.c_str(), "ddl_no", "ok_b"}) block.add(asset, {dpInt("n", 1)});
    LogCapture log(Logger::Level::Info);
    std::vector<size_t> done{0};
    for (int minutes : {0, 5, 9, 10}) {
        g_later = std::chrono::minutes(minutes);
        done.push_back(done.back() + redshift->send(std::vector<Reading*>(
                                         block.readings().begin() + static_cast<long>(done.back()),
                                         block.readings().end())));
        EXPECT_EQ(tally("ok_b"), "1/1 refused 0") << "after " << minutes << " minutes";
    }
    g_later = {};
    EXPECT_EQ(done, (std::vector<size_t>{0, 1, 1, 1, 5})) << log.dump();
    EXPECT_EQ(log.count("could not be made ready: its 1 reading(s) wait for the next try, kept as waiting"), 9u);
    EXPECT_EQ(log.count("refused (SQLSTATE XX000) (table ddl_no could not be made ready"), 3u);
    EXPECT_EQ(log.count("last error: relation \"hidden1\" already exists (SQLSTATE 42P07); the table exists, but "
                        "this role cannot see it"), 2u) << "the operator's line";
    EXPECT_EQ(cell("SELECT string_agg(left(table_name, 6), ',' ORDER BY reading_no) FROM \"cirrant$rejects\" WHERE "
                   "reason LIKE '%the same on 3 calls over 10 minutes'"), "hidden,cut_xx,ddl_no");
    EXPECT_EQ(tally("ok_a"), "1/1 refused 0");
    allowDdl();
}
