#pragma once
// The plugin object: one per plugin handle. It owns the database connection
// and the schema cache, and turns blocks of readings into rows.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "activity.h"
#include "block_rows.h"
#include "block_tables.h"
#include "column_types.h"
#include "config_category.h"
#include "datapoint.h"
#include "failure.h"
#include "isolation.h"
#include "ledger.h"
#include "reading.h"
#include "schema_cache.h"
#include "session.h"

using TableColumns = std::map<std::string, std::set<std::string>>;  // tables the database has, with their columns


class Redshift {
public:
    // Limits and server rules, fixed for the object's life. The defaults are
    // the target server's; tests lower the size or take the paths that only
    // some servers need.
    struct Options {
        // The largest request the server takes, in bytes.
        size_t maxRequestBytes = 16 * 1024 * 1024;
        // Send one statement per request, as for a server that refuses several.
        bool oneStatementPerRequest = false;
        // Take the naming rules of this server version instead of the
        // connected server's (80002 is how Redshift reports itself).
        int serverVersion = 0;
        // How long one request may wait for the server.
        std::chrono::milliseconds requestTimeout{300000};
    };

    Redshift();
    explicit Redshift(Options options);
    ~Redshift();
    Redshift(const Redshift&) = delete;
    Redshift& operator=(const Redshift&) = delete;

    // --- Connection (connection.cpp)
    // Reads the category, builds the connection string and, when it changed,
    // makes one connection attempt (a failure is only logged). Throws for a
    // port that is no number.
    void configure(const ConfigCategory* config);
    // Drops the connection and makes up to `attempts` new ones; true when open.
    bool reconnect(int attempts);
    bool isConnected() const { return m_session.isOpen(); }
    const std::string& instanceName() const { return m_instanceName; }

    // --- Names (schema.cpp)
    void flattenDatapoints(std::string prefix, Datapoint* dp, std::vector<std::string>& names,
                           std::vector<std::string>& types, std::vector<DatapointValue>& values);
    // The column a datapoint of this valid name is stored in, on this server.
    std::string columnNameFor(const std::string& validName) const;
    // The table a valid table name is stored as, on this server: the cache key.
    std::string tableKeyFor(const std::string& validName) const;

    // --- Schema (schema.cpp)
    // True when the table is cached, or the database has it in the schema
    // that unqualified names reach (it is then cached as the database has it).
    // A table in `absent` was looked up a moment ago and is not asked for again.
    bool checkTableExists(std::string& table, const std::set<std::string>& absent = {});
    // True when the reading has a datapoint WITHOUT a column: the table needs
    // widening. The table must be known.
    bool checkTableSchema(std::string& table, Reading* reading);
    // Creates the table with the fixed columns and the reading's columns;
    // when it fails, why goes to `failure` if given.
    bool createTable(std::string& table, Reading* reading, DdlFailure* failure = nullptr);
    // Adds the columns the reading needs and the table lacks; when it fails,
    // why goes to `failure` if given.
    bool alterTable(std::string& table, Reading* reading, DdlFailure* failure = nullptr);
    // Reads the tables' columns from the database again and caches exactly
    // that (a table the database lacks leaves the cache). One query.
    bool refreshTables(const std::vector<std::string>& tables);
    // Finds each reading's table and makes it ready; what could not be made
    // ready is in the result's failures. A connection lost for good ends the
    // work early: the block then waits.
    BlockTables createTablesFromPayload(const std::vector<Reading*>& readings);

    // --- Delivery (rows.cpp, delivery.cpp)
    // The rows of a block for its ready tables, one INSERT per table, from
    // what createTablesFromPayload made of the same readings. Every reading
    // gets a row or a reject entry, or its table joins the passing failures
    // and the block waits.
    void createBatch(const std::vector<Reading*>& readings, BlockTables& tables, BlockRows& rows);
    // Writes the block in one transaction: the block's size when it committed
    // (refused readings kept in the rejects table), else how many readings
    // at its head were written before and are acknowledged now.
    uint32_t send(const std::vector<Reading*>& readings);
    // Records that this run ended cleanly, unless something of it is in doubt.
    void endRun();

    // --- Cache persistence (cache.cpp)
    std::string serializeCache();
    // Replaces the cache with the stored text: 0, or -1 when it is no JSON.
    int deserializeCache(const std::string& text);

private:
    struct Attempt;

