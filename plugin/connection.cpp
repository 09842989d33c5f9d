// The plugin object's connection: configuration, and what is learnt about a
// session once per connection.
#include "connect_string.h"
#include "logger.h"
#include "redshift.h"
#include "server_names.h"

Redshift::Redshift() : Redshift(Options()) {}

Redshift::Redshift(Options options) : m_options(options), m_session(options.requestTimeout), m_ledger(m_session), m_isolation(m_session) {}

Redshift::~Redshift() = default;

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
    std::string connectString = buildConnectString(host, port, dbName, user, password);
    std::string instance = config->getValue("vantrelInstance");
    // Another instance name is another ledger, looked for anew.
    if (instance != m_instanceName) m_bookkeepingReady = m_cacheChecked = false;
    m_instanceName = instance;
    // An unchanged connection string keeps the connection, or its absence.
    if (m_session.setConnectString(connectString)) m_session.open();
}

bool Redshift::reconnect(int attempts) { return m_session.reconnect(attempts); }

Outcome Redshift::runRetrying(const std::string& sql, const std::string& what) {
    Outcome outcome = m_session.run(sql);
    // A statement runs at most twice: once more after a lost connection was
    // opened again, never in a loop; a deadline that passed is not run again.
    if (outcome.ok || !outcome.lost || outcome.timedOut) return outcome;
    Logger::getLogger()->error("AWS Redshift - %s (%s; reconnecting)", outcome.message.c_str(), what.c_str());
    if (!m_session.isOpen() && !reconnect(3)) return outcome;
    return m_session.run(sql);
}

bool Redshift::startSession() {
    if (m_learntOn == m_session.generation()) return true;
    if (!m_session.isOpen()) return false;
    // What was learnt of the last session is learnt again on this one.
    m_cacheChecked = false;
    m_bookkeepingReady = false;
    int version = m_options.serverVersion ? m_options.serverVersion : m_session.serverVersion();
    Dialect dialect = dialectFor(version);
    m_identifierLimit = dialect.identifierLimit;
    m_redshiftRules = dialect.redshift;
    // The system catalogue comes first in the search path: a table of one of
    // its names would never be reached by an unqualified statement. Redshift
    // keeps its system tables and views there too (not testable here).
    const std::string catalogue =
        "SELECT c.relname FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
        "WHERE n.nspname = 'pg_catalog'";
    // Whether several statements may share a request: the server answers
    // each of them, or refuses the text.
    Outcome names;
    m_session.setSeveralStatements(false);
    if (!m_options.oneStatementPerRequest) {
        names = m_session.run(std::vector<std::string>{"SELECT 'probe' AS relname", catalogue});
        if (!names.ok && names.lost) return false;
        m_session.setSeveralStatements(names.ok && names.results == 2);
    }
    if (!m_session.severalStatements()) names = m_session.run(catalogue);
    if (!names.ok) return !names.lost;
    m_shadowed.clear();
    for (const Row& row : names.rows)
        if (row[0]) m_shadowed.insert(*row[0]);
    m_learntOn = m_session.generation();
    return true;
}
