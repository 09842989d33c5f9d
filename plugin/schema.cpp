// Tables: what the cache and the database know of them, creating and widening
// them, and which table each reading goes to.
#include <rapidjson/document.h>

#include <unordered_map>

#include "logger.h"
#include "redshift.h"
#include "string_utils.h"

namespace {

bool hasColumn(const ColumnList& columns, const std::string& name) {
    for (const Column& column : columns)
        if (sameColumnName(column.first, name)) return true;
    return false;
}

// Looks names up in a column list, trying first the column after the last
// one found: a reading usually names its datapoints in the order its table's
// columns were made from them. Off that order, an index of the list is built
// once, so a wide reading never costs a scan of the list per datapoint.
class ColumnFinder {
public:
    explicit ColumnFinder(const ColumnList& columns) : m_columns(columns) {}
    bool has(const std::string& name) {
        // A few columns ahead: the fixed columns, or one a datapoint skipped.
        for (size_t i = m_next; i < m_columns.size() && i < m_next + 8; ++i) {
            if (sameColumnName(m_columns[i].first, name)) {
                m_next = i + 1;
                return true;
            }
        }
        if (m_index.empty()) {
            for (size_t i = 0; i < m_columns.size(); ++i) m_index.emplace(storedName(m_columns[i].first), i);
        }
        auto found = m_index.find(storedName(name));
        if (found == m_index.end()) return false;
        m_next = found->second + 1;
        return true;
    }

private:
    const ColumnList& m_columns;
    std::unordered_map<std::string, size_t> m_index;
    size_t m_next = 0;
};

bool holdsChildren(const Datapoint* dp) {
    uint32_t type = dp->getData().getType();
    return type == DP_DICT || type == DP_LIST;
}

const char* typeStringForDatabaseType(const char* dataType) {
    std::string type(dataType);
    if (type == "real") return TYPE_REAL;
    if (type == "bigint") return TYPE_BIGINT;
    if (type == "timestamp with time zone") return TYPE_TIMESTAMPTZ;
    return TYPE_VARCHAR;
}

// The buffer's text as one string; the buffer is emptied first so that the
// statement exists twice at most while it is copied.
std::string takeText(SQLBuffer& sql) {
    const char* text = sql.coalesce();
    sql.clear();
    std::string statement(text);
    delete[] text;
    return statement;
}

}  // namespace

bool Redshift::checkTableExists(std::string& table, Reading* /*reading*/) {
    if (schemaCache.count(table)) {
        Logger::getLogger()->debug("Table %s already created into AWS Redshift", table.c_str());
        return true;
    }
    // The database stores unquoted names in lower case; table names are valid
    // SQL names, so the literal needs no escaping.
    QueryOutcome outcome = executeQuery(
        "SELECT column_name,data_type FROM information_schema.columns WHERE table_name = '" + storedName(table) +
        "' ORDER BY ordinal_position");
    if (!outcome.first || outcome.second.empty()) return false;
    ColumnList columns;
    for (const auto& row : outcome.second) {
        std::string name = row[0].c_str();
        // Same-named tables in other schemas report their columns too; a
        // column list never names a column twice.
        if (hasColumn(columns, name)) continue;
        columns.emplace_back(name, typeStringForDatabaseType(row[1].c_str()));
    }
    schemaCache.emplace(table, std::move(columns));
    return true;
}

bool Redshift::checkTableSchema(std::string& table, Reading* reading) {
    const std::vector<Datapoint*>& datapoints = reading->getReadingData();
    auto entry = schemaCache.find(table);
    if (entry == schemaCache.end()) return !datapoints.empty();
    ColumnFinder columns(entry->second);
    for (Datapoint* dp : datapoints) {
        // A nested datapoint has no column of its own: each of its leaves must.
        if (holdsChildren(dp)) {
            bool missing = false;
            if (dp->getName() != AWS_REDSHIFT_HINT)
                forEachLeaf(dp->getName(), dp,
                            [&](const std::string& column, const DatapointValue&) { missing |= !columns.has(column); });
            if (missing) return true;
            continue;
        }
        std::string name = dp->getName();
        getValidSQLName(name);
        if (!columns.has(name)) return true;
    }
    return false;
}

