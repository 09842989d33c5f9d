#include "delivery/ledger.h"

#include <charconv>
#include <cstdio>
#include <random>

#include "rows/batch_builder.h"
#include "rules/literal.h"
#include "logger.h"
#include "rules/sql_names.h"

namespace {

// One text value of the server holds this many bytes, so this many fingerprints.
constexpr size_t PART_FINGERPRINTS = 65535 / 16;
// Entries are pruned once in this many blocks.
constexpr uint64_t PRUNE_EVERY = 1000;
struct LedgerColumn {
    const char* name;
    const char* type;
    const char* key;  // what CREATE adds; ALTER TABLE ... ADD COLUMN takes no key on Redshift
};
// The first three are what older builds made.
const LedgerColumn COLUMNS[] = {{"block_id", "VARCHAR(64)", " NOT NULL PRIMARY KEY"},
                                {"committed_at", "TIMESTAMPTZ", ""},
                                {"readings", "BIGINT", ""},
                                {"run_id", "VARCHAR(64)", ""},
                                {"seq", "BIGINT", ""},
                                {"part", "INTEGER", ""},
                                {"fingerprints", "VARCHAR(65535)", ""}};

// Fingerprints as the ledger stores them: 16 hex digits each.
std::string fingerprintText(const Fingerprints& fingerprints, size_t begin, size_t end) {
    std::string out;
    char digits[17];
    for (size_t i = begin; i < end; ++i) {
        snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(fingerprints[i]));
        out += digits;
    }
    return out;
}

Fingerprints fingerprintsOf(const std::string& text) {
    Fingerprints out;
    // A text that is not what the plugin wrote (edited by hand, cut short)
    // ends the list where it stops making sense; it never throws.
    for (size_t at = 0; at + 16 <= text.size(); at += 16) {
        uint64_t value = 0;
        auto read = std::from_chars(text.data() + at, text.data() + at + 16, value, 16);
        if (read.ec != std::errc() || read.ptr != text.data() + at + 16) break;
        out.push_back(value);
    }
    return out;
}

}  // namespace

Ledger::Ledger(Session& session, std::chrono::milliseconds lookForWritersEvery)
    : m_session(session), m_lookEvery(lookForWritersEvery) {
    // Run ids, and so block ids, must not repeat across instances or restarts.
    std::random_device random;
    char id[17];
    snprintf(id, sizeof id, "%08x%08x", random(), random());
    m_runId = id;
}

std::string Ledger::createStatement() const {
    // The block id is a key where the server enforces keys, so a resend
    // under the id of a block that committed after all fails instead of
    // writing twice. Redshift takes the key but does not enforce it: there
    // the guard alone does this.
    std::string sql = "CREATE TABLE IF NOT EXISTS " + sqlIdentifier(m_table) + " ( ";
    for (const LedgerColumn& column : COLUMNS)
        sql += std::string(&column == COLUMNS ? "" : ", ") + column.name + " " + column.type + column.key;
    return sql + " )";
}

std::vector<std::string> Ledger::widenStatements(const std::set<std::string>& columns) const {
    // One column per statement, and never a key: Redshift takes neither more.
    std::vector<std::string> out;
    for (const LedgerColumn& column : COLUMNS)
        if (!columns.count(column.name))
            out.push_back("ALTER TABLE " + sqlIdentifier(m_table) + " ADD COLUMN " + column.name + " " + column.type);
    return out;
}

bool Ledger::waitsAfter(const Outcome& outcome, const std::string& what) {
    // Only a ledger that this role lastingly cannot read (class 42: gone,
    // reshaped, not granted) ends exactly-once for a block, and only once
    // making it again did not help. Locks, timeouts, conflicts, a lost
    // connection and Redshift's internal errors all pass: the block waits.
    bool lasting = !outcome.lost && outcome.state.compare(0, 2, "42") == 0;
    if (lasting && m_remake) {
        m_remake = false;
        m_unguardedOn = m_session.generation();
        Logger::getLogger()->error("AWS Redshift - %s (ledger %s, %s; it was made again and still cannot be read: the "
                                   "block is written without exactly-once delivery, and a block whose reply was lost "
                                   "may be written twice)",
                                   outcome.text().c_str(), m_table.c_str(), what.c_str());
        return false;
    }
    m_remake = lasting;
    Logger::getLogger()->error("AWS Redshift - %s (ledger %s, %s; the block waits until it can be read)",
                               outcome.text().c_str(), m_table.c_str(), what.c_str());
    // A session may hold settings that have changed since it opened.
    if (!lasting) m_session.close();
    return true;
}

