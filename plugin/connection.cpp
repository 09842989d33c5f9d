// The connection: configuration, (re)opening, and running one statement.
#include <exception>

#include "connect_string.h"
#include "logger.h"
#include "redshift.h"

Redshift::Redshift() = default;

Redshift::~Redshift() { connection.reset(); }

void Redshift::configure(const ConfigCategory* config) {
    std::lock_guard<std::mutex> guard(mutex);
    std::string password = config->getValue("dbPass");
    std::string user = config->getValue("dbUser");
    std::string dbName = config->getValue("dbName");
    std::string portText = config->getValue("port");
    // std::stoi: leading blanks and a sign are fine, trailing text is ignored;
    // no number throws invalid_argument, too large a one out_of_range.
    int port = std::stoi(portText);
    std::string host = config->getValue("host");
    std::string newConnectString = buildConnectString(host, port, dbName, user, password);
    instanceName = config->getValue("vantrelInstance");

    // An unchanged connection string keeps the connection, or its absence.
    if (newConnectString == connectString) return;
    connectString = newConnectString;
    connection.reset();
    openConnection();
}

bool Redshift::openConnection() {
    try {
        auto candidate = std::make_unique<pqxx::connection>(connectString);
        if (!candidate->is_open()) return false;
        // Whether the server reads a backslash in '...' as an escape: the
        // client library doubles it exactly when it does.
        backslashEscapes = candidate->esc("\\") != "\\";
        connection = std::move(candidate);
        return true;
    } catch (const pqxx::broken_connection& e) {
        logConnectFailure(e.what(), passwordOf(connectString));
    } catch (const pqxx::pqxx_exception& e) {
        logConnectFailure(e.base().what(), passwordOf(connectString));
    } catch (const std::exception& e) {
        logConnectFailure(e.what(), passwordOf(connectString));
    } catch (...) {
        Logger::getLogger()->error("AWS Redshift error");
    }
    return false;
}

bool Redshift::reconnect(int attempts) {
    Logger* logger = Logger::getLogger();
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        logger->debug("AWS Redshift connect retry count %d", attempts);
        connection.reset();
        // No pause between attempts: each costs what the client library's own
        // failure costs.
        if (openConnection()) return true;
    }
    logger->debug("Could not connect to AWS Redshift after %d attempts", attempts);
    return false;
}

QueryOutcome Redshift::executeQuery(const std::string& query) { return runQuery(query, true); }

QueryOutcome Redshift::runQuery(const std::string& query, bool mayRetry) {
    // Without a connection there is nothing to run on; the caller decides
    // whether to reconnect.
    if (!connection) return {false, pqxx::result()};
    Logger* logger = Logger::getLogger();
    std::unique_ptr<pqxx::nontransaction> work;
    try {
        // A connection cut while idle fails already here; that is a lost
        // connection like any other, not a reason to lose the block.
        work = std::make_unique<pqxx::nontransaction>(*connection);
        logger->debug("** Execute Query ==> %s", query.c_str());
        pqxx::result rows = work->exec(query);
        return {true, rows};
    } catch (const pqxx::pqxx_exception& e) {
        std::string message = e.base().what();
        while (!message.empty() && message.back() == '\n') message.pop_back();
        // A table or column that is already there is what the statement wanted.
        if (message.find("already exists") != std::string::npos) {
            logger->debug("****AWS Redshift - %s", message.c_str());
            return {true, pqxx::result()};
        }
        logger->error("AWS Redshift - %s", message.c_str());
    } catch (const std::exception& e) {
        logger->error("AWS Redshift - %s", e.what());
        return {false, pqxx::result()};
    } catch (...) {
        logger->error("AWS Redshift - Unknown error");
        return {false, pqxx::result()};
    }
    // End the statement's nontransaction before reconnect destroys its
    // connection. A statement runs at most twice: one more run after a
    // successful reconnection, never a loop.
    work.reset();
    if (mayRetry && reconnect(3)) return runQuery(query, false);
    return {false, pqxx::result()};
}
