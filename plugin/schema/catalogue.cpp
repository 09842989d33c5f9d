#include "schema/catalogue.h"

#include <unordered_set>

#include "rules/column_types.h"
#include "rules/datapoint_walk.h"
#include "session/failure.h"
#include "rules/literal.h"
#include "logger.h"
#include "rules/names.h"
#include "rules/server_names.h"
#include "rules/sql_names.h"

namespace {

void ignoreSkipped(const std::string&, uint32_t) {}

// A datapoint whose column is not named as the datapoint is said once, when
// the column is made.
void logRenamed(const std::string& table, const std::string& validName, const std::string& column) {
    if (names::folded(validName) == column) return;
    Logger::getLogger()->info("Table %s: datapoint %s is stored in column %s (its own name is taken by a fixed or "
                              "system column, or is longer than the server keeps)",
                              table.c_str(), validName.c_str(), column.c_str());
}

void logUnsupported(const std::string& name, uint32_t type) {
    if (type == DP_IMAGE || type == DP_DATABUFFER)
        Logger::getLogger()->info(
            "Datapoint %s has image / databuffer. Image / databuffer is not supported by AWS Redshift plugin",
            name.c_str());
}

// A list of table names as text literals.
std::string nameList(const std::vector<std::string>& tables) {
    std::string list;
    for (const std::string& table : tables) list += (list.empty() ? "" : ",") + textLiteral(table);
    return list;
}

}  // namespace

bool Catalogue::isKey(const std::string& key) {
    // What the plugin names a table: folded name bytes, and '$'.
    if (key.empty()) return false;
    for (char c : key)
        if (!names::isFoldedNameByte(c) && c != '$') return false;
    return true;
}

std::string Catalogue::tableKeyFor(const std::string& validName) const {
    std::string key = serverTableName(validName, m_session.dialect());
    // A name the system catalogue holds would reach the catalogue's table.
    if (m_session.shadowed().count(key)) key += "$";
    return key;
}

std::string Catalogue::columnNameFor(const std::string& validName) const {
    return ::columnNameFor(validName, m_session.dialect());
}

int Catalogue::findColumn(const TableSchema& schema, const std::string& validName) const {
    int index = schema.find(columnNameFor(validName));
    // A table made before long names were shortened holds the server's cut.
    size_t limit = m_session.dialect().identifierLimit;
    if (index < 0 && validName.size() > limit) index = schema.find(serverCutName(names::folded(validName), limit));
    return index;
}

std::string Catalogue::columnsQuery(const std::vector<std::string>& tables) const {
    // Only the schema that unqualified names reach counts.
    return "SELECT table_name,column_name,data_type,character_maximum_length FROM information_schema.columns "
           "WHERE table_schema = current_schema() AND table_name IN (" +
           nameList(tables) + ") ORDER BY table_name,ordinal_position";
}

void Catalogue::cacheColumns(const Rows& rows, const std::vector<std::string>& tables) {
    std::map<std::string, ColumnList> found;
    for (const Row& row : rows)
        found[row[0].value_or("")].emplace_back(row[1].value_or(""),
                                                typeStringForDatabase(row[2].value_or("").c_str(),
                                                                      row[3] ? row[3]->c_str() : nullptr));
    // A table the database lacks leaves the cache; it is made again when needed.
    for (const std::string& table : tables) {
        auto columns = found.find(table);
        if (columns == found.end())
            m_cache.erase(table);
        else
            m_cache.put(table, std::move(columns->second));
    }
}

bool Catalogue::refreshTables(const std::vector<std::string>& tables) {
    if (tables.empty()) return true;
    Outcome outcome = m_session.runRetrying(columnsQuery(tables),
                                  "reading the columns of " + std::to_string(tables.size()) + " table(s)");
    if (!outcome.ok) return false;
    cacheColumns(outcome.rows(), tables);
    return true;
}

