#include "ledger.h"

#include <charconv>
#include <cstdio>
#include <random>

#include "literal.h"
#include "logger.h"
#include "sql_names.h"

namespace {

// One text value of the server holds this many bytes, so this many fingerprints.
constexpr size_t PART_FINGERPRINTS = 65535 / 16;
// Entries are pruned once in this many blocks.
constexpr uint64_t PRUNE_EVERY = 1000;
// Calls in a row that may fail to read the ledger before blocks go on without it.
constexpr int LEDGER_PATIENCE = 3;

struct LedgerColumn {
    const char* name;
    const char* type;
};
// The first three are what older builds made.
const LedgerColumn COLUMNS[] = {{"block_id", "VARCHAR(64) NOT NULL PRIMARY KEY"},
                                {"committed_at", "TIMESTAMPTZ"},
                                {"readings", "BIGINT"},
                                {"run_id", "VARCHAR(64)"},
                                {"seq", "BIGINT"},
                                {"part", "INTEGER"},
                                {"fingerprints", "VARCHAR(65535)"}};

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

Ledger::Ledger(Session& session) : m_session(session) {
    // Run ids, and so block ids, must not repeat across instances or restarts.
    std::random_device random;
    char id[17];
    snprintf(id, sizeof id, "%08x%08x", random(), random());
    m_runId = id;
}

std::string Ledger::createStatement() const {
    // The block id is a key where the server enforces keys, so a resend
    // under the id of a block that committed after all fails instead of
    // writing twice. Redshift takes the key but does not enforce it.
    std::string sql = "CREATE TABLE IF NOT EXISTS " + sqlIdentifier(m_table) + " ( ";
    for (const LedgerColumn& column : COLUMNS)
        sql += std::string(&column == COLUMNS ? "" : ", ") + column.name + " " + column.type;
    return sql + " )";
}

std::vector<std::string> Ledger::widenStatements(const std::set<std::string>& columns) const {
    // One column per statement: Redshift adds no more at once.
    std::vector<std::string> out;
    for (const LedgerColumn& column : COLUMNS)
        if (!columns.count(column.name))
            out.push_back("ALTER TABLE " + sqlIdentifier(m_table) + " ADD COLUMN " + column.name + " " + column.type);
    return out;
}

bool Ledger::failed(const Outcome& outcome, const char* what) {
    if (outcome.ok) return false;
    if (++m_failures >= LEDGER_PATIENCE && !outcome.lost) {
        Logger::getLogger()->error("AWS Redshift - %s (ledger %s, %s; %d calls in a row: the block is written without "
                                   "exactly-once delivery, and a block whose reply was lost may be written twice)",
                                   outcome.text().c_str(), m_table.c_str(), what, m_failures);
        giveUp();
        return false;
    }
    Logger::getLogger()->error("AWS Redshift - %s (ledger %s, %s; the block waits until it can be read)",
                               outcome.text().c_str(), m_table.c_str(), what);
    // A session may hold settings that have changed since it opened.
    m_session.close();
    return true;
}

void Ledger::giveUp() {
    m_pendingId.clear();
    m_pending.clear();
    m_written.clear();
    m_runsChecked = true;
    m_failures = 0;
}

size_t Ledger::settle(const Fingerprints& block, size_t requestLimit) {
    if (!m_pendingId.empty() && !settlePending(requestLimit)) return SIZE_MAX;
    if (!m_runsChecked && !readUnfinishedRuns(block, requestLimit)) return SIZE_MAX;
    m_failures = 0;
    return matchHead(block);
}

size_t Ledger::matchHeadOf(const Fingerprints& recorded, const Fingerprints& block) {
    size_t same = 0;
    while (same < recorded.size() && same < block.size() && recorded[same] == block[same]) ++same;
    return same;
}

size_t Ledger::matchHead(const Fingerprints& block) {
    size_t same = matchHeadOf(m_written, block);
    if (same > 0)
        Logger::getLogger()->info("AWS Redshift - %zu reading(s) at the head of this block were written before and "
                                  "are not written again",
                                  same);
    // A shorter resend leaves the rest to match; a reading that differs ends it.
    if (same == block.size() && same < m_written.size())
        m_written.erase(m_written.begin(), m_written.begin() + static_cast<long>(same));
    else
        m_written.clear();
    return same;
}

bool Ledger::settlePending(size_t requestLimit) {
    Fingerprints recorded;
    switch (lookUp(m_pendingId, requestLimit, recorded)) {
        case Found::Unknown: return false;
        case Found::Committed:
            Logger::getLogger()->info("AWS Redshift - the block in doubt (%s) committed", m_pendingId.c_str());
            m_written = recorded.empty() ? m_pending : recorded;
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

Ledger::Found Ledger::lookUp(const std::string& id, size_t requestLimit, Fingerprints& recorded) {
    // The lock waits for the block's own transaction, should it still run.
    Outcome outcome = m_session.transaction(
        {lockStatement(), "SELECT part, fingerprints FROM " + sqlIdentifier(m_table) + " WHERE block_id = " +
                              textLiteral(id) + " OR block_id LIKE " + textLiteral(id + "#%") + " ORDER BY part"},
        requestLimit);
    if (failed(outcome, ("reading block " + id).c_str())) return Found::Unknown;
    if (!outcome.ok) return Found::Absent;  // given up: written again, at least once
    if (outcome.rows.empty()) return Found::Absent;
    for (const Row& row : outcome.rows) {
        Fingerprints part = fingerprintsOf(row[1].value_or(""));
        recorded.insert(recorded.end(), part.begin(), part.end());
    }
    return Found::Committed;
}

bool Ledger::readUnfinishedRuns(const Fingerprints& block, size_t requestLimit) {
    const std::string table = sqlIdentifier(m_table);
    // The last block of every earlier run of this instance that did not
    // record a clean end; an end has no sequence number.
    Outcome outcome = m_session.transaction(
        {lockStatement(),
         "SELECT l.run_id, l.fingerprints FROM " + table + " l JOIN (SELECT run_id, max(seq) AS seq FROM " + table +
             " WHERE run_id IS NOT NULL GROUP BY run_id) m ON m.run_id = l.run_id AND m.seq = l.seq WHERE l.run_id "
             "NOT IN (SELECT run_id FROM " +
             table + " WHERE run_id IS NOT NULL AND seq IS NULL) ORDER BY l.run_id, l.part"},
        requestLimit);
    if (failed(outcome, "looking for runs that did not end cleanly")) return false;
    m_runsChecked = true;
    if (!outcome.ok) return true;
    // The run whose last block shares the longest head with this block.
    std::string run;
    Fingerprints last;
    size_t best = 0;
    auto consider = [&]() {
        size_t same = matchHeadOf(last, block);
        if (same > best) {
            best = same;
            m_written = last;
        }
    };
    for (const Row& row : outcome.rows) {
        if (row[0].value_or("") != run) {
            consider();
            run = row[0].value_or("");
            last.clear();
            m_runsToClose.push_back(run);
        }
        Fingerprints part = fingerprintsOf(row[1].value_or(""));
        last.insert(last.end(), part.begin(), part.end());
    }
    consider();
    if (!m_runsToClose.empty())
        Logger::getLogger()->info("AWS Redshift - %zu earlier run(s) did not end cleanly; the head of this block is "
                                  "compared with their last block",
                                  m_runsToClose.size());
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

std::vector<std::string> Ledger::entryStatements(const std::string& id, const Fingerprints& block,
                                                 const std::string& now) {
    std::string sql = "INSERT INTO " + sqlIdentifier(m_table) +
                      " ( block_id , committed_at , readings , run_id , seq , part , fingerprints ) VALUES ";
    size_t parts = block.empty() ? 1 : (block.size() + PART_FINGERPRINTS - 1) / PART_FINGERPRINTS;
    for (size_t part = 0; part < parts; ++part) {
        std::string partId = part == 0 ? id : id + "#" + std::to_string(part + 1);
        sql += std::string(part ? "," : "") + "( " + textLiteral(partId) + "," + now + "," + std::to_string(block.size()) +
               "," + textLiteral(m_runId) + "," + std::to_string(m_seq) + "," + std::to_string(part + 1) + "," +
               textLiteral(fingerprintText(block, part * PART_FINGERPRINTS,
                                    std::min(block.size(), (part + 1) * PART_FINGERPRINTS))) +
               ")";
    }
    std::vector<std::string> statements{sql};
    // Earlier runs compared with this block are done with, once it commits.
    for (const std::string& run : m_runsToClose)
        statements.push_back("INSERT INTO " + sqlIdentifier(m_table) + " ( block_id , committed_at , readings , run_id ) "
                             "VALUES ( " + textLiteral(run + "-end") + "," + now + ",0," + textLiteral(run) + ")");
    return statements;
}

void Ledger::committed(const std::string& pruneBefore, size_t requestLimit) {
    m_runsToClose.clear();
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
    if (!m_pendingId.empty() || !m_written.empty() || m_committed == 0) return {};
    return "INSERT INTO " + sqlIdentifier(m_table) + " ( block_id , committed_at , readings , run_id ) VALUES ( " +
           textLiteral(m_runId + "-end") + "," + now + ",0," + textLiteral(m_runId) + ")";
}
