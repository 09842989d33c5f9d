#pragma once
// The PostgreSQL server of the ctest run (started by the pgserver fixture,
// which names it in the file $CIRRANT_PG_STATE) and this test program's own
// database on it, named after the program and made afresh on first use.
// Admin work runs as superuser "postgres" over the unix socket; the plugin
// logs in as redshift/kvbn over TCP on 127.0.0.1.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config_category.h"
#include "session/session.h"

namespace testsupport {

// A libpq session of a test's own, autocommit; exec throws with the server's message.
class Client {
public:
    explicit Client(const std::string& connectString);
    Rows exec(const std::string& sql);

private:
    PqConnection m_connection;
};

class TestDb {
public:
    // The first call creates the program's database, owned by redshift.
    static TestDb& get();
    int port() const { return m_port; }
    const std::string& name() const { return m_name; }
    // As the plugin sees it: host=127.0.0.1 port=N dbname=<db> user=redshift password=kvbn
    std::string connectString() const;
    // The plugin's default configuration pointed at this database.
    std::unique_ptr<ConfigCategory> config(const std::string& instance = "site1") const;
    // As superuser in this database, autocommit; several statements are fine.
    void exec(const std::string& sql) const;
    Rows query(const std::string& sql) const;
    // First field of the first row (NULL as ""); throws when there is no row.
    std::string scalar(const std::string& sql) const;
    // Creates <db>_<suffix> afresh, with ALTER DATABASE ... SET <settings> when
    // given; returns the plugin's connect string for it.
    std::string otherDatabase(const std::string& suffix, const std::string& settings = "") const;
    // Terminates every session of this database and waits until they are gone.
    void terminateSessions() const;
    // Whether new sessions may open on this database (superusers included).
    void allowConnections(bool allow) const;

private:
    TestDb();
    void create(const std::string& db, const std::string& settings) const;
    std::string admin(const std::string& db) const;
    std::string m_socketDir, m_name;
    int m_port = 0;
};

}  // namespace testsupport
