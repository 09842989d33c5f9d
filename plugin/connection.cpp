// The connection: configuration, (re)opening, and running one statement.
#include <poll.h>

#include <exception>
#include <random>

#include <pqxx/pqxx>

#include "connect_string.h"
#include "logger.h"
#include "redshift.h"
#include "server_names.h"

Redshift::Redshift() : Redshift(Options()) {}

Redshift::Redshift(Options options) : m_options(options) {
    // Block ids must not repeat across instances or restarts.
    std::random_device random;
    char id[17];
    snprintf(id, sizeof id, "%08x%08x", random(), random());
    m_runId = id;
}

Redshift::~Redshift() { m_connection.reset(); }

void Redshift::configure(const ConfigCategory* config) {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::string password = config->getValue("dbPass");
    std::string user = config->getValue("dbUser");
    std::string dbName = config->getValue("dbName");
    std::string portText = config->getValue("port");
    // std::stoi: leading blanks and a sign are fine, trailing text is ignored;
    // no number throws invalid_argument, too large a one out_of_range.
    int port = std::stoi(portText);
    std::string host = config->getValue("host");
    std::string newConnectString = buildConnectString(host, port, dbName, user, password);
    std::string instance = config->getValue("vantrelInstance");
    // Another instance name is another ledger, looked for anew.
    if (instance != m_instanceName) m_bookkeepingReady = m_cacheChecked = false;
    m_instanceName = instance;

    // An unchanged connection string keeps the connection, or its absence.
    if (newConnectString == m_connectString) return;
    m_connectString = newConnectString;
    m_connection.reset();
    openConnection();
}

bool Redshift::openConnection() {
    try {
        auto candidate = std::make_unique<pqxx::connection>(m_connectString);
        if (!candidate->is_open()) return false;
        m_connection = std::move(candidate);
        Logger::getLogger()->debug("AWS Redshift - connected (server version %d)", m_connection->server_version());
        // What the plugin knows of a session is learnt again on a new one.
        m_sessionReady = false;
        m_cacheChecked = false;
        m_bookkeepingReady = false;
        return true;
    } catch (const pqxx::broken_connection& e) {
        logConnectFailure(e.what(), passwordOf(m_connectString));
    } catch (const pqxx::pqxx_exception& e) {
        logConnectFailure(e.base().what(), passwordOf(m_connectString));
    } catch (const std::exception& e) {
        logConnectFailure(e.what(), passwordOf(m_connectString));
    } catch (...) {
        Logger::getLogger()->error("AWS Redshift error");
    }
    return false;
}

bool Redshift::reconnect(int attempts) {
    Logger* logger = Logger::getLogger();
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        logger->debug("AWS Redshift connect retry count %d", attempts);
        m_connection.reset();
        // No pause between attempts: each costs what the client library's own
        // failure costs.
        if (openConnection()) return true;
    }
    logger->debug("Could not connect to AWS Redshift after %d attempts", attempts);
    return false;
}

void Redshift::dropBrokenIdleConnection() {
    if (!m_connection) return;
    // An idle session has nothing to say: a readable socket means the server
    // ended it (or is about to). Noticing that before a statement saves the
    // statement a failure, and the client library a result it would leak.
    pollfd socket{m_connection->sock(), POLLIN, 0};
    if (socket.fd < 0 || poll(&socket, 1, 0) != 0) {
        Logger::getLogger()->debug("AWS Redshift - the server closed the idle connection");
        m_connection.reset();
    }
}

namespace {
std::string firstLine(const char* text) {
    std::string line(text);
    line = line.substr(0, line.find('\n'));
    if (line.rfind("ERROR:  ", 0) == 0) line.erase(0, 8);
    return line;
}
}  // namespace

Redshift::Outcome Redshift::run(const std::string& sql, bool log) {
    Outcome outcome;
    dropBrokenIdleConnection();
    // Without a connection there is nothing to run on; the caller decides
    // whether to reconnect.
    if (!m_connection) {
        outcome.failure = Failure::Lost;
        outcome.message = "the connection to the server was lost";
        return outcome;
    }
    if (log) Logger::getLogger()->debug("** Execute Query ==> %s", sql.c_str());
    try {
        pqxx::nontransaction work(*m_connection);
        outcome.rows = work.exec(sql);
        outcome.ok = true;
        return outcome;
    } catch (const pqxx::broken_connection& e) {
        outcome.message = firstLine(e.what());
    } catch (const pqxx::sql_error& e) {
        outcome.state = e.sqlstate();
        outcome.message = firstLine(e.what());
        if (outcome.state.empty()) outcome.state = "XX000";  // a server error without a code is no broken link
    } catch (const pqxx::pqxx_exception& e) {
        outcome.state = "XX000";
        outcome.message = firstLine(e.base().what());
    } catch (const std::exception& e) {
        outcome.state = "XX000";
        outcome.message = e.what();
    } catch (...) {
        outcome.state = "XX000";
        outcome.message = "Unknown error";
    }
    outcome.failure = classify(outcome.state);
    // A broken connection is never used again: the client library would
    // quietly open a new session on it, losing what the old one held.
    bool broken = outcome.state.empty() || outcome.state.compare(0, 2, "08") == 0 ||
                  outcome.state.compare(0, 3, "57P") == 0;
    if (broken) m_connection.reset();
    return outcome;
}

Redshift::Outcome Redshift::runRetrying(const std::string& sql, const std::string& what) {
    Outcome outcome = run(sql);
    // A statement runs at most twice: once more after a lost connection was
    // opened again, never in a loop.
    if (outcome.ok || outcome.failure != Failure::Lost) return outcome;
    Logger::getLogger()->error("AWS Redshift - %s (%s; reconnecting)", outcome.message.c_str(), what.c_str());
    if (!m_connection && !reconnect(3)) return outcome;
    return run(sql);
}

bool Redshift::startSession() {
    if (m_sessionReady) return true;
    if (!m_connection) return false;
    int version = m_options.serverVersion ? m_options.serverVersion : m_connection->server_version();
    Dialect dialect = dialectFor(version);
    m_identifierLimit = dialect.identifierLimit;
    m_redshiftRules = dialect.redshift;
    // The system catalogue comes first in the search path: a table of one of
    // its names would never be reached by an unqualified statement. Redshift
    // keeps its system tables and views there too (not testable here).
    const std::string catalogue =
        "SELECT c.relname FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
        "WHERE n.nspname = 'pg_catalog'";
    // Whether several statements may share a request: the server runs both
    // and answers with the last result, or refuses the text.
    Outcome names;
    m_multiStatement = false;
    if (!m_options.oneStatementPerRequest) {
        names = run("SELECT 'probe' AS relname;" + catalogue);
        if (!names.ok && names.failure == Failure::Lost) return false;
        m_multiStatement = names.ok && names.rows.size() > 1;
    }
    if (!m_multiStatement) names = run(catalogue);
    if (!names.ok) return names.failure != Failure::Lost;
    m_shadowed.clear();
    for (const auto& row : names.rows) m_shadowed.insert(row[0].c_str());
    m_sessionReady = true;
    return true;
}
