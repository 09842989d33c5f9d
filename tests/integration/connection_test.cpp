// Opening, re-opening and using the connection against the real server.
#include <gtest/gtest.h>

#include "builders.h"
#include "log_capture.h"
#include "test_db.h"

using namespace testsupport;

namespace {
TestDb& db() { return TestDb::get(); }

std::string backendPid(Redshift& redshift) {
    QueryOutcome outcome = redshift.executeQuery("SELECT pg_backend_pid()");
    return outcome.first && outcome.second.size() == 1 ? outcome.second[0][0].c_str() : "none";
}
}  // namespace

TEST(Connection, ConfiguringAgainKeepsTheSessionUnlessTheConnectStringChanges) {
    LogCapture log;
    Redshift redshift;
    redshift.configure(db().config("first").get());
    const std::string pid = backendPid(redshift);
    redshift.configure(db().config("second").get());
    EXPECT_EQ(redshift.instanceName(), "second");
    EXPECT_EQ(backendPid(redshift), pid);
    // A changed password drops the old session before trying the new one.
    auto wrong = db().config();
    wrong->setValue("dbPass", "secret words");
    redshift.configure(wrong.get());
    EXPECT_FALSE(redshift.isConnected());
    EXPECT_EQ(log.count("error: AWS Redshift - "), 1u) << log.dump();
}

TEST(Connection, AFailedConnectLogsOneErrorWithoutThePassword) {
    LogCapture log;
    for (int port : {TestDb::get().port(), unusedPort()}) {
        auto config = db().config();
        config->setValue("port", std::to_string(port));
        config->setValue("dbPass", "secret-words");
        Redshift redshift;
        redshift.configure(config.get());
        EXPECT_FALSE(redshift.isConnected()) << port;
    }
    EXPECT_EQ(log.lines().size(), 2u) << log.dump();
    EXPECT_EQ(log.count("error: AWS Redshift - "), 2u) << log.dump();
    for (const std::string& line : log.lines())
        for (const char* secret : {"secret", "words", "kvbn"}) EXPECT_EQ(line.find(secret), std::string::npos) << line;
}

TEST(Connection, OnlyALostConnectionRunsAStatementOnceMoreOnANewSession) {
    Redshift redshift;
    redshift.configure(db().config().get());
    db().exec("CREATE TABLE flaky (n int)");
    // Its first run ends its own session (and leaves a row behind to say so).
    const std::string flaky =
        "DO $$ BEGIN IF (SELECT count(*) FROM flaky) = 0 THEN INSERT INTO flaky VALUES (1); COMMIT; "
        "PERFORM pg_terminate_backend(pg_backend_pid()); END IF; END $$";
    const std::string pid = backendPid(redshift);
    LogCapture log;
    EXPECT_TRUE(redshift.executeQuery(flaky).first) << log.dump();
    EXPECT_EQ(log.statements(), (std::vector<std::string>{flaky, flaky}));
    const std::string newPid = backendPid(redshift);
    EXPECT_NE(newPid, pid);
    // Any other failure is the statement's own: it runs once, on the same session.
    log.clear();
    EXPECT_FALSE(redshift.executeQuery("SELECT 1/0").first);
    EXPECT_EQ(log.statements().size(), 1u) << log.dump();
    EXPECT_EQ(backendPid(redshift), newPid);
}
