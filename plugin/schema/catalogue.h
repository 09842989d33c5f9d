#pragma once
// The catalogue: what the plugin knows of its tables (the schema cache), how
// it learns it from the database, and making and widening tables. The
// database is the authority: whatever a statement meets, the cache ends up
// holding what the table has.
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "schema/block_tables.h"
#include "session/failure.h"
#include "session/options.h"
#include "reading.h"
#include "schema/schema_cache.h"
#include "session/session.h"

// Tables the database has, with their columns.
using TableColumns = std::map<std::string, std::set<std::string>>;

class Catalogue {
public:
    explicit Catalogue(Session& session, SteadyNow now = std::chrono::steady_clock::now)
        : m_session(session), m_now(now) {}

    SchemaCache& cache() { return m_cache; }
    const SchemaCache& cache() const { return m_cache; }

    // The column a datapoint of this valid name is stored in, on this server.
    std::string columnNameFor(const std::string& validName) const;
    // The table a valid table name is stored as, on this server: the cache key.
    std::string tableKeyFor(const std::string& validName) const;
    // A datapoint's column in a cached table, or -1.
    int findColumn(const TableSchema& schema, const std::string& validName) const;

    // Whether the cached tables were compared with the database on this connection.
    bool checked() const { return m_checkedOn == m_session.generation() && m_session.isOpen(); }
    void forgetChecked() { m_checkedOn = 0; }
    // Compares the cached tables with the database in one query, once per
    // connection, and tells which of them and of `alsoLookFor` it has.
    TableColumns checkCachedTables(const std::vector<std::string>& alsoLookFor);
    // Reads the tables' columns from the database again and caches exactly
    // that (a table the database lacks leaves the cache). One query.
    bool refreshTables(const std::vector<std::string>& tables);

    // True when the table is cached, or the database has it in the schema
    // that unqualified names reach (it is then cached as the database has it).
    // A table in `absent` was looked up a moment ago and is not asked for again.
    bool checkTableExists(std::string& table, const std::set<std::string>& absent = {});
    // True when the reading has a datapoint without a column: the table needs
    // widening. The table must be known.
    bool checkTableSchema(std::string& table, Reading* reading);
    // Creates the table with the fixed columns and the reading's columns;
    // when it fails, why goes to `failure` if given.
    bool createTable(std::string& table, Reading* reading, DdlFailure* failure = nullptr);
    // Adds the columns the reading needs and the table lacks; when it fails,
    // why goes to `failure` if given.
    bool alterTable(std::string& table, Reading* reading, DdlFailure* failure = nullptr);
    // Finds each reading's table and makes it ready; what could not be made
    // ready is in the result's failures. A connection lost for good ends the
    // work early: the block then waits.
    BlockTables createTablesFromPayload(const std::vector<Reading*>& readings);

    // The cache as the JSON text the host keeps between runs, and back;
    // deserializeCache gives 0, or -1 when the text is no JSON.
    std::string serializeCache() const;
    int deserializeCache(const std::string& text);

private:
    static bool isKey(const std::string& key);
    // Runs the DDL; when it fails, why goes to `failure` and what the
    // failure table makes of it to `action`.
    bool tryDdl(const std::string& key, const std::string& sql, DdlFailure& failure, Action& action);
    // What was to be made exists, yet the table read again does not show
    // it: another role's table, or a name the server cut.
    void unseen(const std::string& key, const char* what, DdlFailure& failure);
    // A failure that may pass: for good once the same failure met the
    // table on STRIKE_CALLS calls spanning STRIKE_SPAN.
    void strike(const std::string& key, DdlFailure& failure);
    std::string columnsQuery(const std::vector<std::string>& tables) const;
    void cacheColumns(const Rows& rows, const std::vector<std::string>& tables);

    Session& m_session;
    SchemaCache m_cache;
    // Held while a table is created.
    std::mutex m_mutex;
    uint64_t m_checkedOn = 0;  // the connection the cache was compared on
    SteadyNow m_now;
    // Per table, the passing failure its DDL met, since when, on how many calls.
    struct Strikes {
        std::string failure;
        std::chrono::steady_clock::time_point since;
        uint64_t lastCall;
        int calls;
    };
    std::map<std::string, Strikes> m_strikes;
};
