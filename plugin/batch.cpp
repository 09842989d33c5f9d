// Delivery: one multi-row INSERT per table and block, executed in table order.
#include <charconv>
#include <cmath>
#include <unordered_map>

#include "logger.h"
#include "redshift.h"

namespace {

// How a column's value is written, decided once per table and block rather
// than by comparing names and type strings for every value.
enum class ColumnKind { Fixed, Bigint, Real, Varchar, OtherText };

ColumnKind kindOf(const Column& column) {
    const std::string& name = column.first;
    // The four fixed columns take the reading's own values, whatever their type.
    if (name == "asset_code" || name == "user_ts" || name == "ts" || name == "vantrel") return ColumnKind::Fixed;
    if (column.second == TYPE_BIGINT) return ColumnKind::Bigint;
    if (column.second == TYPE_REAL) return ColumnKind::Real;
    if (column.second == TYPE_VARCHAR) return ColumnKind::Varchar;
    return ColumnKind::OtherText;
}

// Row text goes straight into the statement's buffer; only near the size
// limit is a row first written here, to learn its exact length. The numbers
// come out as the buffer writes them.
struct TextOut {
    std::string& text;
    void append(char c) { text.push_back(c); }
    void append(const char* s) { text.append(s); }
    void append(const char* s, size_t n) { text.append(s, n); }
    void append(const std::string& s) { text.append(s); }
    void append(long value) {
        char digits[32];
        text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    }
    void append(double value) {
        char digits[32];
        text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    }
};

// The body of a '...' literal: quotes doubled, backslashes doubled where the
// server reads them as escapes, NUL bytes (which text cannot hold and which
// would cut the statement short) dropped.
template <typename Out>
void appendEscaped(Out& out, const std::string& text, bool backslashEscapes) {
    const char* data = text.data();
    size_t size = text.size();
    size_t plain = 0;
    for (size_t i = 0; i < size; ++i) {
        char c = data[i];
        if (c == '\'' || (c == '\\' && backslashEscapes)) {
            out.append(data + plain, i + 1 - plain);
            out.append(c);
            plain = i + 1;
        } else if (c == '\0') {
            out.append(data + plain, i - plain);
            plain = i + 1;
        }
    }
    out.append(data + plain, size - plain);
}

// 2^63: the first double past the range of a 64-bit integer.
constexpr double INT64_LIMIT = 9223372036854775808.0;

template <typename Out>
void appendBigint(Out& sql, const DatapointValue* value) {
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

template <typename Out>
void appendReal(Out& sql, const DatapointValue* value) {
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

// What one reading puts into its row.
struct Row {
    const std::string* asset;
    std::string userTs;
    std::string ts;
    const std::string* instance;
    const std::vector<ColumnKind>* kinds;
    const std::vector<const DatapointValue*>* slots;
    bool backslashEscapes;

    // No shorter than the row's text: escaping at most doubles a text, and no
    // number takes more than 24 characters.
    size_t bound() const {
        size_t size = 64 + 2 * (asset->size() + userTs.size() + ts.size() + instance->size());
        for (const DatapointValue* value : *slots)
            size += 64 + (value && value->getType() == DP_STRING ? 2 * value->stringValue().size() : 0);
        return size;
    }

    template <typename Out>
    void write(Out& sql, bool first) const {
        sql.append(first ? " ( '" : ", ( '");
        appendEscaped(sql, *asset, backslashEscapes);
        sql.append("', '");
        appendEscaped(sql, userTs, backslashEscapes);
        sql.append("+00:00', '");
        appendEscaped(sql, ts, backslashEscapes);
        sql.append("+00:00', '");
        appendEscaped(sql, *instance, backslashEscapes);
        sql.append('\'');
        for (size_t i = 0; i < kinds->size(); ++i) {
            ColumnKind kind = (*kinds)[i];
            const DatapointValue* value = (*slots)[i];
            if (kind == ColumnKind::Fixed) {
                continue;
            } else if (kind == ColumnKind::Bigint) {
                appendBigint(sql, value);
            } else if (kind == ColumnKind::Real) {
                appendReal(sql, value);
            } else if (value) {
                sql.append(",'");
                if (value->getType() == DP_STRING)
                    appendEscaped(sql, value->stringValue(), backslashEscapes);
                else
                    appendEscaped(sql, value->toString(), backslashEscapes);
                sql.append('\'');
            } else {
                // Only a text column takes the empty text; '' is no timestamp.
                sql.append(kind == ColumnKind::Varchar ? ",''" : ",null");
            }
        }
        sql.append(") ");
    }
};

// What one table's statements need while rows are added to them.
struct TableRows {
    std::vector<Batch>* batches;
    const ColumnList* columns;
    std::vector<ColumnKind> kinds;
    std::string header;
    // Column index by the lower-case column name (first of a name wins).
    std::unordered_map<std::string, int> columnByName;
    // Column index by a top-level datapoint's own name, learnt as readings
    // come, so a name is made valid once per block rather than once per value.
    std::unordered_map<std::string, int> columnByDatapoint;

    int columnFor(const std::string& validName) const {
        auto found = columnByName.find(storedName(validName));
        return found == columnByName.end() ? -1 : found->second;
    }
    Batch& startStatement() {
        batches->emplace_back();
        Batch& batch = batches->back();
        batch.sql = std::make_unique<SQLBuffer>();
        batch.sql->append(header);
        return batch;
    }
};

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
        rows.header = "INSERT INTO  " + sqlIdentifier(table) + " ( ";
        for (size_t i = 0; i < rows.columns->size(); ++i) {
            const std::string& column = (*rows.columns)[i].first;
            if (i > 0) rows.header += " , ";
            rows.header += sqlIdentifier(column);
            rows.columnByName.emplace(storedName(column), static_cast<int>(i));
            rows.kinds.push_back(kindOf((*rows.columns)[i]));
        }
        rows.header += ") VALUES ";
        rows.batches = &batches[table];
        rows.startStatement();
        open.emplace(table, std::move(rows));
    }

    std::vector<const DatapointValue*> slots;
    std::string scratch;
    for (Reading* reading : readings) {
        std::string table = tableNameFor(reading);
        auto found = open.find(table);
        if (found == open.end()) continue;
        TableRows& rows = found->second;

        // The value of a column is the first datapoint (or nested leaf), in
        // reading order, whose valid name is the column's.
        const ColumnList& columns = *rows.columns;
        slots.assign(columns.size(), nullptr);
        for (const Datapoint* dp : reading->getReadingData()) {
            if (dp->getName() == AWS_REDSHIFT_HINT) continue;
            uint32_t type = dp->getData().getType();
            if (type == DP_DICT || type == DP_LIST) {
                forEachLeaf(dp->getName(), dp, [&rows, &slots](const std::string& column, const DatapointValue& value) {
                    int index = rows.columnFor(column);
                    if (index >= 0 && !slots[index]) slots[index] = &value;
                });
                continue;
            }
            if (type != DP_STRING && type != DP_INTEGER && type != DP_FLOAT) continue;
            auto known = rows.columnByDatapoint.find(dp->getName());
            if (known == rows.columnByDatapoint.end()) {
                std::string valid = dp->getName();
                getValidSQLName(valid);
                known = rows.columnByDatapoint.emplace(dp->getName(), rows.columnFor(valid)).first;
            }
            int index = known->second;
            if (index >= 0 && !slots[index]) slots[index] = &dp->getData();
        }

        Row row{&reading->getAssetName(),
                reading->getAssetDateUserTime(Reading::FMT_DEFAULT, true),
                reading->getAssetDateTime(Reading::FMT_DEFAULT, true),
                &instanceName,
                &rows.kinds,
                &slots,
                backslashEscapes};
        Batch* batch = &rows.batches->back();
        if (batch->rows > 0 && batch->sql->length() + row.bound() > maxStatementBytes) {
            // Near the limit: a row that would take the statement past it
            // opens the next statement of the table instead.
            scratch.clear();
            TextOut text{scratch};
            row.write(text, false);
            if (batch->sql->length() + scratch.size() > maxStatementBytes) {
                batch = &rows.startStatement();
                scratch.clear();
                row.write(text, true);
            }
            batch->sql->append(scratch);
        } else {
            row.write(*batch->sql, batch->rows == 0);
        }
        ++batch->rows;
        ++tableIndex[table];
    }
}

uint32_t Redshift::send(const std::vector<Reading*>& readings) {
    if (!connection && !reconnect(3)) return 0;
    TableNameList tableNames;
    TableIndexMap tableIndex;
    BatchMap batches;
    createTablesFromPayload(readings, tableNames, tableIndex);
    createBatch(readings, tableNames, tableIndex, batches);

    uint32_t sent = 0;
    for (auto& table : batches) {
        for (Batch& batch : table.second) {
            // The buffer goes before the text is copied, so a statement exists
            // at most twice in memory.
            const char* text = batch.sql->coalesce();
            batch.sql.reset();
            std::string statement(text);
            delete[] text;
            // The first failure stops everything after it; a statement's rows
            // count once it succeeded.
            if (!executeQuery(statement).first) return sent;
            sent += static_cast<uint32_t>(batch.rows);
        }
    }
    return sent;
}
