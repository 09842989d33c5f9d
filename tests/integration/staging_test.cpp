// Large tables staged in S3 and loaded by COPY inside the block's
// transaction (the relay runs the COPY from the test S3): the same rows as
// by INSERT, exactly once, and a broken bucket or role costs only speed.

#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "integration.h"

using namespace testsupport;

namespace {

std::map<std::string, std::string> s3() {
    std::map<std::string, std::string> values;
    std::ifstream in(std::getenv("CIRRANT_S3_STATE"));
    for (std::string line; std::getline(in, line);) values[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    return values;
}

struct Staged : ::testing::Test {
    Staged() {
        db().exec("GRANT pg_execute_server_program TO redshift");
        relay.loadCopiesFromTestS3(true);
    }
    // A plugin on the relay that stages tables of 3 rows or more, with `items` set.
    std::unique_ptr<Redshift> plugin(Items items = {}, Redshift::Options options = {}) {
        items.insert(items.begin(), {via(relay), {"s3Bucket", "cirrant-test"}, {"copyThreshold", "3"},
                                     {"s3Endpoint", "http://127.0.0.1:" + s3()["S3_PORT"]},
                                     {"s3AccessKeyId", "S3RVER"}, {"s3SecretAccessKey", s3()["S3_SECRET"]}});
        return testsupport::plugin(items, options);
    }
    RedshiftRelay relay;
};

// A port of 127.0.0.1 held for the program's life: bound only, so that a
// connection is refused, or listening, so that it is never answered.
int heldPort(bool listening) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), length) | (listening ? ::listen(fd, 4) : 0) |
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    return ntohs(address.sin_port);
}

// A table's rows, and what its rejects table holds, in one text.
std::string content(const std::string& table) {
    return cell("SELECT string_agg(row(user_ts, ts, vantrel, t, i, f, other)::text, E'\\n' ORDER BY user_ts, ts, "
                "t) FROM " + table) + cell("SELECT string_agg(reading_no || reason, ',' ORDER BY reading_no, reason) "
                                           "FROM \"cirrant$rejects\" WHERE table_name = '" + table + "'");
}

}  // namespace

// Every value kind and hostile text store alike by COPY and by INSERT. The
// credentials come from the environment, a session token among them; small
// tables and one whose text would read as the null string go by INSERT.
TEST_F(Staged, LargeTablesGoByCopyStoringWhatInsertWouldAndNoSecretReachesALogLine) {
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
    for (int i = 0; i < 4; ++i) copied.add("pump", {dpInt("n", i)});
    for (int i = 0; i < 5; ++i) copied.add("pump2", {dpInt("n", i)});
    for (int i = 0; i < 3; ++i) copied.add("pump3", {dpString("s", i ? "x" : "\\N"), dpInt("n", i)});
    copied.add("small", {dpInt("n", 1)});
    setenv("AWS_ACCESS_KEY_ID", "S3RVER", 1);
    setenv("AWS_SECRET_ACCESS_KEY", s3()["S3_SECRET"].c_str(), 1);
    setenv("AWS_SESSION_TOKEN", "Token/Of+A=Session", 1);
    LogCapture log;
    EXPECT_EQ(plugin({{"s3AccessKeyId", ""}, {"s3SecretAccessKey", ""}})->send(copied.readings()), copied.size());
    unsetenv("AWS_SESSION_TOKEN");
    EXPECT_EQ(plugin({{"s3Bucket", ""}})->send(inserted.readings()), inserted.size());
    EXPECT_EQ(content("kinds_copy"), content("kinds_insert"));
    EXPECT_NE(content("kinds_copy").find("12t: text of 300 bytes cut to 256"), std::string::npos);
    // '' and NULL stay apart.
    EXPECT_EQ(cell("SELECT count(*) FILTER (WHERE t = '') || ' ' || count(*) FILTER (WHERE other IS NULL) FROM kinds_copy"),
              "1 12");
    EXPECT_EQ(tally("pump") + tally("pump2") + tally("pump3") + tally("small"),
              "4/4 refused 05/5 refused 03/3 refused 01/1 refused 0");
    EXPECT_EQ(log.statementsAt("COPY kinds_copy").size() - log.statementsAt("INSERT INTO  kinds_copy").size(), 1u);
    EXPECT_EQ(log.statementsAt("COPY").size() + log.statementsAt("INSERT INTO  pump ").size(), 3u);
    EXPECT_EQ(log.statementsAt("COPY pump ( asset_code , user_ts , ts , vantrel , n) FROM "
                               "'s3://cirrant-test/cirrant/site1/").size(), 1u);
    // The ledger's guard, the COPYs, then the INSERTs, in one transaction.
    EXPECT_LT(log.statementsAt("SELECT CAST(block_id").at(0), log.statementsAt("COPY kinds_copy ").at(0)) << log.dump();
    EXPECT_EQ(log.statementsAt("INSERT INTO  pump3").at(0) - log.statementsAt("COPY pump2").at(0), 1u);
    EXPECT_EQ(log.count("SECRET_ACCESS_KEY '***' SESSION_TOKEN '***'"), 3u);
    EXPECT_EQ(log.count(s3()["S3_SECRET"]) + log.count("Token/Of+A=Session"), 0u) << log.dump();
    // The staged objects are gone after the commit.
    size_t left = 0;
    for (const auto& file : std::filesystem::recursive_directory_iterator(s3()["S3_DIR"] + "/data/cirrant-test"))
        left += file.is_regular_file();
    EXPECT_EQ(left, 0u);
}

