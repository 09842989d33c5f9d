#include "schema/schema_cache.h"

#include "rules/names.h"

TableSchema::TableSchema(ColumnList columns) {
    for (Column& column : columns) add(column.first, column.second);
}

int TableSchema::find(const std::string& name) const {
    auto found = m_index.find(names::folded(name));
    return found == m_index.end() ? -1 : found->second;
}

void TableSchema::add(const std::string& name, const std::string& type) {
    // A table never names a column twice; the first of a folded name wins.
    if (!m_index.emplace(names::folded(name), static_cast<int>(m_columns.size())).second) return;
    m_columns.emplace_back(name, type);
}

TableSchema* SchemaCache::find(const std::string& table) {
    auto found = m_tables.find(table);
    return found == m_tables.end() ? nullptr : &found->second;
}

TableSchema& SchemaCache::put(const std::string& table, ColumnList columns) {
    return m_tables[table] = TableSchema(std::move(columns));
}

void SchemaCache::merge(const std::string& table, const ColumnList& columns) {
    TableSchema& schema = m_tables[table];
    for (const Column& column : columns) schema.add(column.first, column.second);
}

const TableSchema* SchemaCache::find(const std::string& table) const {
    auto found = m_tables.find(table);
    return found == m_tables.end() ? nullptr : &found->second;
}
