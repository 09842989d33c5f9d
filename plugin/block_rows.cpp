#include "block_rows.h"

#include "logger.h"

void ChangeNotes::note(const std::string& table, const std::string& column, const std::string& what) {
    auto& entry = m_changes[{table, column}];
    if (entry.first++ == 0) entry.second = what;
}

void ChangeNotes::log() const {
    for (const auto& change : m_changes)
        Logger::getLogger()->info("Table %s column %s: %zu value(s) changed to fit, e.g. %s; the readings as sent are "
                                  "in the rejects table",
                                  change.first.first.c_str(), change.first.second.c_str(), change.second.first,
                                  change.second.second.c_str());
}

std::vector<RowRange> BlockRows::ranges(size_t limit) const {
    std::vector<RowRange> out;
    for (const auto& table : tables) {
        const TableRows& rows = table.second;
        size_t begin = 0;
        size_t size = rows.header.size();
        for (size_t i = 0; i < rows.rows.size(); ++i) {
            // A row that would take the statement past the limit (with its
            // ',') opens the next one; a single row is never split.
            if (i > begin && size + 1 + rows.rows[i].size() > limit) {
                out.push_back({table.first, begin, i});
                begin = i;
                size = rows.header.size();
            }
            size += (i > begin ? 1 : 0) + rows.rows[i].size();
        }
        if (begin < rows.rows.size()) out.push_back({table.first, begin, rows.rows.size()});
    }
    return out;
}

std::string BlockRows::statement(const RowRange& range) const {
    const TableRows& rows = tables.at(range.table);
    size_t size = rows.header.size();
    for (size_t i = range.begin; i < range.end; ++i) size += rows.rows[i].size() + 1;
    std::string text;
    text.reserve(size);
    text += rows.header;
    for (size_t i = range.begin; i < range.end; ++i) {
        if (i > range.begin) text += ',';
        text += rows.rows[i];
    }
    return text;
}

std::vector<std::string> BlockRows::statements(const std::string& table, const std::vector<size_t>& indexes,
                                               size_t limit) const {
    const TableRows& rows = tables.at(table);
    std::vector<std::string> out;
    std::string text;
    for (size_t index : indexes) {
        const std::string& row = rows.rows[index];
        // A single row is never split, whatever its size.
        if (!text.empty() && text.size() + 1 + row.size() > limit) out.push_back(std::move(text)), text.clear();
        text += text.empty() ? rows.header : ",";
        text += row;
    }
    if (!text.empty()) out.push_back(std::move(text));
    return out;
}

std::string BlockRows::tableOf(size_t position) const {
    for (const auto& table : tables)
        for (size_t at : table.second.positions)
            if (at == position) return table.first;
    return {};
}
