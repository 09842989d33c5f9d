// The send cycle. A block is one transaction: every row of it, the copies of
// refused readings, and a ledger entry that tells, after a lost reply,
// whether the block committed. The host hears "all" or "nothing".
#include <chrono>
#include <functional>

#include "block_rows.h"
#include "literal.h"
#include "logger.h"
#include "names.h"
#include "reading_json.h"
#include "redshift.h"
#include "server_names.h"
#include "sql_names.h"
#include "utf8.h"

namespace {

// Valid names never hold '$', so neither bookkeeping table can be a table
// made for readings.
const char* const REJECTS_TABLE = "cirrant$rejects";
// Redshift's longest VARCHAR, in bytes.
constexpr size_t TEXT_LIMIT = 65535;
// Trial statements spent finding refused rows in one block; past it, the
// rows not yet cleared are kept in the rejects table together.
constexpr int TRIAL_BUDGET = 64;
// Room left in a request for what joins its statements.
constexpr size_t REQUEST_MARGIN = 64;
// Ledger entries live this long; the ledger is read only for the last block.
constexpr std::chrono::hours LEDGER_KEEP{7 * 24};

std::string literal(const std::string& text, size_t limit = TEXT_LIMIT) {
    std::string valid = validUtf8(text);
    std::string out;
    appendTextLiteral(out, std::string_view(valid.data(), fitUtf8(valid, limit)));
    return out;
}

std::string tableList(const BlockRows& rows) {
    std::string list;
    for (const auto& table : rows.tables) list += (list.empty() ? "" : ", ") + table.first;
    return list.empty() ? std::string("(none)") : list;
}

}  // namespace

std::string Redshift::ledgerTable() const {
    std::string instance = m_instanceName;
    names::makeValid(instance);
    return serverTableName("cirrant$ledger$" + names::folded(instance), Dialect{m_identifierLimit, m_redshiftRules});
}

std::string Redshift::newBlockId() { return m_runId + "-" + std::to_string(++m_blockIds); }

bool Redshift::prepareSession() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!m_connection && !reconnect(3)) return false;
        if (startSession() && !m_cacheChecked) ensureBookkeeping(checkCachedTables({ledgerTable(), REJECTS_TABLE}));
        if (m_connection) return true;
    }
    return false;
}

void Redshift::ensureBookkeeping(const std::set<std::string>& found) {
    if (m_bookkeepingReady || m_bookkeepingOff || !m_cacheChecked) return;
    std::string ledger = ledgerTable();
    // The block id is a key where the server enforces keys, so a retry that
    // races a commit still in progress fails instead of writing twice.
    // Redshift takes the key but does not enforce it; there the ledger is
    // only read after the connection was opened again, when a commit of the
    // old session has long finished (untested here).
    std::vector<std::string> missing;
    if (!found.count(ledger))
        missing.push_back("CREATE TABLE IF NOT EXISTS " + sqlIdentifier(ledger) +
                          " ( block_id VARCHAR(64) NOT NULL PRIMARY KEY, committed_at TIMESTAMPTZ, readings BIGINT )");
    if (!found.count(REJECTS_TABLE))
        missing.push_back(std::string("CREATE TABLE IF NOT EXISTS ") + sqlIdentifier(REJECTS_TABLE) +
                          " ( block_id VARCHAR(64), reading_no INTEGER, table_name VARCHAR(512), asset_code "
                          "VARCHAR(65535), user_ts TIMESTAMPTZ, ts TIMESTAMPTZ, vantrel VARCHAR(256), outcome "
                          "VARCHAR(16), reason VARCHAR(65535), part INTEGER, parts INTEGER, reading VARCHAR(65535), "
                          "rejected_at TIMESTAMPTZ )");
    // Both in one request where the server takes several statements.
    if (m_multiStatement && missing.size() > 1) missing = {missing[0] + ";" + missing[1]};
    for (const std::string& sql : missing) {
        Outcome made = runRetrying(sql, "making the ledger and rejects tables");
        if (made.ok || made.failure == Failure::AlreadyThere) continue;
        if (made.failure == Failure::Lost) return;
        // Without these tables readings still flow, at least once.
        Logger::getLogger()->error(
            "AWS Redshift - %s: exactly-once delivery and the rejects table are off; a block whose reply is lost may "
            "be written twice, and refused readings are only logged",
            made.message.c_str());
        m_bookkeepingOff = true;
        return;
    }
    m_bookkeepingReady = true;
}

