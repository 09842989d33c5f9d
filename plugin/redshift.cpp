// The plugin object: its configuration, and the rooms it holds.
#include "session/connect_string.h"
#include "redshift.h"

Redshift::Redshift() : Redshift(Options()) {}

Redshift::Redshift(Options options)
    : m_options(options), m_session(options.requestTimeout), m_catalogue(m_session, options.now),
      m_ledger(m_session, options.lookForWritersEvery), m_isolation(m_session), m_staging(m_session),
      m_cycle(m_options, m_instanceName, m_session, m_catalogue, m_ledger, m_isolation, m_activity, m_staging) {}

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
    // Another instance name is another ledger: looked for with the cached
    // tables on the next block.
    if (instance != m_instanceName) {
        m_cycle.forgetBookkeeping();
        m_catalogue.forgetChecked();
    }
    m_instanceName = instance;
    m_staging.configure(config);
    // An unchanged connection string keeps the connection, or its absence.
    if (m_session.setConnectString(connectString) && !m_session.open()) m_activity.failed(m_session.connectFailure());
}