// One COPY refused, its table's rows then found by INSERT; another COPY
// committed, its reply lost: the refused rows are kept, nothing twice.
TEST_F(Staged, RefusedRowsOfAStagedTableAreFoundByInsertAndALostReplyWritesNoDuplicate) {
    db().exec(fixedTable("checked", "n BIGINT CHECK (n % 5 <> 0)"));
    auto redshift = plugin();
    ASSERT_EQ(redshift->send(numbered("lost_copy", -1, 0).readings()), 1u);
    Block block = numbered("checked", 0, 20);
    for (int i = 0; i < 50; ++i) block.add("lost_copy", {dpInt("n", i)});
    relay.loseNextCommitReply();
    LogCapture log;
    EXPECT_EQ(redshift->send(block.readings()), 70u);
    ASSERT_TRUE(relay.commitReplyLost());
    EXPECT_EQ(tally("checked") + ", " + tally("lost_copy"), "16/16 refused 4, 51/51 refused 0");
    EXPECT_EQ(log.count("Load into table 'checked' failed"), 1u) << log.dump();
}

// S3 stopped, S3 that never answers, a wrong secret, a role Redshift cannot
// assume: the rows arrive by INSERT, once, and one error line a minute says why.
TEST_F(Staged, ABrokenStoreOrRoleCostsSpeedNeverDelivery) {
    const std::string cases[][3] = {
        {"s3Endpoint", "http://127.0.0.1:" + std::to_string(heldPort(false)), "Couldn't connect to server"},
        {"s3Endpoint", "http://127.0.0.1:" + std::to_string(heldPort(true)), "Timeout was reached"},
        {"s3SecretAccessKey", "wrong", "SignatureDoesNotMatch"},
        {"iamRole", "arn:aws:iam::123456789012:role/other", "not authorized to assume IAM Role"}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        std::string table = "broken_" + std::to_string(i);
        LogCapture log(Logger::Level::Error);
        auto redshift = plugin({{cases[i][0], cases[i][1]}}, deadline(std::chrono::seconds(1)));
        for (int call = 0; call < 2; ++call) EXPECT_EQ(redshift->send(numbered(table, 0, 5).readings()), 5u);
        EXPECT_EQ(cell("SELECT count(*) || ' ' || count(DISTINCT user_ts) FROM " + table), "10 5");
        EXPECT_EQ(log.count("staging in S3 bucket cirrant-test failed"), 1u) << log.dump();
        EXPECT_EQ(log.count(cases[i][2]), 1u) << log.dump();
        EXPECT_EQ(log.count(i == 3 ? "role arn:aws:iam::123456789012:role/other" : "role none"), 1u) << log.dump();
    }
}