bool Redshift::ledgerHas(const std::string& id, bool& known) {
    Outcome outcome = runRetrying("SELECT 1 FROM " + sqlIdentifier(ledgerTable()) + " WHERE block_id = '" + id + "'",
                                   "reading the ledger for block " + id);
    known = outcome.ok;
    return outcome.ok && !outcome.rows.empty();
}

size_t Redshift::settlePending(const std::vector<Reading*>& readings) {
    if (!m_pending) return 0;
    bool known = false;
    bool committed = ledgerHas(m_pending->id, known);
    if (!known) return SIZE_MAX;
    // The host sends again from the first reading it thinks unsent: those at
    // the head that match the settled block are written already.
    size_t written = committed ? m_pending->fingerprints.size() : m_pending->committedHead;
    size_t same = 0;
    while (same < written && same < readings.size() &&
           readingFingerprint(*readings[same]) == m_pending->fingerprints[same])
        ++same;
    Logger::getLogger()->info("AWS Redshift - the block whose reply was lost %s; %zu reading(s) at the head of this "
                              "block were written then and are not written again",
                              committed ? "committed" : "did not commit", same);
    m_pending.reset();
    return same;
}

void Redshift::rememberPending(const std::vector<Reading*>& readings, const std::string& id, size_t committedHead) {
    if (m_bookkeepingOff) return;
    m_pending = std::make_unique<PendingBlock>();
    m_pending->id = id;
    m_pending->committedHead = committedHead;
    for (const Reading* reading : readings) m_pending->fingerprints.push_back(readingFingerprint(*reading));
}

uint32_t Redshift::send(const std::vector<Reading*>& readings) {
    // A session the server ended while idle is replaced before the block
    // starts, not found dead in the middle of it.
    dropBrokenIdleConnection();
    if (!m_connection && !reconnect(3)) return 0;
    if (readings.empty()) return 0;
    if (!prepareSession()) return 0;
    size_t first = settlePending(readings);
    if (first == SIZE_MAX) return 0;
    if (first == readings.size()) return static_cast<uint32_t>(readings.size());
    return deliver(readings, first);
}

std::vector<std::string> Redshift::rejectStatements(const std::vector<RejectEntry>& entries,
                                                    const std::vector<Reading*>& readings, const std::string& id) {
    std::vector<std::string> statements;
    std::string header = std::string("INSERT INTO ") + sqlIdentifier(REJECTS_TABLE) +
                         " ( block_id , reading_no , table_name , asset_code , user_ts , ts , vantrel , outcome , "
                         "reason , part , parts , reading , rejected_at ) VALUES ";
    std::string now = timestampLiteral(utcText(std::chrono::system_clock::now()));
    std::string statement;
    for (const RejectEntry& entry : entries) {
        const Reading& reading = *readings[entry.position];
        std::string json = validUtf8(readingJson(reading));
        // A reading longer than one text value is kept in parts, in order.
        std::vector<std::string> parts;
        for (size_t at = 0; at < json.size() || parts.empty();) {
            size_t length = fitUtf8(std::string_view(json).substr(at), TEXT_LIMIT);
            parts.push_back(json.substr(at, length));
            at += length;
        }
        for (size_t part = 0; part < parts.size(); ++part) {
            std::string row = "( '" + id + "'," + std::to_string(entry.position) + "," + literal(entry.table) + "," +
                              literal(reading.getAssetName()) + "," +
                              timestampLiteral(reading.getAssetDateUserTime(Reading::FMT_DEFAULT, true)) + "," +
                              timestampLiteral(reading.getAssetDateTime(Reading::FMT_DEFAULT, true)) + "," +
                              literal(m_instanceName, 256) + "," +
                              (entry.written ? "'changed'," : "'refused',") + literal(entry.reason) + "," +
                              std::to_string(part + 1) + "," + std::to_string(parts.size()) + "," +
                              literal(parts[part]) + "," + now + ")";
            if (!statement.empty() && statement.size() + row.size() + 1 > m_options.maxRequestBytes - REQUEST_MARGIN) {
                statements.push_back(std::move(statement));
                statement.clear();
            }
            statement += statement.empty() ? header : ",";
            statement += row;
        }
    }
    if (!statement.empty()) statements.push_back(std::move(statement));
    return statements;
}

