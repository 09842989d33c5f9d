#pragma once
// The rows of one block, table by table, and what had to change or be left
// out to make them storable.
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

// A reading the table could not take as it was sent; a copy of it goes to
// the rejects table.
struct RejectEntry {
    size_t position;     // the reading's place in the block
    std::string table;   // the table it was meant for, as stored
    std::string reason;
    bool written;        // true: the row went in, changed to fit; false: refused
    bool waits = false;  // not written yet: its table could not be made ready
};

// The changes made to fit values, per table and column: logged once each
// when the block commits.
class ChangeNotes {
public:
    void note(const std::string& table, const std::string& column, const std::string& what);
    void log() const;
    void add(const ChangeNotes& more);

private:
    std::map<std::pair<std::string, std::string>, std::pair<size_t, std::string>> m_changes;
};

struct TableRows {
    std::string header;                // "INSERT INTO t ( ... ) VALUES "
    std::vector<std::string> rows;     // " ( ... ) ", one per reading
    std::vector<size_t> positions;     // the block position of each row
    // On Redshift's rules, the same rows with the fixed columns alone: a
    // row refused there for an internal error is tried once like this, to
    // tell its values from anything else.
    std::string fixedHeader;
    std::vector<std::string> fixedRows;
};

struct BlockRows {
    std::map<std::string, TableRows> tables;  // in table-name order
    std::map<std::string, std::string> copies;  // staged tables and their COPY, in table-name order
    std::vector<RejectEntry> rejects;
    std::set<size_t> refused;                 // positions kept out of the tables
    std::set<size_t> skipped;                 // positions written by an earlier block: no row
    bool rowless(size_t position) const { return refused.count(position) || skipped.count(position); }
    ChangeNotes changes;

    // Every table's rows, in table-name order, cut into statements of at
    // most `limit` bytes.
    std::vector<std::string> statements(size_t limit) const;
    // The table of the reading at a block position, empty when it has no row.
    std::string tableOf(size_t position) const;
    // Statements of at most `limit` bytes holding the given rows of one table, in that order.
    std::vector<std::string> statements(const std::string& table, const std::vector<size_t>& rows,
                                        size_t limit) const;
};