TableColumns Catalogue::checkCachedTables(const std::vector<std::string>& alsoLookFor) {
    TableColumns present;
    std::vector<std::string> tables;
    std::vector<std::string> foreign;
    for (const auto& entry : m_cache.tables()) (isKey(entry.first) ? tables : foreign).push_back(entry.first);
    for (const std::string& table : foreign) m_cache.erase(table);
    std::vector<std::string> asked = tables;
    asked.insert(asked.end(), alsoLookFor.begin(), alsoLookFor.end());
    // One query per connection: a stored cache may be stale in ways that
    // fail nothing (a type changed), so it is compared, not trusted.
    Outcome outcome = m_session.runRetrying(columnsQuery(asked),
                                  "comparing the cached tables with the catalogue");
    if (!outcome.ok) return present;
    for (const Row& row : outcome.rows()) present[row[0].value_or("")].insert(row[1].value_or(""));
    std::map<std::string, ColumnList> cached;
    for (const std::string& table : tables) cached[table] = m_cache.find(table)->columns();
    cacheColumns(outcome.rows(), tables);
    for (const std::string& table : tables) {
        TableSchema* now = m_cache.find(table);
        if (!now || now->columns() != cached[table])
            Logger::getLogger()->info("Table %s differs from the stored cache: its columns were read again",
                                      table.c_str());
    }
    m_checkedOn = m_session.generation();
    return present;
}

bool Catalogue::checkTableExists(std::string& table, const std::set<std::string>& absent) {
    std::string key = tableKeyFor(table);
    if (m_cache.find(key)) {
        Logger::getLogger()->debug("Table %s already created into AWS Redshift", table.c_str());
        return true;
    }
    // Looked up with the block's other new tables a moment ago.
    if (absent.count(key)) return false;
    return isKey(key) && refreshTables({key}) && m_cache.find(key);
}

bool Catalogue::checkTableSchema(std::string& table, Reading* reading) {
    const TableSchema* schema = m_cache.find(tableKeyFor(table));
    if (!schema) return !reading->getReadingData().empty();
    bool missing = false;
    // Only values that can have a column count: the hint, arrays and images
    // never get one, so they never make a table look too narrow.
    names::walkReading(
        reading->getReadingData(),
        [&](const std::string& name, const DatapointValue&) { missing = missing || findColumn(*schema, name) < 0; },
        ignoreSkipped);
    return missing;
}

bool Catalogue::tryDdl(const std::string& key, const std::string& sql, DdlFailure& failure, Action& action) {
    Outcome outcome = m_session.runRetrying(sql, "changing table " + key + "; its readings wait");
    if (outcome.ok) {
        m_strikes.erase(key);
        return true;
    }
    failure.why = outcome.text();
    action = outcome.lost ? Action::Reconnect
                          : actionFor(StatementKind::Ddl, outcome.state, outcome.message, m_session.dialect().redshift);
    failure.permanent = action == Action::Permanent;
    if (action == Action::Wait) strike(key, failure);
    if (failure.permanent)
        Logger::getLogger()->error("AWS Redshift - %s (table %s; its readings are refused and kept in the rejects "
                                   "table)",
                                   failure.why.c_str(), key.c_str());
    else
        Logger::getLogger()->debug("****AWS Redshift - %s (table %s)", failure.why.c_str(), key.c_str());
    // Whatever failed, the table is now what the database says it is: another
    // writer may have made it, or made the column, with types of its own.
    if (!outcome.lost) refreshTables({key});
    return false;
}

void Catalogue::unseen(const std::string& key, const char* what, DdlFailure& failure) {
    failure.why += std::string("; ") + what + " exists, but this role cannot see it (another role's, or its name "
                   "cut by the server)";
    strike(key, failure);
    if (failure.permanent)
        Logger::getLogger()->error("AWS Redshift - %s (table %s; its readings are refused and kept in the rejects "
                                   "table)",
                                   failure.why.c_str(), key.c_str());
}

void Catalogue::strike(const std::string& key, DdlFailure& failure) {
    static constexpr int STRIKE_CALLS = 3;
    static constexpr std::chrono::minutes STRIKE_SPAN{10};
    Strikes& strikes = m_strikes[key];
    std::chrono::steady_clock::time_point now = m_now();
    if (strikes.calls == 0 || strikes.failure != failure.why)
        strikes = {failure.why, now, m_session.calls(), 1};
    else if (strikes.lastCall != m_session.calls())
        strikes.lastCall = m_session.calls(), ++strikes.calls;
    failure.permanent = strikes.calls >= STRIKE_CALLS && now - strikes.since >= STRIKE_SPAN;
    if (failure.permanent) failure.why += "; the same on 3 calls over 10 minutes";
}