bool Redshift::createTable(std::string& table, Reading* reading) {
    std::lock_guard<std::mutex> guard(mutex);
    ColumnList columns = {{"asset_code", TYPE_VARCHAR},
                          {"user_ts", TYPE_TIMESTAMPTZ},
                          {"ts", TYPE_TIMESTAMPTZ},
                          {"vantrel", TYPE_VARCHAR}};
    SQLBuffer sql;
    sql.append("CREATE TABLE ");
    sql.append(sqlIdentifier(table));
    sql.append(" ( asset_code VARCHAR(256) NOT NULL, user_ts TIMESTAMPTZ, ts TIMESTAMPTZ, vantrel VARCHAR(256) ");
    std::vector<std::string> names, types;
    std::vector<DatapointValue> values;
    for (Datapoint* dp : reading->getReadingData()) {
        names.clear();
        types.clear();
        values.clear();
        prepareQueryData(dp, names, types, values);
        for (size_t i = 0; i < names.size(); ++i) {
            // A second column of the same name would make the statement fail
            // for ever; the first one stays.
            if (hasColumn(columns, names[i])) continue;
            sql.append(" , ");
            sql.append(sqlIdentifier(names[i]));
            sql.append(types[i]);
            sql.append(" NULL ");
            columns.emplace_back(names[i], types[i]);
        }
    }
    sql.append(")");
    if (!executeQuery(takeText(sql)).first) return false;
    // The cache follows the database only once the database has the table.
    schemaCache.emplace(table, std::move(columns));
    Logger::getLogger()->debug("Table  %s has been created on AWS Redshift", table.c_str());
    return true;
}

bool Redshift::alterTable(std::string& table, Reading* reading) {
    const std::vector<Datapoint*>& datapoints = reading->getReadingData();
    if (datapoints.empty()) return true;
    auto entry = schemaCache.find(table);
    if (entry == schemaCache.end()) return false;
    ColumnList& columns = entry->second;
    std::vector<std::string> names, types;
    std::vector<DatapointValue> values;
    for (Datapoint* dp : datapoints) {
        if (!holdsChildren(dp)) {
            std::string name = dp->getName();
            getValidSQLName(name);
            if (hasColumn(columns, name)) continue;
        }
        names.clear();
        types.clear();
        values.clear();
        prepareQueryData(dp, names, types, values);
        for (size_t i = 0; i < names.size(); ++i) {
            // Only what the table lacks, including columns added for earlier
            // datapoints of this reading.
            if (hasColumn(columns, names[i])) continue;
            SQLBuffer sql;
            sql.append("ALTER TABLE ");
            sql.append(sqlIdentifier(table));
            sql.append(" ADD ");
            sql.append(sqlIdentifier(names[i]));
            sql.append(types[i]);
            sql.append(" NULL ");
            if (!executeQuery(takeText(sql)).first) return false;
            columns.emplace_back(names[i], types[i]);
            Logger::getLogger()->debug("Table  %s has been altered on AWS Redshift", table.c_str());
        }
    }
    return true;
}

std::string Redshift::tableNameFor(const Reading* reading) {
    std::string table;
    if (Datapoint* hint = reading->getDatapoint(AWS_REDSHIFT_HINT)) {
        std::string text = hint->getData().toString();
        StringReplaceAll(text, "\\", "");
        if (!text.empty() && text[0] == '"') text = text.size() >= 2 ? text.substr(1, text.size() - 2) : "";
        rapidjson::Document doc;
        // Iterative parsing: no nesting depth can exhaust the stack.
        doc.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
        if (doc.HasParseError()) {
            Logger::getLogger()->debug("Could not parse AWS Redshift Hints JSON : %s ", text.c_str());
        } else if (doc.IsObject()) {
            auto member = doc.FindMember("tablename");
            if (member != doc.MemberEnd() && member->value.IsString()) table = member->value.GetString();
        }
    }
    if (table.empty()) table = reading->getAssetName();
    getValidSQLName(table);
    return table;
}

void Redshift::createTablesFromPayload(const std::vector<Reading*>& readings, TableNameList& tableNames,
                                       TableIndexMap& tableIndex) {
    for (Reading* reading : readings) {
        std::string table = tableNameFor(reading);
        // No name, no table: without an asset name or hint there is nothing
        // to create, and a statement without a name could never succeed.
        if (table.empty()) {
            tableNames.push_back(table);
            continue;
        }
        if (!checkTableExists(table, reading) && !createTable(table, reading)) {
            tableNames.push_back(table);
            continue;
        }
        if (checkTableSchema(table, reading) && !alterTable(table, reading)) {
            tableNames.push_back(table);
            continue;
        }
        tableIndex.emplace(table, 0);
    }
}
