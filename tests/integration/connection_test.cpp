// Opening, re-opening and using the connection against a real server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "builders.h"
#include "log_capture.h"
#include "pg_server.h"
#include "tcp_proxy.h"
#include "redshift.h"

using namespace testsupport;

namespace {

PgServer& server() { return PgServer::instance(); }

std::string backendPid(Redshift& redshift) {
    QueryOutcome outcome = redshift.executeQuery("SELECT pg_backend_pid()");
    EXPECT_TRUE(outcome.first);
    return outcome.second.empty() ? "" : outcome.second[0][0].c_str();
}

bool backendAlive(const std::string& pid) {
    for (int i = 0; i < 100; ++i) {
        if (server().scalar("SELECT count(*) FROM pg_stat_activity WHERE pid = " + pid) == "0") return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class Connection : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server().running()); }
    void TearDown() override {
        if (!server().running()) server().start();
    }
};

}  // namespace

TEST_F(Connection, ConfiguringAgainKeepsTheConnectionUnlessTheConnectStringChanges) {
    LogCapture log;
    Redshift redshift;
    redshift.configure(serverConfig(server().port(), "kvbn", "first").get());
    ASSERT_NE(redshift.connection, nullptr);
    pqxx::connection* first = redshift.connection.get();
    std::string pid = backendPid(redshift);

    redshift.configure(serverConfig(server().port(), "kvbn", "first").get());
    EXPECT_EQ(redshift.connection.get(), first);
    redshift.configure(serverConfig(server().port(), "kvbn", "second").get());
    EXPECT_EQ(redshift.connection.get(), first);
    EXPECT_EQ(redshift.instanceName, "second");
    EXPECT_EQ(backendPid(redshift), pid);

    // A changed password drops the old connection before trying the new one.
    redshift.configure(serverConfig(server().port(), "not the password", "second").get());
    EXPECT_EQ(redshift.connection, nullptr);
    EXPECT_FALSE(backendAlive(pid));
    EXPECT_EQ(log.count("error: AWS Redshift - "), 1u) << log.dump();
}

TEST_F(Connection, UnreachableServerLogsOneErrorAndLeavesNoConnection) {
    LogCapture log;
    Redshift redshift;
    EXPECT_NO_THROW(redshift.configure(serverConfig(unusedLoopbackPort()).get()));
    EXPECT_EQ(redshift.connection, nullptr);
    ASSERT_EQ(log.messages(Logger::Level::Error).size(), 1u) << log.dump();
    EXPECT_EQ(log.messages(Logger::Level::Error)[0].rfind("AWS Redshift - ", 0), 0u);
    // Without a connection a statement is not attempted at all.
    log.clear();
    QueryOutcome outcome = redshift.executeQuery("SELECT 1");
    EXPECT_FALSE(outcome.first);
    EXPECT_TRUE(outcome.second.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Connection, AlreadyExistsCountsAsSuccessWithoutReconnecting) {
    Redshift redshift;
    redshift.configure(serverConfig(server().port()).get());
    ASSERT_TRUE(redshift.executeQuery("CREATE TABLE conn_exists (a int)").first);
    pqxx::connection* before = redshift.connection.get();
    LogCapture log;
    QueryOutcome outcome = redshift.executeQuery("CREATE TABLE conn_exists (a int)");
    EXPECT_TRUE(outcome.first);
    EXPECT_TRUE(outcome.second.empty());
    EXPECT_EQ(redshift.connection.get(), before);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "debug: ** Execute Query ==> CREATE TABLE conn_exists (a int)",
                               "debug: ****AWS Redshift - ERROR:  relation \"conn_exists\" already exists",
                           }));
}

