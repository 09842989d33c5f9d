// Delivery: one multi-row INSERT per table and block, executed in table order.
#include <cmath>
#include <limits>
#include <unordered_map>

#include "logger.h"
#include "redshift.h"

namespace {

bool isFixedColumn(const std::string& name) {
    return name == "asset_code" || name == "user_ts" || name == "ts" || name == "vantrel";
}

// What one table's statement needs while rows are added to it.
struct TableRows {
    SQLBuffer* sql;
    const ColumnList* columns;
    // Column index by the lower-case column name (first of a name wins).
    std::unordered_map<std::string, int> columnByName;
    // Column index by a top-level datapoint's own name, learnt as readings
    // come, so a name is made valid once per block rather than once per value.
    std::unordered_map<std::string, int> columnByDatapoint;
    int columnFor(const std::string& validName) const {
        auto found = columnByName.find(storedName(validName));
        return found == columnByName.end() ? -1 : found->second;
    }
};

// The (column, value) entries a nested datapoint yields: the same names and
// order as its columns were made with, without copying any value.
void collectLeaves(std::string prefix, const Datapoint* dp, const TableRows& rows,
                   std::vector<const DatapointValue*>& slots) {
    Redshift::getValidSQLName(prefix);
    const std::vector<Datapoint*>* children = dp->getData().getDpVec();
    if (!children) return;
    for (const Datapoint* child : *children) {
        std::string column = prefix + "_" + child->getName();
        switch (child->getData().getType()) {
            case DP_STRING:
            case DP_INTEGER:
            case DP_FLOAT: {
                Redshift::getValidSQLName(column);
                int index = rows.columnFor(column);
                if (index >= 0 && !slots[index]) slots[index] = &child->getData();
                break;
            }
            case DP_DICT:
            case DP_LIST:
                collectLeaves(column, child, rows, slots);
                break;
            default:
                break;
        }
    }
}

// 2^63: the first double past the range of a 64-bit integer.
constexpr double INT64_LIMIT = 9223372036854775808.0;

void appendBigint(SQLBuffer& sql, const DatapointValue* value) {
    if (value && value->getType() == DP_INTEGER) {
        sql.append(',');
        sql.append(value->toInt());
        return;
    }
    // A float is written only when it is a whole number the column can hold.
    if (value && value->getType() == DP_FLOAT) {
        double v = value->toDouble();
        if (std::isfinite(v) && v == std::trunc(v) && v >= -INT64_LIMIT && v < INT64_LIMIT) {
            sql.append(',');
            sql.append(static_cast<long>(v));
            return;
        }
    }
    sql.append(",null");
}

void appendReal(SQLBuffer& sql, const DatapointValue* value) {
    if (value && value->getType() == DP_INTEGER) {
        sql.append(',');
        sql.append(value->toInt());
        return;
    }
    // NaN and infinities are no numeric literal, and a value the column
    // cannot hold would fail the whole statement: both are written as null.
    if (value && value->getType() == DP_FLOAT) {
        double v = value->toDouble();
        float narrowed = static_cast<float>(v);
        if (std::isfinite(narrowed) && (narrowed != 0.0f || v == 0.0)) {
            sql.append(',');
            sql.append(v);
            return;
        }
    }
    sql.append(",null");
}

}  // namespace

