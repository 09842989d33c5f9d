#pragma once
// The block's rows: one INSERT per ready table, each value written the way
// its column takes it and fitted where the column cannot hold it as sent,
// with a note of every change; and the rows that keep refused and changed
// readings in the rejects table.
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "rows/block_rows.h"
#include "schema/block_tables.h"
#include "schema/catalogue.h"
#include "reading.h"

class BatchBuilder {
public:
    // `redshiftRules`: Redshift's CHAR(n) holds single-byte characters only,
    // and a row refused for an internal error needs its fixed columns alone.
    // `requestLimit`: the most a request may hold; a row that cannot fit in
    // one, its INSERT around it, is refused.
    BatchBuilder(const Catalogue& catalogue, const std::string& instanceName, bool redshiftRules,
                 size_t requestLimit = SIZE_MAX)
        : m_catalogue(catalogue), m_instanceName(instanceName), m_redshiftRules(redshiftRules),
          m_requestLimit(requestLimit) {}

    // The rows of a block for its ready tables, from what
    // createTablesFromPayload made of the same readings. Every reading gets
    // a row or a reject entry, or its table joins the passing failures and
    // the block waits. Tables with a COPY in `rows` get no rows here.
    void createBatch(const std::vector<Reading*>& readings, BlockTables& tables, BlockRows& rows) const;

    // The rejects table's rows for these entries, in statements of at most
    // `limit` bytes, a reading cut into as many parts as that takes; `now`
    // is a timestamp literal.
    std::vector<std::string> rejectStatements(const std::vector<RejectEntry>& entries,
                                              const std::vector<Reading*>& readings, const std::string& blockId,
                                              const std::string& now, size_t limit) const;

    // The rows of one ready table in `block`, in block order, as lines of CSV for a COPY, each passed to `sink`: the values
    // fitted as for its INSERT, the changes noted alike in `notes`, and the
    // column list the lines follow in `columns`. False when a value would
    // read ambiguously there: the table then goes by INSERT.
    bool writeCsv(const std::vector<Reading*>& readings, const BlockTables& tables, const std::string& key,
                  const BlockRows& block, const std::function<void(const std::string&)>& sink,
                  std::string& columns, BlockRows& notes) const;

private:
    struct OpenTable;
    // How each of a table's columns is written.
    OpenTable openTable(const TableSchema& schema) const;
    // A ready table's INSERT header, and the table opened.
    void openInsert(const std::string& key, const TableSchema& schema, BlockRows& block,
                    std::map<std::string, OpenTable>& open) const;
    // The reading's value for each column of its table; a datapoint with no
    // column, or a second one for a column, is said in `reasons`.
    void placeValues(const Reading& reading, const std::string& key, OpenTable& table,
                     std::vector<std::string>& reasons, ChangeNotes& changes) const;
    // One row's values, through `out` (SQL literals or CSV): every column,
    // or the fixed ones alone.
    template <typename Values>
    void writeValues(Values out, const Reading& reading, const OpenTable& table, std::vector<std::string>& reasons,
                     ChangeNotes& changes, const std::string& key, bool fixedOnly) const;
    // A copy of the reading for the rejects table when anything had to change.
    void keepChanged(size_t position, const std::string& key, const std::vector<std::string>& reasons,
                     BlockRows& block) const;
    // The reading's row; a copy of the reading goes to the rejects table
    // when anything had to change.
    void writeRow(const Reading& reading, size_t position, const std::string& key, OpenTable& table,
                  BlockRows& block) const;

    const Catalogue& m_catalogue;
    std::string m_instanceName;
    bool m_redshiftRules;
    size_t m_requestLimit;
};

// The name of the rejects table; valid names never hold '$', so it can be
// no table made for readings.
extern const char* const REJECTS_TABLE;
// How the rejects table is made.
std::string rejectsTableDefinition();