    // connection.cpp
    // One statement, run once more when the connection was lost and opened again;
    // `what` names, for the error line, what the statement was for.
    Outcome runRetrying(const std::string& sql, const std::string& what);
    // Learns the server's rules once per connection; false when it was lost.
    bool startSession();

    // schema.cpp
    static bool isKey(const std::string& key);
    int findColumn(const TableSchema& schema, const std::string& validName) const;
    bool tryDdl(const std::string& key, const std::string& sql, DdlFailure& failure);
    // Compares the cached tables with the catalogue, once per connection,
    // and tells which of them and of `alsoLookFor` the database has.
    TableColumns checkCachedTables(const std::vector<std::string>& alsoLookFor);
    std::string columnsQuery(const std::string& condition) const;
    void cacheColumns(const Rows& rows, const std::vector<std::string>& tables);

    // rows.cpp
    struct OpenTable;
    // A ready table's INSERT header and how each of its columns is written.
    void openTable(const std::string& key, const TableSchema& schema, BlockRows& block,
                   std::map<std::string, OpenTable>& open);
    // The reading's value for each column of its table; a datapoint with no
    // column, or a second one for a column, is said in `reasons`.
    void placeValues(const Reading& reading, const std::string& key, OpenTable& table,
                     std::vector<std::string>& reasons, ChangeNotes& changes) const;
    // The reading's row, each value fitted to its column; a copy of the
    // reading goes to the rejects table when anything had to change.
    // One row's values: every column, or the fixed ones alone.
    std::string writeValues(const Reading& reading, const OpenTable& table, std::vector<std::string>& reasons,
                            ChangeNotes& changes, const std::string& key, bool fixedOnly) const;
    void writeRow(const Reading& reading, size_t position, const std::string& key, OpenTable& table,
                  BlockRows& block) const;

    // delivery.cpp
    bool prepareSession();
    void ensureBookkeeping(const TableColumns& present);
    std::string ledgerTable() const;
    // A timestamp literal of the current time, moved by `offsetMicros`.
    std::string nowLiteral(int64_t offsetMicros = 0) const;
    // The most a request may hold, BEGIN and COMMIT included.
    size_t requestLimit() const;
    // Writes the readings after `first`; how many readings at the head of
    // the block are acknowledged.
    uint32_t deliver(const std::vector<Reading*>& readings, size_t first, const Fingerprints& fingerprints);
    BlockRows blockRows(Attempt& attempt, BlockTables& tables);
    std::vector<std::string> blockStatements(Attempt& attempt, const BlockRows& rows);
    void committed(const Attempt& attempt, const BlockRows& rows);
    // Whether the block is tried again in this call; if not, `acknowledged`
    // is what the call returns.
    bool retryAfter(Outcome& outcome, Attempt& attempt, const BlockRows& rows, size_t& acknowledged);
    bool retryLost(const Outcome& outcome, Attempt& attempt, const std::string& cost, size_t& acknowledged);
    bool pauseAndRetry(const Outcome& outcome, Attempt& attempt, const std::string& cost);
    bool isolate(const Outcome& outcome, Attempt& attempt, const BlockRows& rows, const std::string& cost,
                 size_t& acknowledged);
    bool blockWaits(const Outcome& outcome, const std::string& cost, const char* why);
    static std::string tableOf(const BlockRows& rows, size_t position);
    void applyKnownRefusals(Attempt& attempt);
    bool rereadTables();
    std::vector<std::string> rejectStatements(const std::vector<RejectEntry>& entries,
                                              const std::vector<Reading*>& readings, const std::string& id);

    Options m_options;
    std::string m_instanceName;
    Session m_session;
    std::mutex m_mutex;
    SchemaCache m_cache;
    // Calls in a row whose DDL on a table failed for passing reasons.
    std::map<std::string, int> m_ddlStrikes;

    // Facts about the open session, learnt once per connection.
    uint64_t m_learntOn = 0;  // the session generation they were learnt on
    size_t m_identifierLimit = 127;
    bool m_redshiftRules = true;
    std::set<std::string> m_shadowed;  // names the system catalogue would take first
    bool m_cacheChecked = false;

    // Bookkeeping tables: the ledger of committed blocks, the rejected readings.
    bool m_bookkeepingReady = false;
    bool m_bookkeepingOff = false;
    Ledger m_ledger;
    Isolation m_isolation;
    Activity m_activity;
};
