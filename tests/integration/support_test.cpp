// Checks the test fixtures themselves: the throwaway server, the TCP proxy
// and the log capture. Every other integration program relies on them.
#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pqxx/pqxx>

#include "log_capture.h"
#include "pg_server.h"
#include "tcp_proxy.h"

using testing::Contains;
using testing::HasSubstr;
using testing::Not;
using testsupport::LogCapture;
using testsupport::PgServer;
using testsupport::TcpProxy;

namespace {

std::string scalarOver(pqxx::connection& c, const std::string& sql) {
    pqxx::nontransaction tx(c);
    return tx.exec1(sql)[0].c_str();
}

std::string withPassword(const std::string& password) {
    const PgServer& server = PgServer::instance();
    return "host=127.0.0.1 port=" + std::to_string(server.port()) + " dbname=vantrel user=redshift password=" + password;
}

}  // namespace

TEST(PgServer, AnswersSelectOneAndHandsBackNullsDistinctly) {
    PgServer& server = PgServer::instance();
    EXPECT_EQ(server.scalar("select 1"), "1");
    EXPECT_EQ(server.host(), "127.0.0.1");
    EXPECT_EQ(server.connectString(), withPassword("kvbn"));

    const auto rows = server.queryNullable("select null::text, ''::text, 'x'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_FALSE(rows[0][0].has_value());
    EXPECT_EQ(rows[0][1], std::optional<std::string>(""));
    EXPECT_EQ(server.query("select null::text, 'x'"), (std::vector<PgServer::Row>{{"", "x"}}));
}

TEST(PgServer, RedshiftUserNeedsItsPasswordOverTcp) {
    PgServer& server = PgServer::instance();
    pqxx::connection c(server.connectString());
    EXPECT_EQ(scalarOver(c, "select current_user"), "redshift");
    EXPECT_EQ(scalarOver(c, "select inet_server_port()"), std::to_string(server.port()));
    EXPECT_EQ(scalarOver(c, "select rolsuper from pg_roles where rolname = current_user"), "t");
    EXPECT_EQ(scalarOver(c, "select pg_get_userbyid(datdba) from pg_database where datname = 'vantrel'"), "redshift");

    try {
        pqxx::connection wrong(withPassword("nope"));
        FAIL() << "a wrong password was accepted";
    } catch (const pqxx::broken_connection& e) {
        EXPECT_THAT(e.what(), HasSubstr("password authentication failed"));
    }
}

TEST(PgServer, StopBreaksConnectionsAndStartServesAgainOnTheSamePort) {
    PgServer& server = PgServer::instance();
    const int port = server.port();
    pqxx::connection open(server.connectString());
    server.exec("create table if not exists survives_restart(v int); insert into survives_restart values (7)");

    server.stop();
    EXPECT_FALSE(server.running());
    EXPECT_THROW(scalarOver(open, "select 1"), pqxx::broken_connection);
    EXPECT_THROW(pqxx::connection{server.connectString()}, pqxx::broken_connection);

    server.start();
    EXPECT_TRUE(server.running());
    EXPECT_EQ(server.port(), port);
    pqxx::connection again(server.connectString());
    EXPECT_EQ(scalarOver(again, "select v from survives_restart"), "7");
    server.exec("drop table survives_restart");
}

TEST(PgServer, CreatedDatabasesFollowTheirStringLiteralMode) {
    PgServer& server = PgServer::instance();
    for (bool conforming : {false, true}) {
        SCOPED_TRACE(conforming ? "standard_conforming_strings on" : "standard_conforming_strings off");
        const std::string name = conforming ? "literals_on" : "literals_off";
        const std::string conninfo = server.createDatabase(name, conforming);
        EXPECT_EQ(conninfo, server.connectString(name));
        pqxx::connection c(conninfo);
        EXPECT_EQ(scalarOver(c, "show standard_conforming_strings"), conforming ? "on" : "off");
        // The setting changes what the server reads: '\t' is two characters
        // when conforming, one tab when not.
        EXPECT_EQ(scalarOver(c, "set escape_string_warning = off; select length('a\\tb')"), conforming ? "4" : "3");
    }
    // Creating again starts from an empty database, even with a session open.
    pqxx::connection lingering(server.createDatabase("literals_off", false));
    server.exec("create table leftover(v int)", "literals_off");
    server.createDatabase("literals_off", false);
    EXPECT_EQ(server.scalar("select count(*) from pg_tables where tablename = 'leftover'", "literals_off"), "0");
}

TEST(PgServer, StatementLogSeesOtherSessionsButNotTheFixture) {
    PgServer& server = PgServer::instance();
    server.setServerLog(true);
    const size_t mark = server.logMark();
    {
        pqxx::connection c(server.connectString());
        pqxx::nontransaction tx(c);
        tx.exec("select 42 as answer");
        tx.exec("select 1,\n       2 as second_line");
        c.prepare("by_param", "select $1::int + 1");
        tx.exec_prepared("by_param", 5);
    }
    server.exec("select 'from the fixture'");
    const auto statements = server.statementsSince(mark);
    EXPECT_THAT(statements, Contains("select 42 as answer"));
    EXPECT_THAT(statements, Contains("select 1,\n       2 as second_line"));
    EXPECT_THAT(statements, Contains("select $1::int + 1"));
    EXPECT_THAT(statements, Not(Contains("select 'from the fixture'")));
    EXPECT_THAT(server.statementsSince(mark, true), Contains("select 'from the fixture'"));

    server.setServerLog(false);
    const size_t quiet = server.logMark();
    pqxx::connection c(server.connectString());
    scalarOver(c, "select 'not logged'");
    EXPECT_THAT(server.statementsSince(quiet), Not(Contains("select 'not logged'")));
}

TEST(TcpProxy, ForwardsQueriesAndCountsConnections) {
    PgServer& server = PgServer::instance();
    TcpProxy proxy(server.port());
    EXPECT_NE(proxy.port(), server.port());
    {
        pqxx::connection c(server.connectStringOnPort(proxy.port()));
        EXPECT_EQ(scalarOver(c, "select 1"), "1");
        // A reply larger than the proxy's buffers has to stream through.
        EXPECT_EQ(scalarOver(c, "select length(string_agg(md5(i::text), '')) from generate_series(1, 20000) i"),
                  "640000");
        EXPECT_EQ(proxy.openConnections(), 1u);
    }
    EXPECT_TRUE(proxy.waitForOpenConnections(0));
    EXPECT_EQ(proxy.acceptedConnections(), 1u);
}

TEST(TcpProxy, RefusesTheNextConnectsThenPassesAgain) {
    PgServer& server = PgServer::instance();
    TcpProxy proxy(server.port());
    const std::string conninfo = server.connectStringOnPort(proxy.port());

    proxy.refuseNext(2);
    EXPECT_THROW(pqxx::connection{conninfo}, pqxx::broken_connection);
    EXPECT_THROW(pqxx::connection{conninfo}, pqxx::broken_connection);
    pqxx::connection third(conninfo);
    EXPECT_EQ(scalarOver(third, "select 3"), "3");
    EXPECT_EQ(proxy.refusedConnections(), 2u);

    proxy.refuse();
    EXPECT_THROW(pqxx::connection{conninfo}, pqxx::broken_connection);
    EXPECT_EQ(scalarOver(third, "select 'open ones carry on'"), "open ones carry on");
    proxy.pass();
    pqxx::connection fourth(conninfo);
    EXPECT_EQ(scalarOver(fourth, "select 4"), "4");
}

TEST(TcpProxy, CutAllBreaksOpenConnectionsAndNewOnesStillWork) {
    PgServer& server = PgServer::instance();
    TcpProxy proxy(server.port());
    pqxx::connection c(server.connectStringOnPort(proxy.port()));
    EXPECT_EQ(scalarOver(c, "select 1"), "1");

    proxy.cutAll();
    EXPECT_EQ(proxy.openConnections(), 0u);
    EXPECT_THROW(scalarOver(c, "select 1"), pqxx::broken_connection);

    pqxx::connection fresh(server.connectStringOnPort(proxy.port()));
    EXPECT_EQ(scalarOver(fresh, "select 2"), "2");
}

TEST(TcpProxy, StallHoldsAConnectUntilPass) {
    PgServer& server = PgServer::instance();
    TcpProxy proxy(server.port());
    proxy.stall();
    auto connected = std::async(std::launch::async, [&] {
        pqxx::connection c(server.connectStringOnPort(proxy.port()));
        return scalarOver(c, "select 'through'");
    });
    EXPECT_EQ(connected.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    proxy.pass();
    EXPECT_EQ(connected.get(), "through");
}

TEST(TcpProxy, ForwardsToLoopbackOnly) {
    EXPECT_THROW(TcpProxy(5432, "192.0.2.1"), std::invalid_argument);
    EXPECT_THROW(TcpProxy(0), std::invalid_argument);
}

TEST(LogCapture, RecordsEveryLevelAndRestoresTheLogger) {
    Logger* logger = Logger::getLogger();
    const Logger::Level original = logger->getMinLevel();
    logger->setMinLevel(Logger::Level::Warning);
    {
        LogCapture capture;
        logger->error("disk %s", "full");
        logger->warn("slow");
        logger->info("table %d created", 3);
        logger->debug("detail");
        EXPECT_EQ(capture.lines(),
                  (std::vector<std::string>{"error: disk full", "warning: slow", "info: table 3 created",
                                            "debug: detail"}));
        EXPECT_EQ(capture.messages(Logger::Level::Info), std::vector<std::string>{"table 3 created"});
        EXPECT_TRUE(capture.contains("warning: slow"));
        EXPECT_FALSE(capture.contains("warning: disk"));
        logger->info("table %d created", 4);
        EXPECT_EQ(capture.count("info: table"), 2u);
        capture.clear();
        EXPECT_TRUE(capture.lines().empty());
    }
    EXPECT_EQ(logger->getMinLevel(), Logger::Level::Warning);
    {
        LogCapture infoOnly(Logger::Level::Info);
        logger->debug("hidden");
        logger->info("shown");
        EXPECT_EQ(infoOnly.lines(), std::vector<std::string>{"info: shown"});
    }
    logger->setMinLevel(original);
}
