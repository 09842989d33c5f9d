// Large tables staged in S3 and loaded by COPY inside the block's
// transaction (the relay runs the COPY from the test S3): the same rows as
// by INSERT, exactly once, and a broken bucket or role costs only speed.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "builders.h"
#include "log_capture.h"
#include "relay.h"
#include "test_db.h"

using namespace testsupport;

namespace {

TestDb& db() { return TestDb::get(); }

std::map<std::string, std::string> s3() {
    std::map<std::string, std::string> values;
    std::ifstream in(std::getenv("CIRRANT_S3_STATE"));
    for (std::string line; std::getline(in, line);) values[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    return values;
}

struct Staged : ::testing::Test {
    Staged() {
        db().exec("GRANT pg_execute_server_program TO redshift");
        relay.reportRedshiftVersion(true);
        relay.loadCopiesFromTestS3(true);
    }
    // A plugin on the relay that stages tables of 3 rows or more, with `items` set.
    std::unique_ptr<Redshift> plugin(std::vector<std::pair<std::string, std::string>> items = {},
                                     Redshift::Options options = {}) {
        auto config = db().config();
        items.insert(items.begin(), {{"port", std::to_string(relay.port())}, {"s3Bucket", "cirrant-test"},
                                     {"s3Endpoint", "http://127.0.0.1:" + s3()["S3_PORT"]}, {"copyThreshold", "3"},
                                     {"s3AccessKeyId", "S3RVER"}, {"s3SecretAccessKey", s3()["S3_SECRET"]}});
        for (const auto& item : items) config->setValue(item.first, item.second);
        auto redshift = std::make_unique<Redshift>(options);
        redshift->configure(config.get());
        return redshift;
    }
    Relay relay{db().port()};
};

Block numbered(const std::string& asset, int count, int from = 0) {
    Block block;
    for (int i = from; i < from + count; ++i) block.add(asset, {dpInt("n", i)}, kTestTime + i);
    return block;
}

std::string cell(const std::string& sql) { return db().scalar(sql); }

// Rows and distinct n of a table, and its refused readings.
std::string tally(const std::string& table) {
    return cell("SELECT (SELECT count(*) || '/' || count(DISTINCT n) FROM " + table + ") || ' refused ' || (SELECT "
                "count(*) FROM \"cirrant$rejects\" WHERE outcome = 'refused' AND table_name = '" + table + "')");
}

size_t statementsLike(const LogCapture& log, const std::string& start) {
    size_t count = 0;
    for (const std::string& statement : log.statements()) count += statement.rfind(start, 0) == 0;
    return count;
}

// Where the first statement that starts so stands among those run.
size_t firstLike(const LogCapture& log, const std::string& start) {
    std::vector<std::string> statements = log.statements();
    for (size_t i = 0; i < statements.size(); ++i)
        if (statements[i].rfind(start, 0) == 0) return i;
    return SIZE_MAX;
}

// A table's rows, and what its rejects table holds, in one text.
std::string content(const std::string& table) {
    return cell("SELECT string_agg(row(user_ts, ts, vantrel, t, i, f, other)::text, E'\\n' ORDER BY user_ts, ts, "
                "t) FROM " + table) + cell("SELECT string_agg(reading_no || reason, ',' ORDER BY reading_no, reason) "
                                           "FROM \"cirrant$rejects\" WHERE table_name = '" + table + "'");
}

}  // namespace

TEST_F(Staged, EveryValueKindAndHostileTextStoreAlikeByCopyAndByInsert) {
    const std::string texts[] = {"", "a,b", "say \"hi\"", "it's", "two\nlines", "back\\slash\\", "Zürich €", "\\n",
                                 " padded ", "\"\"", "bad \xC3\x28 byte", std::string("nul\0led", 7)};
    Block copied, inserted;
    for (Block* block : {&copied, &inserted}) {
        std::string asset = block == &copied ? "kinds_copy" : "kinds_insert";
        for (size_t i = 0; i < std::size(texts); ++i)
            block->add(asset, {dpString("t", texts[i]), dpInt("i", static_cast<long>(i) - 5), dpFloat("f", i / 3.0)},
                       kTestTime + static_cast<int64_t>(i), kTestTime - 1000000 * static_cast<int64_t>(i));
        // Absent values, a float too large for REAL and a whole float for BIGINT, text cut to its column.
        block->add(asset, {dpInt("other", 1), dpFloat("i", 3.0), dpFloat("f", 1e300), dpString("t", std::string(300, 'x'))});
    }
    LogCapture log;
    EXPECT_EQ(plugin()->send(copied.readings()), copied.size());
    EXPECT_EQ(statementsLike(log, "COPY kinds_copy") - statementsLike(log, "INSERT INTO  kinds_copy"), 1u) << log.dump();
    EXPECT_EQ(plugin({{"s3Bucket", ""}})->send(inserted.readings()), inserted.size());
    EXPECT_EQ(content("kinds_copy"), content("kinds_insert"));
    EXPECT_NE(content("kinds_copy").find("12t: text of 300 bytes cut to 256"), std::string::npos);
    // '' and NULL stay apart.
    EXPECT_EQ(cell("SELECT count(*) FILTER (WHERE t = '') || ' ' || count(*) FILTER (WHERE other IS NULL) FROM kinds_copy"),
              "1 12");
}

// Credentials from the environment, a session token among them; a table
// whose text would read as the null string goes by INSERT.
TEST_F(Staged, LargeAndSmallTablesShareTheBlockAndNoSecretReachesALogLine) {
    setenv("AWS_ACCESS_KEY_ID", "S3RVER", 1);
    setenv("AWS_SECRET_ACCESS_KEY", s3()["S3_SECRET"].c_str(), 1);
    setenv("AWS_SESSION_TOKEN", "Token/Of+A=Session", 1);
    auto redshift = plugin({{"s3AccessKeyId", ""}, {"s3SecretAccessKey", ""}});
    Block block;
    for (int i = 0; i < 4; ++i) block.add("pump", {dpInt("n", i)});
    for (int i = 0; i < 5; ++i) block.add("pump2", {dpInt("n", i)});
    for (int i = 0; i < 3; ++i) block.add("pump3", {dpString("s", i ? "x" : "\\N"), dpInt("n", i)});
    block.add("small", {dpInt("n", 1)});
    LogCapture log;
    EXPECT_EQ(redshift->send(block.readings()), block.size());
    EXPECT_EQ(tally("pump") + tally("pump2") + tally("pump3") + tally("small"),
              "4/4 refused 05/5 refused 03/3 refused 01/1 refused 0");
    EXPECT_EQ(statementsLike(log, "COPY") + statementsLike(log, "INSERT INTO  pump "), 2u);
    EXPECT_EQ(statementsLike(log, "COPY pump ( asset_code , user_ts , ts , vantrel , n) FROM 's3://cirrant-test/"
                                  "cirrant/site1/"), 1u);
    // The ledger's guard, the COPYs, then the INSERTs, in one transaction.
    EXPECT_LT(firstLike(log, "SELECT CAST(block_id"), firstLike(log, "COPY pump ")) << log.dump();
    EXPECT_EQ(firstLike(log, "INSERT INTO  pump3") - firstLike(log, "COPY pump2"), 1u);
    EXPECT_EQ(log.count("SECRET_ACCESS_KEY '***' SESSION_TOKEN '***'"), 2u);
    EXPECT_EQ(log.count(s3()["S3_SECRET"]) + log.count("Token/Of+A=Session"), 0u) << log.dump();
    // The staged objects are gone after the commit.
    size_t left = 0;
    for (const auto& file : std::filesystem::recursive_directory_iterator(s3()["S3_DIR"] + "/data/cirrant-test"))
        left += file.is_regular_file();
    EXPECT_EQ(left, 0u);
    unsetenv("AWS_SESSION_TOKEN");
}

TEST_F(Staged, RefusedRowsOfAStagedTableAreFoundByInsertAndKept) {
    db().exec("CREATE TABLE checked (asset_code VARCHAR(256), user_ts TIMESTAMPTZ, ts TIMESTAMPTZ, vantrel "
              "VARCHAR(256), n BIGINT CHECK (n % 5 <> 0))");
    LogCapture log;
    EXPECT_EQ(plugin()->send(numbered("checked", 20).readings()), 20u);
    EXPECT_EQ(tally("checked"), "16/16 refused 4");
    EXPECT_EQ(log.count("Load into table 'checked' failed"), 1u) << log.dump();
}

// S3 stopped, S3 that never answers, a wrong secret, a role Redshift cannot
// assume: the rows arrive by INSERT, once, and one error line a minute says why.
TEST_F(Staged, ABrokenStoreOrRoleCostsSpeedNeverDelivery) {
    int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), length) | ::listen(silent, 4) |
                  ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string cases[][3] = {
        {"s3Endpoint", "http://127.0.0.1:" + std::to_string(unusedPort()), "Couldn't connect to server"},
        {"s3Endpoint", "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)), "Timeout was reached"},
        {"s3SecretAccessKey", "wrong", "SignatureDoesNotMatch"},
        {"iamRole", "arn:aws:iam::123456789012:role/other", "not authorized to assume IAM Role"}};
    Redshift::Options quick;
    quick.requestTimeout = std::chrono::seconds(1);
    for (size_t i = 0; i < std::size(cases); ++i) {
        std::string table = "broken_" + std::to_string(i);
        LogCapture log(Logger::Level::Error);
        auto redshift = plugin({{cases[i][0], cases[i][1]}}, quick);
        EXPECT_EQ(redshift->send(numbered(table, 5).readings()), 5u);
        EXPECT_EQ(redshift->send(numbered(table, 5).readings()), 5u);
        EXPECT_EQ(cell("SELECT count(*) || ' ' || count(DISTINCT user_ts) FROM " + table), "10 5");
        EXPECT_EQ(log.count("staging in S3 bucket cirrant-test failed"), 1u) << log.dump();
        EXPECT_EQ(log.count(cases[i][2]), 1u) << log.dump();
        EXPECT_EQ(log.count(i == 3 ? "role arn:aws:iam::123456789012:role/other" : "role none"), 1u) << log.dump();
    }
    ::close(silent);
}

TEST_F(Staged, ALostCommitReplyWritesNoDuplicate) {
    auto redshift = plugin();
    ASSERT_EQ(redshift->send(numbered("lost_copy", 1).readings()), 1u);
    relay.loseNextCommitReply();
    LogCapture log;
    EXPECT_EQ(redshift->send(numbered("lost_copy", 50, 1).readings()), 50u);
    ASSERT_TRUE(relay.commitReplyLost());
    EXPECT_EQ(statementsLike(log, "COPY lost_copy"), 1u) << log.dump();
    EXPECT_EQ(tally("lost_copy"), "51/51 refused 0");
}