Settled Ledger::settle(const Fingerprints& block, size_t requestLimit) {
    Settled settled;
    if ((!m_pendingId.empty() && !settlePending(requestLimit)) ||
        (!m_runsChecked && !readUnfinishedRuns(block, requestLimit))) {
        settled.waits = !givenUp();
        if (settled.waits) return settled;
    }
    m_remake = false;
    settled.guarded = !givenUp();
    settled.head = matchHeadOf(m_written.fingerprints, block);
    for (const auto& refused : m_written.refused)
        if (refused.first < settled.head) settled.retry.insert(refused);
    if (settled.head > 0)
        Logger::getLogger()->info("AWS Redshift - %zu reading(s) at the head of this block were written before and "
                                  "are not written again; %zu of them were refused then and are sent again",
                                  settled.head, settled.retry.size());
    return settled;
}

void Ledger::acknowledged(const Fingerprints& block, size_t count) {
    Fingerprints& written = m_written.fingerprints;
    // A reading that differs ends what is to be matched; a shorter resend
    // leaves the rest for the next block.
    size_t same = matchHeadOf(written, block);
    if (same < block.size()) written.resize(same);
    size_t gone = std::min(count, written.size());
    written.erase(written.begin(), written.begin() + static_cast<long>(gone));
    std::map<size_t, RefusedBefore> refused;
    for (auto& entry : m_written.refused)
        if (entry.first >= gone && entry.first - gone < written.size())
            refused.emplace(entry.first - gone, std::move(entry.second));
    m_written.refused = std::move(refused);
}

size_t Ledger::matchHeadOf(const Fingerprints& recorded, const Fingerprints& block) {
    size_t same = 0;
    while (same < recorded.size() && same < block.size() && recorded[same] == block[same]) ++same;
    return same;
}

bool Ledger::settlePending(size_t requestLimit) {
    Written recorded;
    switch (lookUp(m_pendingId, requestLimit, recorded)) {
        case Found::Unknown:
            // Given up: the block goes again under its id, without the guard.
            if (givenUp()) m_reuseId = m_pendingId, m_pendingId.clear();
            return false;
        case Found::Committed:
            Logger::getLogger()->info("AWS Redshift - the block in doubt (%s) committed", m_pendingId.c_str());
            if (recorded.fingerprints.empty()) recorded.fingerprints = m_pending;
            m_written = std::move(recorded);
            knownCommitted();
            break;
        case Found::Absent:
            Logger::getLogger()->info("AWS Redshift - the block in doubt (%s) did not commit; it is written again "
                                      "under its id",
                                      m_pendingId.c_str());
            m_reuseId = m_pendingId;
            break;
    }
    m_pendingId.clear();
    m_pending.clear();
    return true;
}

Ledger::Found Ledger::lookUp(const std::string& id, size_t requestLimit, Written& recorded) {
    // The lock waits for the block's own transaction, should it still run.
    Outcome outcome = m_session.transaction(
        {lockStatement(),
         "SELECT part, fingerprints FROM " + sqlIdentifier(m_table) + " WHERE block_id = " + textLiteral(id) +
             " OR block_id LIKE " + textLiteral(id + "#%") + " ORDER BY part",
         "SELECT reading_no, outcome FROM " + sqlIdentifier(REJECTS_TABLE) + " WHERE block_id = " +
             textLiteral(id) + " AND outcome IN ('refused', 'waiting') AND part = 1"},
        requestLimit);
    if (!outcome.ok) {
        // Given up or not, whether the block committed stays unknown.
        waitsAfter(outcome, "reading block " + id);
        return Found::Unknown;
    }
    if (outcome.sets.size() != 2 || outcome.sets[0].empty()) return Found::Absent;
    for (const Row& row : outcome.sets[0]) {
        Fingerprints part = fingerprintsOf(row[1].value_or(""));
        recorded.fingerprints.insert(recorded.fingerprints.end(), part.begin(), part.end());
    }
    for (const Row& row : outcome.sets[1]) {
        size_t position = 0;
        const std::string text = row[0].value_or("");
        auto read = std::from_chars(text.data(), text.data() + text.size(), position);
        if (read.ec == std::errc()) recorded.refused[position] = {id, position, row[1].value_or("") == "waiting"};
    }
    return Found::Committed;
}