Redshift::Outcome Redshift::runBlock(std::vector<std::string> statements) {
    Logger* logger = Logger::getLogger();
    for (const std::string& statement : statements) logger->debug("** Execute Query ==> %s", statement.c_str());
    std::vector<std::string> requests;
    if (m_multiStatement) {
        // Statements joined into as few requests as the size limit allows, all
        // inside one transaction; each is freed once it is in its request.
        std::string request = "BEGIN";
        for (std::string& statement : statements) {
            if (request.size() + statement.size() + 1 > m_options.maxRequestBytes) {
                requests.push_back(std::move(request));
                request.clear();
            }
            if (!request.empty()) request += ';';
            request += statement;
            std::string().swap(statement);
        }
        request += request.empty() ? "COMMIT" : ";COMMIT";
        requests.push_back(std::move(request));
    } else {
        requests.push_back("BEGIN");
        for (std::string& statement : statements) requests.push_back(std::move(statement));
        requests.push_back("COMMIT");
    }
    Outcome outcome;
    for (const std::string& request : requests) {
        outcome = run(request, false);
        if (outcome.ok) continue;
        // A failed statement leaves the transaction aborted until it is rolled back.
        if (m_connection) run("ROLLBACK", false);
        return outcome;
    }
    return outcome;
}

bool Redshift::trial(const std::string& statement, Outcome& outcome) {
    if (m_multiStatement) {
        outcome = run("BEGIN;" + statement + ";ROLLBACK");
    } else {
        outcome = run("BEGIN");
        if (outcome.ok) outcome = run(statement);
        if (outcome.ok) outcome = run("ROLLBACK");
    }
    if (!outcome.ok && m_connection) run("ROLLBACK", false);
    return outcome.ok;
}

bool Redshift::isolateRows(const BlockRows& rows, BlockRows& next) {
    int budget = TRIAL_BUDGET;
    auto refuse = [&](const RowRange& range, const std::string& reason) {
        const TableRows& table = rows.tables.at(range.table);
        for (size_t i = range.begin; i < range.end; ++i) {
            next.refused.insert(table.positions[i]);
            next.rejects.push_back({table.positions[i], range.table, reason, false});
        }
    };
    // Halves a range known to fail until each refused row stands alone.
    std::function<bool(const RowRange&, const Outcome&)> split = [&](const RowRange& range, const Outcome& failed) {
        if (range.end - range.begin == 1) {
            refuse(range, failed.message);
            return true;
        }
        size_t refusedBefore = next.refused.size();
        size_t middle = range.begin + (range.end - range.begin) / 2;
        for (RowRange half : {RowRange{range.table, range.begin, middle}, RowRange{range.table, middle, range.end}}) {
            if (budget <= 0) {
                refuse(half, failed.message + " (one of these rows; not isolated further)");
                continue;
            }
            --budget;
            Outcome outcome;
            if (trial(rows.statement(half), outcome)) continue;
            if (outcome.failure == Failure::Lost) return false;
            if (outcome.failure == Failure::RowData || outcome.failure == Failure::AlreadyThere) {
                if (!split(half, outcome)) return false;
            } else {
                refuse(half, outcome.message);
            }
        }
        // Rows that fail only together, as two of one key do, go together.
        if (next.refused.size() == refusedBefore) refuse(range, failed.message + " (these rows fail together)");
        return true;
    };
    for (const RowRange& range : rows.ranges(m_options.maxRequestBytes - REQUEST_MARGIN)) {
        Outcome outcome;
        --budget;
        if (trial(rows.statement(range), outcome)) continue;
        switch (outcome.failure) {
            case Failure::Lost: return false;
            case Failure::RowData:
            case Failure::AlreadyThere:
                if (!split(range, outcome)) return false;
                break;
            case Failure::Undefined:
                // Still missing after the table was read again: nothing of it can go in.
                refuse(range, outcome.message);
                break;
            default:
                Logger::getLogger()->error("AWS Redshift - %s (table %s: %zu readings not sent)",
                                           outcome.message.c_str(), range.table.c_str(), range.end - range.begin);
                return false;
        }
    }
    return true;
}