void Redshift::createBatch(const std::vector<Reading*>& readings, TableNameList& tableNames,
                           TableIndexMap& tableIndex, BatchMap& batches) {
    std::map<std::string, TableRows> open;
    for (auto& ready : tableIndex) {
        const std::string& table = ready.first;
        // A table that failed for any reading of the block takes no rows.
        bool failed = false;
        for (const std::string& name : tableNames)
            if (name == table) failed = true;
        if (failed) continue;
        auto cached = schemaCache.find(table);
        if (cached == schemaCache.end()) continue;
        TableRows rows;
        rows.columns = &cached->second;
        auto sql = std::make_unique<SQLBuffer>();
        sql->append("INSERT INTO  ");
        sql->append(sqlIdentifier(table));
        sql->append(" ( ");
        for (size_t i = 0; i < rows.columns->size(); ++i) {
            const std::string& column = (*rows.columns)[i].first;
            if (i > 0) sql->append(" , ");
            sql->append(sqlIdentifier(column));
            rows.columnByName.emplace(storedName(column), static_cast<int>(i));
        }
        sql->append(") VALUES ");
        rows.sql = sql.get();
        batches.emplace(table, sql.release());
        open.emplace(table, std::move(rows));
    }

    std::vector<const DatapointValue*> slots;
    for (Reading* reading : readings) {
        std::string table = tableNameFor(reading);
        auto found = open.find(table);
        if (found == open.end()) continue;
        TableRows& rows = found->second;
        SQLBuffer& sql = *rows.sql;
        int& count = tableIndex[table];

        sql.append(count == 0 ? " ( '" : ", ( '");
        appendLiteral(sql, reading->getAssetName());
        sql.append("', '");
        appendLiteral(sql, reading->getAssetDateUserTime(Reading::FMT_DEFAULT, true));
        sql.append("+00:00', '");
        appendLiteral(sql, reading->getAssetDateTime(Reading::FMT_DEFAULT, true));
        sql.append("+00:00', '");
        appendLiteral(sql, instanceName);
        sql.append('\'');
        ++count;

        // The value of a column is the first datapoint (or nested leaf), in
        // reading order, whose valid name is the column's.
        const ColumnList& columns = *rows.columns;
        slots.assign(columns.size(), nullptr);
        for (const Datapoint* dp : reading->getReadingData()) {
            uint32_t type = dp->getData().getType();
            if (type == DP_DICT || type == DP_LIST) {
                if (dp->getName() != AWS_REDSHIFT_HINT) collectLeaves(dp->getName(), dp, rows, slots);
                continue;
            }
            if (type != DP_STRING && type != DP_INTEGER && type != DP_FLOAT) continue;
            if (dp->getName() == AWS_REDSHIFT_HINT) continue;
            auto known = rows.columnByDatapoint.find(dp->getName());
            if (known == rows.columnByDatapoint.end()) {
                std::string valid = dp->getName();
                getValidSQLName(valid);
                known = rows.columnByDatapoint.emplace(dp->getName(), rows.columnFor(valid)).first;
            }
            int index = known->second;
            if (index >= 0 && !slots[index]) slots[index] = &dp->getData();
        }

        for (size_t i = 0; i < columns.size(); ++i) {
            const std::string& type = columns[i].second;
            if (isFixedColumn(columns[i].first)) continue;
            const DatapointValue* value = slots[i];
            if (type == TYPE_BIGINT) {
                appendBigint(sql, value);
            } else if (type == TYPE_REAL) {
                appendReal(sql, value);
            } else if (value) {
                sql.append(",'");
                if (value->getType() == DP_STRING)
                    appendLiteral(sql, value->stringValue());
                else
                    appendLiteral(sql, value->toString());
                sql.append('\'');
            } else {
                // Only a text column takes the empty text; '' is no timestamp.
                sql.append(type == TYPE_VARCHAR ? ",''" : ",null");
            }
        }
        sql.append(") ");
    }
}

uint32_t Redshift::send(const std::vector<Reading*>& readings) {
    if (!connection && !reconnect(3)) return 0;
    TableNameList tableNames;
    TableIndexMap tableIndex;
    BatchMap batches;
    // Every buffer is released on every way out, exceptions included.
    struct Release {
        BatchMap& batches;
        ~Release() {
            for (auto& batch : batches) delete batch.second;
        }
    } release{batches};

    createTablesFromPayload(readings, tableNames, tableIndex);
    createBatch(readings, tableNames, tableIndex, batches);
    if (batches.empty()) return 0;

    uint32_t sent = 0;
    for (auto& batch : batches) {
        // The buffer goes before the text is copied, so a statement exists at
        // most twice in memory.
        const char* text = batch.second->coalesce();
        delete batch.second;
        batch.second = nullptr;
        std::string statement(text);
        delete[] text;
        // The first failure stops the tables after it.
        if (!executeQuery(statement).first) break;
        auto rows = tableIndex.find(batch.first);
        if (rows != tableIndex.end()) sent += static_cast<uint32_t>(rows->second);
    }
    return sent;
}
