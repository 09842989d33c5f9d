// From readings to rows: each value written the way its column takes it,
// fitted where the column cannot hold it as sent, with a note of every change.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <unordered_map>

#include "rows/block_rows.h"
#include "rules/datapoint_walk.h"
#include "rules/literal.h"
#include "logger.h"
#include "rules/names.h"
#include "rows/reading_json.h"
#include "rows/batch_builder.h"
#include "rules/sql_names.h"
#include "rules/utf8.h"

namespace {


// How one column of a table is written, decided once per table and block.
struct Slot {
    ColumnKind kind;
    size_t limit;  // bytes a character column holds; 0 for no limit
    FixedColumn fixed;
    const std::string* name;
    bool singleByte;  // takes single-byte characters only (Redshift's CHAR)
};

void appendNumber(std::string& out, long value) {
    char digits[32];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

void appendNumber(std::string& out, double value) {
    char digits[32];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// The table of a reading beyond those the block's tables were found for: no
// key can be it, so the reading meets the fault path, never another table.
const std::string NOT_LOOKED_AT = "(not looked at)";

// 2^63: the first double past the range of a 64-bit integer.
constexpr double INT64_LIMIT = 9223372036854775808.0;

const char* kindName(uint32_t type) {
    switch (type) {
        case DP_STRING: return "text";
        case DP_INTEGER: return "integer";
        default: return "float";
    }
}

// How a row's values are written for an INSERT: SQL literals.
struct SqlValues {
    std::string& out;
    void text(std::string_view text) { appendTextLiteral(out, text); }
    void emptyText() { out += "''"; }
    void null() { out += "null"; }
    template <typename Number>
    void number(Number value) { appendNumber(out, value); }
    void timestamp(const std::string& utc) { out += timestampLiteral(utc); }
    void begin() { out += " ( "; }
    void next() { out += ','; }
    void end() { out += ") "; }
};

// How they are written for a COPY: one line of Redshift's CSV (comma,
// '"' doubled inside quotes, no ESCAPE, no NULL AS, no EMPTYASNULL). Its
// rules, as documented: an empty unquoted field is NULL in a column that is
// not a character column, and '' in one. The plugin writes NULL only into
// such other columns (a character column gets '' for an absent value, as
// the INSERT writes it), so NULL is always an empty unquoted field, and
// every text is quoted, '' as "". What the documentation leaves open, and
// only a cluster can confirm, is kept out: a text that reads like the null
// string ("\N") makes its table go by INSERT, and a quoted "" is never
// meant as NULL. Numbers and timestamps go as the INSERT writes them; a
// TIMESTAMPTZ reads "YYYY-MM-DD HH:MI:SS.ffffff+00:00" without TIMEFORMAT.
struct CsvValues {
    std::string& out;
    bool& ambiguous;
    void text(std::string_view text) {
        ambiguous = ambiguous || text == "\\N";
        out += '"';
        for (size_t at = 0, quote; at < text.size(); at = quote + 1) {
            quote = std::min(text.find('"', at), text.size());
            out.append(text.data() + at, quote - at);
            if (quote < text.size()) out += "\"\"";
        }
        out += '"';
    }
    void emptyText() { out += "\"\""; }
    void null() {}
    template <typename Number>
    void number(Number value) { appendNumber(out, value); }
    void timestamp(const std::string& utc) { out += utc + "+00:00"; }
    void begin() {}
    void next() { out += ','; }
    void end() { out += '\n'; }
};

// A table's columns as a statement names them: all, or the fixed ones alone.
std::string columnList(const TableSchema& schema, bool fixedOnly) {
    std::string list;
    for (const Column& column : schema.columns())
        if (!fixedOnly || fixedColumnOf(column.first) != FixedColumn::None)
            list += (list.empty() ? "" : " , ") + sqlIdentifier(column.first);
    return list;
}

// Writes one row through `Values`; every change made to fit a value is kept
// in `reasons`, whichever way the row goes.
template <typename Values>
class RowWriter {
public:
    RowWriter(Values out, std::vector<std::string>& reasons, ChangeNotes& changes, const std::string& table)
        : m_out(out), m_reasons(reasons), m_changes(changes), m_table(table) {}

    void text(const Slot& slot, const std::string& value) {
        std::string repaired;
        const std::string& text = storable(slot, value, repaired);
        size_t length = text.size();
        // Text longer than its column is cut at a character boundary.
        if (slot.limit && length > slot.limit) {
            length = fitUtf8(text, slot.limit);
            change(slot, "text of " + std::to_string(text.size()) + " bytes cut to " + std::to_string(length));
        }
        m_out.text(std::string_view(text.data(), length));
    }

    void value(const Slot& slot, const DatapointValue* value) {
        if (!value) {
            // Only a character column takes the empty text; '' is no number or date.
            return slot.kind == ColumnKind::Text ? m_out.emptyText() : m_out.null();
        }
        uint32_t type = value->getType();
        switch (slot.kind) {
            case ColumnKind::Bigint:
                if (type == DP_INTEGER) return m_out.number(value->toInt());
                // A float is written only when it is a whole number the column can hold.
                if (type == DP_FLOAT) {
                    double v = value->toDouble();
                    if (std::isfinite(v) && v == std::trunc(v) && v >= -INT64_LIMIT && v < INT64_LIMIT)
                        return m_out.number(static_cast<long>(v));
                }
                return null(slot, *value);
            case ColumnKind::Real:
                if (type == DP_INTEGER) return integerAsReal(slot, value->toInt());
                // NaN, infinities and what a REAL cannot hold are no value it takes.
                if (type == DP_FLOAT) {
                    double v = value->toDouble();
                    float narrowed = static_cast<float>(v);
                    if (std::isfinite(narrowed) && (narrowed != 0.0f || v == 0.0)) return m_out.number(v);
                }
                return null(slot, *value);
            case ColumnKind::Text:
                return text(slot, value->toString());
            default: {
                // A column of a type the plugin does not make takes a literal it
                // converts itself; one it refuses is a refused row, not a stall.
                // A backslash would need an expression, which it would not convert.
                std::string shown = value->toString();
                if (type == DP_STRING && shown.find('\\') != std::string::npos) return null(slot, *value);
                return text(slot, shown);
            }
        }
    }

    void change(const Slot& slot, const std::string& what) {
        m_reasons.push_back(*slot.name + ": " + what);
        m_changes.note(m_table, *slot.name, what);
    }

private:
    // The value as the column can hold it: `value` itself, or `repaired`
    // holding what had to change.
    const std::string& storable(const Slot& slot, const std::string& value, std::string& repaired) {
        const std::string* text = &value;
        // Invalid UTF-8 would be refused for ever: each bad sequence becomes U+FFFD.
        if (!isValidUtf8(value)) {
            repaired = validUtf8(value);
            text = &repaired;
            change(slot, "invalid UTF-8 replaced");
        }
        // No text column holds a NUL character: it is left out, and the
        // reading as sent kept.
        if (text->find('\0') != std::string::npos) {
            if (text != &repaired) repaired = value;
            repaired.erase(std::remove(repaired.begin(), repaired.end(), '\0'), repaired.end());
            text = &repaired;
            change(slot, "NUL character dropped");
        }
        // Redshift's CHAR refuses a character of several bytes: each is
        // written as one '?', so the row is stored rather than refused.
        if (slot.singleByte) {
            std::string ascii = asciiOnly(*text);
            if (ascii.size() != text->size()) {
                repaired = std::move(ascii);
                text = &repaired;
                change(slot, "characters outside ASCII written as '?' for CHAR");
            }
        }
        return *text;
    }

    // REAL keeps 24 bits: a larger integer is written as it is and the server
    // rounds it, so the change is recorded. The server's rounding is the
    // cast's, to the nearest float.
    void integerAsReal(const Slot& slot, long value) {
        m_out.number(value);
        float held = static_cast<float>(value);
        // 2^63 itself is past every long, so it is compared as a double.
        if (static_cast<double>(held) < INT64_LIMIT && static_cast<long>(held) == value) return;
        std::string shown;
        appendNumber(shown, static_cast<double>(held));
        change(slot, "integer " + std::to_string(value) + " is not exact in REAL, which holds " + shown);
    }

    void null(const Slot& slot, const DatapointValue& value) {
        m_out.null();
        std::string shown = value.getType() == DP_STRING ? "text" : kindName(value.getType()) + (" " + value.toString());
        change(slot, shown + " does not fit" + (slot.kind == ColumnKind::Bigint  ? std::string(" BIGINT")
                                                : slot.kind == ColumnKind::Real ? std::string(" REAL")
                                                                                : std::string(" its type")) +
                         ", stored as null");
    }

    Values m_out;
    std::vector<std::string>& m_reasons;
    ChangeNotes& m_changes;
    const std::string& m_table;
};

}  // namespace

// What one table needs while its rows are written.
struct BatchBuilder::OpenTable {
    TableRows* rows = nullptr;  // an INSERT's; none for CSV
    const TableSchema* schema;
    std::vector<Slot> slots;
    // Column position by a datapoint's own name, learnt as readings come, so a
    // name is mapped once per block rather than once per value.
    std::unordered_map<std::string, int> byDatapoint;
    // The reading in hand: its value for each column, or null.
    std::vector<const DatapointValue*> values;
    // The last row's length: rows of one table are much alike, so a row is
    // given its room at once rather than grown value by value.
    size_t rowSize = 64;
};

BatchBuilder::OpenTable BatchBuilder::openTable(const TableSchema& schema) const {
    OpenTable table;
    table.schema = &schema;
    for (const Column& column : schema.columns())
        table.slots.push_back({kindOf(column.second), textLimit(column.second), fixedColumnOf(column.first),
                               &column.first, m_redshiftRules && isCharType(column.second)});
    return table;
}

void BatchBuilder::openInsert(const std::string& key, const TableSchema& schema, BlockRows& block,
                              std::map<std::string, OpenTable>& open) const {
    OpenTable table = openTable(schema);
    table.rows = &block.tables[key];
    table.rows->header = "INSERT INTO  " + sqlIdentifier(key) + " ( " + columnList(schema, false) + ") VALUES ";
    if (m_redshiftRules)
        table.rows->fixedHeader = "INSERT INTO  " + sqlIdentifier(key) + " ( " + columnList(schema, true) + ") VALUES ";
    open.emplace(key, std::move(table));
}

void BatchBuilder::placeValues(const Reading& reading, const std::string& key, OpenTable& table,
                           std::vector<std::string>& reasons, ChangeNotes& changes) const {
    table.values.assign(table.slots.size(), nullptr);
    auto place = [&](int index, const std::string& datapoint, const DatapointValue& value) {
        if (index < 0) {
            reasons.push_back("datapoint " + datapoint + " has no column");
        } else if (table.values[index]) {
            // Two datapoints whose names map to one column: the first keeps it.
            reasons.push_back("datapoint " + datapoint + " shares column " + *table.slots[index].name +
                              " with an earlier datapoint; its value is not stored");
            changes.note(key, *table.slots[index].name, "two datapoints for one column");
        } else {
            table.values[index] = &value;
        }
    };
    for (const Datapoint* dp : reading.getReadingData()) {
        uint32_t type = dp->getData().getType();
        if (type == DP_STRING || type == DP_INTEGER || type == DP_FLOAT) {
            if (dp->getName() == AWS_REDSHIFT_HINT) continue;
            auto known = table.byDatapoint.find(dp->getName());
            if (known == table.byDatapoint.end()) {
                std::string valid = dp->getName();
                names::makeValid(valid);
                known = table.byDatapoint.emplace(dp->getName(), m_catalogue.findColumn(*table.schema, valid)).first;
            }
            place(known->second, dp->getName(), dp->getData());
        } else if (type == DP_DICT || type == DP_LIST) {
            names::walkLeaves(
                dp->getName(), *dp,
                [&](const std::string& column, const DatapointValue& value) {
                    place(m_catalogue.findColumn(*table.schema, column), column, value);
                },
                [](const std::string&, uint32_t) {});
        }
    }
}

template <typename Values>
void BatchBuilder::writeValues(Values out, const Reading& reading, const OpenTable& table,
                               std::vector<std::string>& reasons, ChangeNotes& changes, const std::string& key,
                               bool fixedOnly) const {
    out.begin();
    RowWriter<Values> writer(out, reasons, changes, key);
    bool first = true;
    for (size_t i = 0; i < table.slots.size(); ++i) {
        const Slot& slot = table.slots[i];
        if (fixedOnly && slot.fixed == FixedColumn::None) continue;
        if (!first) out.next();
        first = false;
        switch (slot.fixed) {
            case FixedColumn::Asset: writer.text(slot, reading.getAssetName()); break;
            case FixedColumn::Instance: writer.text(slot, m_instanceName); break;
            case FixedColumn::UserTs: out.timestamp(reading.getAssetDateUserTime(Reading::FMT_DEFAULT, true)); break;
            case FixedColumn::Ts: out.timestamp(reading.getAssetDateTime(Reading::FMT_DEFAULT, true)); break;
            case FixedColumn::None: writer.value(slot, table.values[i]); break;
        }
    }
    out.end();
}

void BatchBuilder::keepChanged(size_t position, const std::string& key, const std::vector<std::string>& reasons,
                               BlockRows& block) const {
    if (reasons.empty()) return;
    std::string reason;
    for (const std::string& part : reasons) reason += (reason.empty() ? "" : "; ") + part;
    block.rejects.push_back({position, key, reason, true});
}

void BatchBuilder::writeRow(const Reading& reading, size_t position, const std::string& key, OpenTable& table,
                        BlockRows& block) const {
    std::vector<std::string> reasons;
    placeValues(reading, key, table, reasons, block.changes);
    std::string row;
    row.reserve(table.rowSize + table.rowSize / 4);
    writeValues(SqlValues{row}, reading, table, reasons, block.changes, key, false);
    // No request could ever carry it: it would wait for ever.
    if (table.rows->header.size() + row.size() > m_requestLimit) {
        block.rejects.push_back({position, key,
                                 "its row of " + std::to_string(row.size()) + " bytes is more than a request may "
                                 "hold (" + std::to_string(m_requestLimit) + " bytes)",
                                 false});
        block.refused.insert(position);
        return;
    }
    table.rowSize = row.size();
    if (m_redshiftRules) {
        std::vector<std::string> ignored;
        ChangeNotes unused;
        std::string fixed;
        writeValues(SqlValues{fixed}, reading, table, ignored, unused, key, true);
        table.rows->fixedRows.push_back(std::move(fixed));
    }
    keepChanged(position, key, reasons, block);
    table.rows->rows.push_back(std::move(row));
    table.rows->positions.push_back(position);
}

bool BatchBuilder::writeCsv(const std::vector<Reading*>& readings, const BlockTables& tables, const std::string& key,
                            const BlockRows& block, const std::function<void(const std::string&)>& sink,
                            std::string& columns, BlockRows& notes) const {
    const TableSchema* schema = m_catalogue.cache().find(key);
    if (!schema) return false;
    OpenTable table = openTable(*schema);
    columns = columnList(*schema, false);
    bool ambiguous = false;
    std::string row;
    for (size_t position = 0; position < readings.size() && position < tables.keys.size(); ++position) {
        if (tables.keys[position] != key || block.rowless(position)) continue;
        std::vector<std::string> reasons;
        placeValues(*readings[position], key, table, reasons, notes.changes);
        row.clear();
        writeValues(CsvValues{row, ambiguous}, *readings[position], table, reasons, notes.changes, key, false);
        if (ambiguous) return false;
        keepChanged(position, key, reasons, notes);
        sink(row);
    }
    return true;
}

void BatchBuilder::createBatch(const std::vector<Reading*>& readings, BlockTables& tables, BlockRows& block) const {
    // A reading whose table is neither ready nor failed would be counted
    // sent without a row: the block waits instead, and the line says why.
    auto fault = [&](const std::string& key, const char* what) {
        Logger::getLogger()->error("AWS Redshift - table %s %s, so it takes no rows; the block waits for the next try",
                                   key.c_str(), what);
        tables.fail(key, {std::string("its table ") + what, false});
    };
    std::map<std::string, OpenTable> open;
    for (const std::string& key : std::set<std::string>(tables.ready)) {
        // A staged table's rows go by COPY.
        if (block.copies.count(key)) continue;
        const TableSchema* schema = m_catalogue.cache().find(key);
        if (schema)
            openInsert(key, *schema, block, open);
        else
            fault(key, "was made ready but its columns are not known");
    }
    for (size_t position = 0; position < readings.size(); ++position) {
        if (block.rowless(position)) continue;
        const std::string& key = position < tables.keys.size() ? tables.keys[position] : NOT_LOOKED_AT;
        if (block.copies.count(key)) continue;
        auto found = open.find(key);
        if (found != open.end()) {
            writeRow(*readings[position], position, key, found->second, block);
            continue;
        }
        auto failed = tables.failed.find(key);
        if (failed == tables.failed.end()) {
            fault(key, "was neither made ready nor found failing");
        } else if (failed->second.permanent) {
            // Its table can never take it: the reading is kept, not lost.
            block.rejects.push_back({position, key, failed->second.why, false});
            block.refused.insert(position);
        }
        // Otherwise its table failed for passing reasons and the whole block waits.
    }
}

const char* const REJECTS_TABLE = "cirrant$rejects";

namespace {

// Redshift's longest VARCHAR, in bytes.
constexpr size_t TEXT_LIMIT = 65535;

std::string literal(const std::string& text, size_t limit = TEXT_LIMIT) {
    std::string valid = validUtf8(text);
    std::string out;
    appendTextLiteral(out, std::string_view(valid.data(), fitUtf8(valid, limit)));
    return out;
}

size_t literalSize(std::string_view text) {
    std::string out;
    appendTextLiteral(out, text);
    return out.size();
}

// A reading as JSON, in parts of at most one text value each, and each
// part's literal within `room` bytes, or one character when that is more.
std::vector<std::string> readingParts(const Reading& reading, size_t room) {
    std::string json = validUtf8(readingJson(reading));
    std::vector<std::string> parts;
    for (size_t at = 0; at < json.size() || parts.empty();) {
        std::string_view rest = std::string_view(json).substr(at);
        size_t length = fitUtf8(rest, TEXT_LIMIT), one = fitUtf8(rest, 4);
        // A literal outgrows its text by its quotes and escapes: cut shorter until it fits.
        for (size_t size; length > one && (size = literalSize(rest.substr(0, length))) > room;)
            length = std::max(one, fitUtf8(rest, std::min(length - 1, length * room / size)));
        parts.push_back(json.substr(at, length));
        at += length;
    }
    return parts;
}

}  // namespace

std::string rejectsTableDefinition() {
    return std::string("CREATE TABLE IF NOT EXISTS ") + sqlIdentifier(REJECTS_TABLE) +
           " ( block_id VARCHAR(64), reading_no INTEGER, table_name VARCHAR(512), asset_code VARCHAR(65535), user_ts "
           "TIMESTAMPTZ, ts TIMESTAMPTZ, vantrel VARCHAR(256), outcome VARCHAR(16), reason VARCHAR(65535), part "
           "INTEGER, parts INTEGER, reading VARCHAR(65535), rejected_at TIMESTAMPTZ )";
}

std::vector<std::string> BatchBuilder::rejectStatements(const std::vector<RejectEntry>& entries,
                                                        const std::vector<Reading*>& readings,
                                                        const std::string& blockId, const std::string& now,
                                                        size_t limit) const {
    std::vector<std::string> statements;
    const std::string header = std::string("INSERT INTO ") + sqlIdentifier(REJECTS_TABLE) +
                               " ( block_id , reading_no , table_name , asset_code , user_ts , ts , vantrel , "
                               "outcome , reason , part , parts , reading , rejected_at ) VALUES ";
    std::string statement;
    for (const RejectEntry& entry : entries) {
        const Reading& reading = *readings[entry.position];
        // What every part of the reading repeats; long texts take no more
        // than a share of a request.
        const size_t share = std::min(TEXT_LIMIT, limit / 8);
        const std::string where =
            literal(blockId) + "," + std::to_string(entry.position) + "," + literal(entry.table) + "," +
            literal(reading.getAssetName(), share) + "," +
            timestampLiteral(reading.getAssetDateUserTime(Reading::FMT_DEFAULT, true)) + "," +
            timestampLiteral(reading.getAssetDateTime(Reading::FMT_DEFAULT, true)) + "," +
            literal(m_instanceName, 256) + "," + (entry.written ? "'changed'," : entry.waits ? "'waiting'," : "'refused',") +
            literal(entry.reason, share) + ",";
        // The rest of a request is the reading's: a part, its numbers, the time.
        size_t used = header.size() + where.size() + now.size() + 32;
        std::vector<std::string> parts = readingParts(reading, limit > used + 64 ? limit - used : 64);
        for (size_t part = 0; part < parts.size(); ++part) {
            std::string row = "( " + where + std::to_string(part + 1) + "," + std::to_string(parts.size()) + "," +
                              literal(parts[part]) + "," + now + ")";
            if (!statement.empty() && statement.size() + row.size() + 1 > limit)
                statements.push_back(std::move(statement)), statement.clear();
            statement += statement.empty() ? header : ",";
            statement += row;
        }
    }
    if (!statement.empty()) statements.push_back(std::move(statement));
    return statements;
}
