// The session against the real server: what a request reports, connections
// that must not leak, and a server that stops answering.

#include <filesystem>

#include "integration.h"
#include "plugin_host.h"

using namespace testsupport;

namespace {

// The plugin's sessions on the database, as the server lists them.
std::string pluginSessions() {
    return cell("SELECT coalesce(string_agg(pid::text, ','), 'none') FROM pg_stat_activity "
                "WHERE datname = current_database() AND usename = 'redshift'");
}

size_t openFiles() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}
}  // namespace

TEST(Session, ARequestOfManyStatementsNamesTheOneThatFailedWithTheServersDetail) {
    Session session(std::chrono::seconds(10));
    session.setConnectString(db().connectString());
    ASSERT_TRUE(session.open());
    Outcome outcome = session.run(std::vector<std::string>{
        "SELECT 1", "DO $$ BEGIN RAISE EXCEPTION 'refused' USING DETAIL = 'the reason', ERRCODE = '22023'; END $$",
        "SELECT 2"});
    EXPECT_EQ(std::to_string(outcome.ok) + " " + std::to_string(outcome.failedStatement) + " " + outcome.state + " " +
                  outcome.message, "0 1 22023 refused DETAIL: the reason");
    EXPECT_TRUE(session.isOpen()) << "an error of the statement keeps the connection";
    outcome = session.run(std::vector<std::string>{"SELECT 1", "SELECT 'last'"});
    EXPECT_EQ(outcome.results, 2u);
    EXPECT_EQ(outcome.rows(), (Rows{{std::string("last")}}));
}

TEST(Session, ConfiguringAgainKeepsTheConnectionUnlessTheConnectStringChanges) {
    Redshift redshift;
    redshift.configure(db().config("first").get());
    const std::string pid = pluginSessions();
    redshift.configure(db().config("second").get());
    EXPECT_EQ(redshift.instanceName(), "second");
    EXPECT_EQ(pluginSessions(), pid);
    // A changed password drops the old session before trying the new one;
    // failed attempts leave no socket open and never log the password.
    LogCapture log;
    const size_t files = openFiles();
    for (int attempt = 0; attempt < 5; ++attempt)
        redshift.configure(configWith({{"dbPass", "secret words " + std::to_string(attempt)}}).get());
    EXPECT_EQ(openFiles(), files - 1) << "the first session's socket closed, no failed one kept";
    EXPECT_EQ(pluginSessions(), "none");
    EXPECT_EQ(log.count("error: AWS Redshift - "), 5u) << log.dump();
    EXPECT_EQ(log.count("secret"), 0u) << log.dump();
}

// A deadline in the environment below a second, above a day or no number is
// refused by name. Then through the entry points, with a deadline of 1 s and
// libpq told to wait for ever while connecting: the relay holds every reply,
// as a link that stopped forwarding would (or a server whose request waits
// on a lock). The block comes back unsent at the deadline, with an error
// line, and so it does on the next call, whose connecting gets no answer
// either. Once replies flow again, the block is settled against the ledger
// and written once; the operator's line names the last failure.
TEST(Session, AHeldLinkGivesTheBlockBackAtTheDeadlineAndTheNextCallWritesItOnce) {
    LogCapture log;
    for (auto [seconds, ms] : std::vector<std::pair<const char*, long>>{
             {"0.0004", 300000}, {"86401", 300000}, {"ten", 300000}, {"1.5", 1500}, {"1", 1000}}) {
        setenv("CIRRANT_REQUEST_TIMEOUT", seconds, 1);
        EXPECT_EQ(requestTimeoutFromEnvironment().count(), ms) << seconds;
    }
    EXPECT_EQ(log.count("error: CIRRANT_REQUEST_TIMEOUT="), 3u) << log.dump();
    setenv("PGCONNECT_TIMEOUT", "0", 1);
    pluginhost::PluginHost host(PLUGIN_PATH);
    Relay relay(db().port());
    PLUGIN_HANDLE handle = host.init(*configWith({via(relay)}));
    unsetenv("CIRRANT_REQUEST_TIMEOUT");
    unsetenv("PGCONNECT_TIMEOUT");
    host.start(handle, "");
    ASSERT_EQ(host.send(handle, numbered("held", -1, 0).readings()), 1u);
    Block block = numbered("held", 0, 50);
    relay.hold(true);
    for (const char* call : {"first", "second, connecting included"}) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(host.send(handle, block.readings()), 0u);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << call;
    }
    EXPECT_EQ(log.count("no answer within 1 s; the connection was closed"), 1u) << log.dump();
    const std::string why = "no answer from the server while connecting, within the request deadline of 1 s";
    EXPECT_EQ(log.count("error: AWS Redshift - " + why + " (SQLSTATE 08001) (block of 50 readings for held not sent"),
              1u) << log.dump();
    relay.hold(false);
    EXPECT_EQ(host.send(handle, block.readings()), 50u) << log.dump();
    host.shutdown(handle);
    EXPECT_EQ(log.count("last error: " + why), 1u) << log.dump();
    expectExactly("held", -1, 50);
}