bool Catalogue::createTable(std::string& table, Reading* reading, DdlFailure* failure) {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::string key = tableKeyFor(table);
    TableSchema columns(FIXED_COLUMNS);
    std::string sql = "CREATE TABLE " + sqlIdentifier(key) + " ( " + fixedColumnsDefinition();
    names::walkReading(
        reading->getReadingData(),
        [&](const std::string& name, const DatapointValue& value) {
            std::string column = columnNameFor(name);
            // A second column of the same name would fail the statement for ever.
            if (columns.find(column) >= 0) return;
            const char* type = typeStringFor(value.getType());
            columns.add(column, type);
            logRenamed(table, name, column);
            sql += " , " + sqlIdentifier(column) + type + " NULL ";
        },
        logUnsupported);
    sql += ")";
    DdlFailure why;
    Action action;
    if (!tryDdl(key, sql, why, action)) {
        // Made meanwhile by another writer: it is cached as that writer made it.
        if (m_cache.find(key)) return true;
        if (action == Action::Reread) unseen(key, "the table", why);
        if (failure) *failure = why;
        return false;
    }
    // The cache follows the database only once the database has the table.
    m_cache.put(key, columns.columns());
    Logger::getLogger()->debug("Table  %s has been created on AWS Redshift", table.c_str());
    return true;
}

bool Catalogue::alterTable(std::string& table, Reading* reading, DdlFailure* failure) {
    std::string key = tableKeyFor(table);
    if (!m_cache.find(key)) return false;
    bool ok = true;
    names::walkReading(
        reading->getReadingData(),
        [&](const std::string& name, const DatapointValue& value) {
            // Looked up again each time: a failed ALTER re-reads the table.
            TableSchema* schema = m_cache.find(key);
            if (!ok || !schema || findColumn(*schema, name) >= 0) return;
            std::string column = columnNameFor(name);
            const char* type = typeStringFor(value.getType());
            DdlFailure why;
            Action action;
            if (tryDdl(key, "ALTER TABLE " + sqlIdentifier(key) + " ADD " + sqlIdentifier(column) + type + " NULL ",
                       why, action)) {
                schema->add(column, type);
                logRenamed(table, name, column);
                Logger::getLogger()->debug("Table  %s has been altered on AWS Redshift", table.c_str());
                return;
            }
            // Added meanwhile by another writer: the re-read table has it.
            schema = m_cache.find(key);
            if (schema && findColumn(*schema, name) >= 0) return;
            if (action == Action::Reread) unseen(key, schema ? "the column" : "the table", why);
            if (failure) *failure = why;
            ok = false;
        },
        ignoreSkipped);
    return ok;
}

BlockTables Catalogue::createTablesFromPayload(const std::vector<Reading*>& readings) {
    // Each reading's table, derived once and kept for its rows; the block's
    // unknown tables are looked up together, in one query.
    BlockTables block;
    std::vector<std::string> valid;  // each reading's table as a valid name
    std::set<std::string> unknown;
    for (Reading* reading : readings) {
        valid.push_back(names::tableFor(*reading));
        block.keys.push_back(valid.back().empty() ? std::string() : tableKeyFor(valid.back()));
        if (isKey(block.keys.back()) && !m_cache.find(block.keys.back())) unknown.insert(block.keys.back());
    }
    if (!unknown.empty() && refreshTables(std::vector<std::string>(unknown.begin(), unknown.end())))
        for (const std::string& key : unknown)
            if (!m_cache.find(key)) block.absent.insert(key);
    std::map<std::string, std::unordered_set<std::string>> checked;
    for (size_t i = 0; i < readings.size(); ++i) {
        Reading* reading = readings[i];
        std::string& table = valid[i];
        const std::string& key = block.keys[i];
        if (block.failed.count(key)) continue;
        // No name, no table: a statement without a name could never succeed.
        if (key.empty()) {
            block.fail(key, {"the reading has no asset name", true});
            continue;
        }
        DdlFailure why;
        bool ready = checkTableExists(table, block.absent) || (m_session.isOpen() && createTable(table, reading, &why));
        // Readings of one asset bring the same names: a name found to have a
        // column is not looked up again in this block.
        std::unordered_set<std::string>& known = checked[key];
        bool seen = true;
        for (const Datapoint* dp : reading->getReadingData()) seen = seen && known.count(dp->getName());
        if (ready && !seen && checkTableSchema(table, reading)) ready = alterTable(table, reading, &why);
        if (ready && !seen)
            for (const Datapoint* dp : reading->getReadingData())
                if (dp->getData().getType() <= DP_FLOAT) known.insert(dp->getName());
        // A connection lost for good ends the block; it waits for the next try.
        if (!ready && !m_session.isOpen()) return block;
        if (ready && !m_strikes.empty()) m_strikes.erase(key);
        if (ready)
            block.ready.insert(key);
        else
            block.fail(key, why);
    }
    return block;
}