uint32_t Redshift::deliver(const std::vector<Reading*>& all, size_t first) {
    Logger* logger = Logger::getLogger();
    std::vector<Reading*> readings(all.begin() + static_cast<long>(first), all.end());
    std::string id = newBlockId();
    BlockRows kept;  // refused readings found so far, carried from round to round
    bool retried = false;
    bool refreshed = false;
    int isolations = 0;
    for (;;) {
        m_ddlFailures.clear();
        TableNameList failed;
        TableIndexMap ready;
        createTablesFromPayload(readings, failed, ready);
        // Nothing of the block was written; it waits for the host's next try.
        if (!m_connection) return 0;
        BlockRows rows;
        rows.refused = kept.refused;
        rows.rejects = kept.rejects;
        createBatch(readings, failed, ready, rows);

        std::vector<std::string> statements;
        for (const RowRange& range : rows.ranges(m_options.maxRequestBytes - REQUEST_MARGIN))
            statements.push_back(rows.statement(range));
        if (!m_bookkeepingOff) {
            for (std::string& statement : rejectStatements(rows.rejects, readings, id))
                statements.push_back(std::move(statement));
            std::string ledger = sqlIdentifier(ledgerTable());
            statements.push_back("INSERT INTO " + ledger + " ( block_id , committed_at , readings ) VALUES ( '" + id +
                                 "'," + timestampLiteral(utcText(std::chrono::system_clock::now())) + "," +
                                 std::to_string(all.size()) + ")");
            if (m_blocks % 1000 == 0)
                statements.push_back("DELETE FROM " + ledger + " WHERE committed_at < " +
                                     timestampLiteral(utcText(std::chrono::system_clock::now() - LEDGER_KEEP)));
        }

        Outcome outcome = runBlock(std::move(statements));
        if (outcome.ok) {
            ++m_blocks;
            rows.changes.log();
            for (const RejectEntry& entry : rows.rejects) {
                if (entry.written) continue;
                const Reading& reading = *readings[entry.position];
                logger->error("AWS Redshift - table %s, asset %s, reading of %s refused: %s; %s", entry.table.c_str(),
                              reading.getAssetName().c_str(),
                              reading.getAssetDateUserTime(Reading::FMT_DEFAULT, true).c_str(), entry.reason.c_str(),
                              m_bookkeepingOff ? ("not stored: " + readingJson(reading)).c_str()
                                               : "kept in the rejects table");
            }
            return static_cast<uint32_t>(all.size());
        }

        std::string cost = std::to_string(readings.size()) + " readings for " + tableList(rows);
        // The key a retry shares with its first run: a clash may mean the
        // block committed after all.
        if (outcome.state == "23505" && !m_bookkeepingOff) {
            bool known = false;
            if (ledgerHas(id, known)) return static_cast<uint32_t>(all.size());
            outcome.failure = Failure::RowData;
        }
        switch (outcome.failure) {
            case Failure::Lost: {
                logger->error("AWS Redshift - %s (block of %s; reconnecting)", outcome.message.c_str(), cost.c_str());
                if (retried || (!m_connection && !reconnect(3))) {
                    rememberPending(all, id, first);
                    return 0;
                }
                retried = true;
                if (m_bookkeepingOff) continue;
                bool known = false;
                bool committed = ledgerHas(id, known);
                if (!known) {
                    rememberPending(all, id, first);
                    return 0;
                }
                if (committed) return static_cast<uint32_t>(all.size());
                continue;
            }
            case Failure::Undefined: {
                // A table or column went away behind the plugin's back; the
                // server does not say which, so every table of the block is read again.
                if (!refreshed) {
                    logger->info("AWS Redshift - %s (block of %s): reading the tables again", outcome.message.c_str(),
                                 cost.c_str());
                    refreshed = true;
                    // Every known table, the bookkeeping ones included, is
                    // compared with the catalogue; what is gone is made again.
                    m_cacheChecked = false;
                    m_bookkeepingReady = false;
                    std::set<std::string> present = checkCachedTables({ledgerTable(), REJECTS_TABLE});
                    if (!m_cacheChecked) return 0;
                    ensureBookkeeping(present);
                    continue;
                }
                if (isolations++ >= 2 || !isolateRows(rows, kept)) return 0;
                continue;
            }
            case Failure::RowData:
            case Failure::AlreadyThere:
                if (isolations++ >= 2 || !isolateRows(rows, kept)) {
                    logger->error("AWS Redshift - %s (block of %s not sent)", outcome.message.c_str(), cost.c_str());
                    return 0;
                }
                continue;
            default:
                logger->error("AWS Redshift - %s (block of %s not sent; the host sends it again)",
                              outcome.message.c_str(), cost.c_str());
                return 0;
        }
    }
}