bool Ledger::readUnfinishedRuns(const Fingerprints& block, size_t requestLimit) {
    const std::string table = sqlIdentifier(m_table);
    // The last block of every earlier run of this instance that did not
    // record a clean end; an end has no sequence number.
    Outcome outcome = m_session.transaction(
        {lockStatement(),
         "SELECT l.run_id, l.fingerprints, l.block_id FROM " + table + " l JOIN (SELECT run_id, max(seq) AS seq FROM " +
             table +
             " WHERE run_id IS NOT NULL GROUP BY run_id) m ON m.run_id = l.run_id AND m.seq = l.seq WHERE l.run_id "
             "NOT IN (SELECT run_id FROM " +
             table + " WHERE run_id IS NOT NULL AND seq IS NULL) ORDER BY l.run_id, l.part"},
        requestLimit);
    if (!outcome.ok) {
        if (waitsAfter(outcome, "looking for runs that did not end cleanly")) return false;
        m_runsChecked = true;
        return false;
    }
    // The runs whose last block shares the longest head with this block:
    // this block may be the host sending theirs again. Only those are
    // closed; a run that shares nothing may still be running elsewhere.
    std::map<std::string, std::pair<std::string, Fingerprints>> last;  // run: its last block's id and readings
    for (const Row& row : outcome.rows()) {
        auto& run = last[row[0].value_or("")];
        std::string id = row[2].value_or("");
        if (run.first.empty()) run.first = id.substr(0, id.find('#'));
        Fingerprints part = fingerprintsOf(row[1].value_or(""));
        run.second.insert(run.second.end(), part.begin(), part.end());
    }
    size_t best = 0;
    std::string bestBlock;
    for (const auto& run : last) {
        size_t same = matchHeadOf(run.second.second, block);
        if (same > best) best = same, m_runsToClose.clear(), bestBlock = run.second.first;
        if (same == best && same > 0) m_runsToClose.push_back(run.first);
    }
    if (best > 0) {
        Written recorded;
        if (lookUp(bestBlock, requestLimit, recorded) == Found::Unknown) {
            m_runsToClose.clear();
            return false;
        }
        m_written = std::move(recorded);
        Logger::getLogger()->info("AWS Redshift - %zu earlier run(s) did not end cleanly with the readings this block "
                                  "starts with; they are closed with this block",
                                  m_runsToClose.size());
    }
    m_runsChecked = true;
    return true;
}

std::string Ledger::blockId() {
    // Every try gets a number of its own; the latest committed one is the
    // run's last block.
    std::string id = m_reuseId.empty() ? m_runId + "-" + std::to_string(++m_seq) : m_reuseId;
    m_reuseId.clear();
    return id;
}

std::string Ledger::lockStatement() const { return "LOCK TABLE " + sqlIdentifier(m_table); }

std::string Ledger::guardStatement(const std::string& id) const {
    // Ids hold a '-', so the cast fails on the row, if the row is there. It
    // reads the column, so no server can fold it away before the rows. Any
    // error aborts the transaction on both servers; which code Redshift
    // gives it (XX000 or 22P02) only a cluster can show, and neither matters.
    return "SELECT CAST(block_id AS INTEGER) FROM " + sqlIdentifier(m_table) + " WHERE block_id = " + textLiteral(id);
}

std::string Ledger::writersStatement() const {
    if (std::chrono::steady_clock::now() < m_nextLook) return {};
    const std::string table = sqlIdentifier(m_table);
    return "SELECT run_id, max(seq) FROM " + table + " WHERE seq IS NOT NULL AND run_id <> " + textLiteral(m_runId) +
           " AND run_id NOT IN (SELECT run_id FROM " + table +
           " WHERE run_id IS NOT NULL AND seq IS NULL) GROUP BY run_id";
}