TEST_F(Connection, OtherErrorsReconnectAndRunTheStatementOnceMore) {
    Redshift redshift;
    redshift.configure(serverConfig(server().port()).get());
    // The words in another letter case are an ordinary error.
    const std::string statement = "DO $$ BEGIN RAISE EXCEPTION 'Table Already Exists'; END $$";
    LogCapture log;
    QueryOutcome outcome = redshift.executeQuery(statement);
    EXPECT_FALSE(outcome.first);
    EXPECT_TRUE(outcome.second.empty());
    EXPECT_EQ(log.count("** Execute Query ==> " + statement), 2u) << log.dump();
    EXPECT_EQ(log.count("error: AWS Redshift - ERROR:  Table Already Exists"), 2u) << log.dump();
    EXPECT_EQ(log.count("AWS Redshift connect retry count 3"), 1u) << log.dump();
    // The second failure does not reconnect again; the new connection stays.
    EXPECT_NE(redshift.connection, nullptr);

    // A statement that fails once and then succeeds counts as done.
    server().exec("CREATE TABLE conn_flaky (n int)");
    const std::string flaky =
        "DO $$ BEGIN IF (SELECT count(*) FROM conn_flaky) = 0 THEN INSERT INTO conn_flaky VALUES (1); "
        "COMMIT; RAISE EXCEPTION 'first run fails'; END IF; END $$";
    log.clear();
    EXPECT_TRUE(redshift.executeQuery(flaky).first) << log.dump();
    EXPECT_EQ(log.count("AWS Redshift connect retry count 3"), 1u);
}

TEST_F(Connection, ReconnectReplacesAWorkingConnection) {
    Redshift redshift;
    redshift.configure(serverConfig(server().port()).get());
    std::string pid = backendPid(redshift);
    LogCapture log;
    EXPECT_TRUE(redshift.reconnect(3));
    EXPECT_NE(backendPid(redshift), pid);
    EXPECT_FALSE(backendAlive(pid));
    EXPECT_EQ(log.count("debug: AWS Redshift connect retry count 3"), 1u);
}

TEST_F(Connection, StoppedServerGivesTheFullRetrySequenceAndNoConnection) {
    Redshift redshift;
    redshift.configure(serverConfig(server().port()).get());
    ASSERT_NE(redshift.connection, nullptr);
    server().stop();
    LogCapture log;
    QueryOutcome outcome = redshift.executeQuery("SELECT 1");
    EXPECT_FALSE(outcome.first);
    EXPECT_TRUE(outcome.second.empty());
    EXPECT_EQ(redshift.connection, nullptr);

    std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 9u) << log.dump();
    EXPECT_EQ(lines[0], "debug: ** Execute Query ==> SELECT 1");
    EXPECT_EQ(lines[1].rfind("error: AWS Redshift - ", 0), 0u);
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(lines[2 + 2 * attempt], "debug: AWS Redshift connect retry count 3");
        EXPECT_EQ(lines[3 + 2 * attempt].rfind("error: AWS Redshift - ", 0), 0u) << lines[3 + 2 * attempt];
    }
    EXPECT_EQ(lines[8], "debug: Could not connect to AWS Redshift after 3 attempts");

    server().start();
    EXPECT_TRUE(redshift.reconnect(3));
}

TEST_F(Connection, PasswordNeverAppearsInTheLog) {
    LogCapture log;
    {
        Redshift redshift;
        redshift.configure(serverConfig(server().port()).get());
        redshift.executeQuery("SELECT 1");
        redshift.reconnect(1);
    }
    for (const char* password : {"secret-words", "secret words", "wrongpass"}) {
        Redshift redshift;
        redshift.configure(serverConfig(server().port(), password).get());
        redshift.reconnect(3);
    }
    Redshift unreachable;
    unreachable.configure(serverConfig(unusedLoopbackPort(), "secret-words").get());
    ASSERT_FALSE(log.lines().empty());
    for (const std::string& line : log.lines()) {
        for (const char* secret : {"kvbn", "secret", "words", "wrongpass"})
            EXPECT_EQ(line.find(secret), std::string::npos) << line;
    }
}
