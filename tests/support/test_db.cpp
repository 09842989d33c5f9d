#include "test_db.h"

#include <errno.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "builders.h"

namespace testsupport {

Client::Client(const std::string& connectString) : m_connection(PQconnectdb(connectString.c_str())) {
    if (PQstatus(m_connection.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot connect: " + std::string(PQerrorMessage(m_connection.get())));
}

Rows Client::exec(const std::string& sql) {
    PqResult result(PQexec(m_connection.get(), sql.c_str()));
    ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
        throw std::runtime_error(sql + ": " + PQerrorMessage(m_connection.get()));
    return rowsOf(result.get());
}

TestDb& TestDb::get() {
    static TestDb db;
    return db;
}

TestDb::TestDb() {
    const char* state = std::getenv("CIRRANT_PG_STATE");
    std::ifstream in(state ? state : "");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("PG_PORT=", 0) == 0) m_port = std::atoi(line.c_str() + 8);
        if (line.rfind("PG_DIR=", 0) == 0) m_socketDir = line.substr(7);
    }
    // Only ctest starts the server: its fixture writes the state file.
    if (!m_port || m_socketDir.empty())
        throw std::runtime_error("no test server in CIRRANT_PG_STATE; run this test through ctest");
    // "integration-delivery_test" works in the database integration_delivery_test.
    for (const char* c = program_invocation_short_name; *c; ++c)
        m_name += std::isalnum(static_cast<unsigned char>(*c)) ? static_cast<char>(std::tolower(*c)) : '_';
    create(m_name, "");
}

std::string TestDb::admin(const std::string& db) const {
    return "host=" + m_socketDir + " port=" + std::to_string(m_port) + " dbname=" + db + " user=postgres";
}

void TestDb::create(const std::string& db, const std::string& settings) const {
    Client server(admin("postgres"));
    server.exec("DROP DATABASE IF EXISTS " + db + " WITH (FORCE)");
    server.exec("CREATE DATABASE " + db + " OWNER redshift");
    if (!settings.empty()) server.exec("ALTER DATABASE " + db + " SET " + settings);
    // Tables a test makes as superuser are the plugin's to use as well.
    Client(admin(db)).exec("ALTER DEFAULT PRIVILEGES GRANT ALL ON TABLES TO redshift");
}

std::string TestDb::connectString() const {
    return "host=127.0.0.1 port=" + std::to_string(m_port) + " dbname=" + m_name + " user=redshift password=kvbn";
}

std::unique_ptr<ConfigCategory> TestDb::config(const std::string& instance) const {
    return pluginConfig({{"host", "127.0.0.1"}, {"port", std::to_string(m_port)}, {"dbName", m_name},
                         {"dbUser", "redshift"}, {"dbPass", "kvbn"}, {"vantrelInstance", instance}});
}

void TestDb::exec(const std::string& sql) const { Client(admin(m_name)).exec(sql); }

Rows TestDb::query(const std::string& sql) const { return Client(admin(m_name)).exec(sql); }

std::string TestDb::scalar(const std::string& sql) const {
    auto rows = query(sql);
    if (rows.empty() || rows[0].empty()) throw std::runtime_error("no row from: " + sql);
    return rows[0][0].value_or("");
}

std::string TestDb::otherDatabase(const std::string& suffix, const std::string& settings) const {
    create(m_name + "_" + suffix, settings);
    return connectString() + " dbname=" + m_name + "_" + suffix;  // the last dbname counts
}

void TestDb::terminateSessions() const {
    Client(admin("postgres"))
        .exec("SELECT pg_terminate_backend(pid, 10000) FROM pg_stat_activity WHERE datname = '" + m_name + "'");
}

void TestDb::allowConnections(bool allow) const {
    Client(admin("postgres")).exec("ALTER DATABASE " + m_name + " ALLOW_CONNECTIONS " + (allow ? "true" : "false"));
}

}  // namespace testsupport
