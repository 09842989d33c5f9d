#include "rows/block_rows.h"

#include "logger.h"

void ChangeNotes::note(const std::string& table, const std::string& column, const std::string& what) {
    auto& entry = m_changes[{table, column}];
    if (entry.first++ == 0) entry.second = what;
}

void ChangeNotes::add(const ChangeNotes& more) {
    for (const auto& change : more.m_changes) {
        auto& entry = m_changes[change.first];
        if (entry.first == 0) entry.second = change.second.second;
        entry.first += change.second.first;
    }
}

void ChangeNotes::log() const {
    for (const auto& change : m_changes)
        Logger::getLogger()->info("Table %s column %s: %zu value(s) changed to fit, e.g. %s; the readings as sent are "
                                  "in the rejects table",
                                  change.first.first.c_str(), change.first.second.c_str(), change.second.first,
                                  change.second.second.c_str());
}

std::vector<std::string> BlockRows::statements(size_t limit) const {
    std::vector<std::string> out;
    std::vector<size_t> all;
    for (const auto& table : tables) {
        all.resize(table.second.rows.size());
        for (size_t i = 0; i < all.size(); ++i) all[i] = i;
        for (std::string& statement : statements(table.first, all, limit)) out.push_back(std::move(statement));
    }
    return out;
}

std::vector<std::string> BlockRows::statements(const std::string& table, const std::vector<size_t>& indexes,
                                               size_t limit) const {
    const TableRows& rows = tables.at(table);
    std::vector<std::string> out;
    for (size_t begin = 0; begin < indexes.size();) {
        // As many rows as the limit allows; a single row is never split,
        // whatever its size. The text is sized once, before it is written.
        size_t size = rows.header.size() + rows.rows[indexes[begin]].size();
        size_t end = begin + 1;
        while (end < indexes.size() && size + 1 + rows.rows[indexes[end]].size() <= limit)
            size += 1 + rows.rows[indexes[end++]].size();
        std::string text;
        text.reserve(size);
        text += rows.header;
        for (size_t i = begin; i < end; ++i) {
            if (i > begin) text += ',';
            text += rows.rows[indexes[i]];
        }
        out.push_back(std::move(text));
        begin = end;
    }
    return out;
}

std::string BlockRows::tableOf(size_t position) const {
    for (const auto& table : tables)
        for (size_t at : table.second.positions)
            if (at == position) return table.first;
    return {};
}
