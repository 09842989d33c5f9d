#pragma once
// What the plugin knows of each database table: its columns in table order,
// with an index by folded name. Keyed by the table name as the database
// stores it, so names that differ only in letter case share one entry.
#include <map>
#include <string>
#include <unordered_map>

#include "rules/column_types.h"

class TableSchema {
public:
    TableSchema() = default;
    explicit TableSchema(ColumnList columns);
    const ColumnList& columns() const { return m_columns; }
    // The position of the column a name refers to (letter case folded), or -1.
    int find(const std::string& name) const;
    // Appends a column unless one of that folded name is there.
    void add(const std::string& name, const std::string& type);

private:
    ColumnList m_columns;
    std::unordered_map<std::string, int> m_index;  // folded name -> first position
};

class SchemaCache {
public:
    using Tables = std::map<std::string, TableSchema>;
    // Null when the table is unknown.
    TableSchema* find(const std::string& table);
    const TableSchema* find(const std::string& table) const;
    // What the database reported replaces whatever was known.
    TableSchema& put(const std::string& table, ColumnList columns);
    // Adds the columns to an entry, making it if needed (the stored text may
    // hold one table under several letter cases).
    void merge(const std::string& table, const ColumnList& columns);
    void erase(const std::string& table) { m_tables.erase(table); }
    void clear() { m_tables.clear(); }
    const Tables& tables() const { return m_tables; }

private:
    Tables m_tables;
};
