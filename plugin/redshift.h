#pragma once
// The plugin object: one per plugin handle. It owns the database connection and
// the schema cache (every known table with its columns, in table order).
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <pqxx/pqxx>

#include "config_category.h"
#include "datapoint.h"
#include "reading.h"
#include "sql_buffer.h"

// Name of the datapoint that carries per-reading instructions (a JSON object).
extern const std::string AWS_REDSHIFT_HINT;

// Column type strings: the blanks around the type are part of the text.
extern const char* const TYPE_VARCHAR;      // " VARCHAR(256) "
extern const char* const TYPE_BIGINT;       // " BIGINT "
extern const char* const TYPE_REAL;         // " REAL "
extern const char* const TYPE_TIMESTAMPTZ;  // " TIMESTAMPTZ "

using Column = std::pair<std::string, std::string>;  // (name, type string)
using ColumnList = std::vector<Column>;
using TableSchemaCache = std::map<std::string, ColumnList>;
using TableNameList = std::vector<std::string>;
using TableIndexMap = std::map<std::string, int>;
// One INSERT statement of a block: its text and the number of rows it carries.
struct Batch {
    std::unique_ptr<SQLBuffer> sql;
    int rows = 0;
};
// A table's rows travel in one statement, or in several consecutive ones when
// one would exceed the server's statement size limit.
using BatchMap = std::map<std::string, std::vector<Batch>>;
using QueryOutcome = std::pair<bool, pqxx::result>;

// Names in statements (reserved_words.cpp). Unquoted identifiers are folded
// to lower case by the database, so the lower-case form is the name the
// database stores; a reserved word is written quoted in that form, so that
// both kinds of name end up stored the same way.
bool isReservedWord(const std::string& name);
std::string sqlIdentifier(const std::string& name);
std::string storedName(const std::string& name);
// Column names match without regard to ASCII case: the database does not
// tell apart names that differ only in case.
bool sameColumnName(const std::string& a, const std::string& b);
extern const char* const RESERVED_WORDS[];
extern const size_t RESERVED_WORD_COUNT;

class Redshift {
public:
    Redshift();
    ~Redshift();
    Redshift(const Redshift&) = delete;
    Redshift& operator=(const Redshift&) = delete;

    // Connection (connection.cpp)
    void configure(const ConfigCategory* config);
    bool reconnect(int attempts);
    QueryOutcome executeQuery(const std::string& query);

    // Column mapping (columns.cpp)
    static void getValidSQLName(std::string& name);
    void prepareQueryData(Datapoint* dp, std::vector<std::string>& names, std::vector<std::string>& types,
                          std::vector<DatapointValue>& values);
    void flattenDatapoints(std::string prefix, Datapoint* dp, std::vector<std::string>& names,
                           std::vector<std::string>& types, std::vector<DatapointValue>& values);

    // Schema (schema.cpp)
    bool checkTableExists(std::string& table, Reading* reading);
    bool checkTableSchema(std::string& table, Reading* reading);
    bool createTable(std::string& table, Reading* reading);
    bool alterTable(std::string& table, Reading* reading);
    std::string tableNameFor(const Reading* reading);
    void createTablesFromPayload(const std::vector<Reading*>& readings, TableNameList& tableNames,
                                 TableIndexMap& tableIndex);

    // Delivery (batch.cpp)
    void createBatch(const std::vector<Reading*>& readings, TableNameList& tableNames, TableIndexMap& tableIndex,
                     BatchMap& batches);
    uint32_t send(const std::vector<Reading*>& readings);

    // Cache persistence (cache.cpp)
    std::string serializeCache();
    int deserializeCache(const std::string& text);

    // State, in declaration order. Public so that tests can inspect it.
    std::string instanceName;
    std::string connectString;
    std::unique_ptr<pqxx::connection> connection;
    std::mutex mutex;
    TableSchemaCache schemaCache;
    // Whether string literals treat a backslash as an escape on the server of
    // the last open connection. True until a connection says otherwise: that is
    // how Redshift reads them.
    bool backslashEscapes = true;
    // The largest statement the server accepts, in bytes (Redshift's limit).
    size_t maxStatementBytes = 16 * 1024 * 1024;

private:
    bool openConnection();
    QueryOutcome runQuery(const std::string& query, bool mayRetry);
    void appendColumnsFor(Datapoint* dp, std::vector<std::string>& names, std::vector<std::string>& types);
};

// Calls visit(column name, value) for every leaf below a nested datapoint,
// named as flattenDatapoints names its columns, without copying a value or
// logging anything: for the hot paths that only need names and values.
template <typename Visit>
void forEachLeaf(std::string prefix, const Datapoint* dp, Visit&& visit) {
    Redshift::getValidSQLName(prefix);
    const std::vector<Datapoint*>* children = dp->getData().getDpVec();
    if (!children) return;
    for (const Datapoint* child : *children) {
        std::string column = prefix + "_" + child->getName();
        switch (child->getData().getType()) {
            case DP_STRING:
            case DP_INTEGER:
            case DP_FLOAT:
                Redshift::getValidSQLName(column);
                visit(column, child->getData());
                break;
            case DP_DICT:
            case DP_LIST:
                forEachLeaf(column, child, visit);
                break;
            default:
                break;
        }
    }
}