void Ledger::sawWriters(const Rows& rows) {
    m_nextLook = std::chrono::steady_clock::now() + m_lookEvery;
    std::map<std::string, uint64_t> now;
    for (const Row& row : rows) {
        const std::string run = row[0].value_or(""), seq = row[1].value_or("0");
        uint64_t highest = 0;
        std::from_chars(seq.data(), seq.data() + seq.size(), highest);
        now[run] = highest;
        auto before = m_writers.find(run);
        if (before != m_writers.end() && highest > before->second)
            Logger::getLogger()->error("AWS Redshift - another run (%s) is writing to ledger %s as this one is: "
                                       "exactly-once delivery across restarts needs one vantrelInstance per north task",
                                       run.c_str(), m_table.c_str());
    }
    m_writers = std::move(now);
}

std::string Ledger::endMarker(const std::string& run, const std::string& now) const {
    // Written once, whoever writes it: two runs may close the same dead one.
    // Redshift documents INSERT ... SELECT; a SELECT without FROM on its
    // leader node is what only a cluster can confirm here.
    const std::string table = sqlIdentifier(m_table), id = textLiteral(run + "-end");
    return "INSERT INTO " + table + " ( block_id , committed_at , readings , run_id ) SELECT " + id + "," + now +
           ",0," + textLiteral(run) + " WHERE NOT EXISTS (SELECT 1 FROM " + table + " WHERE block_id = " + id + ")";
}

std::vector<std::string> Ledger::entryStatements(const std::string& id, const Fingerprints& block,
                                                 const std::string& now, size_t limit) const {
    const std::string header = "INSERT INTO " + sqlIdentifier(m_table) +
                               " ( block_id , committed_at , readings , run_id , seq , part , fingerprints ) VALUES ";
    std::vector<std::string> statements;
    std::string sql;
    // A part fits one text value, and one request with room for the rest of its row.
    const size_t perPart = std::max<size_t>(1, std::min(PART_FINGERPRINTS, (limit - std::min(limit, header.size() + 256)) / 16));
    size_t parts = block.empty() ? 1 : (block.size() + perPart - 1) / perPart;
    for (size_t part = 0; part < parts; ++part) {
        std::string partId = part == 0 ? id : id + "#" + std::to_string(part + 1);
        std::string row = "( " + textLiteral(partId) + "," + now + "," + std::to_string(block.size()) + "," +
                          textLiteral(m_runId) + "," + std::to_string(m_seq) + "," + std::to_string(part + 1) + "," +
                          textLiteral(fingerprintText(block, part * perPart, std::min(block.size(), (part + 1) * perPart))) +
                          ")";
        if (!sql.empty() && sql.size() + row.size() + 1 > limit) statements.push_back(std::move(sql)), sql.clear();
        sql += (sql.empty() ? header : ",") + row;
    }
    statements.push_back(std::move(sql));
    // Earlier runs this block continues are done with, once it commits.
    for (const std::string& run : m_runsToClose) statements.push_back(endMarker(run, now));
    return statements;
}

void Ledger::committed(const std::string& pruneBefore, size_t requestLimit) {
    knownCommitted();
    // Pruning is no part of any block: a refusal costs an error line, not a block.
    if (m_committed++ % PRUNE_EVERY != 0) return;
    Outcome outcome = m_session.transaction(
        {"DELETE FROM " + sqlIdentifier(m_table) + " WHERE committed_at < " + pruneBefore}, requestLimit);
    if (!outcome.ok)
        Logger::getLogger()->error("AWS Redshift - %s (ledger %s: old entries were not pruned; tried again in %llu "
                                   "blocks)",
                                   outcome.message.c_str(), m_table.c_str(),
                                   static_cast<unsigned long long>(PRUNE_EVERY));
}

void Ledger::inDoubt(const std::string& id, const Fingerprints& block) {
    m_pendingId = id;
    m_pending = block;
}

std::string Ledger::endStatement(const std::string& now) const {
    if (!m_pendingId.empty() || !m_written.fingerprints.empty() || m_committed == 0) return {};
    return endMarker(m_runId, now);
}
