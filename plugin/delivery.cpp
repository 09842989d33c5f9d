// The send cycle. A block is one transaction: every row of it, the copies of
// refused readings, and a ledger entry that tells, after a lost reply,
// whether the block committed. The host hears "all" or "nothing".
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
// Room left below the server's request limit, for what joins statements
// and for whatever the server counts that we do not.
constexpr size_t REQUEST_MARGIN = 1024;
// Ledger entries live this long; the ledger is read only for the last block.
constexpr int64_t LEDGER_KEEP_MICROS = 7LL * 24 * 3600 * 1000000;

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

size_t Redshift::requestLimit() const {
    // Tests take tiny limits to reach the paths that split; keep a quarter free there.
    size_t limit = m_options.maxRequestBytes;
    return limit > 4 * REQUEST_MARGIN ? limit - REQUEST_MARGIN : limit - limit / 4;
}

std::string Redshift::nowLiteral(int64_t offsetMicros) const { return timestampLiteral(Reading::nowMicros() + offsetMicros); }

bool Redshift::prepareSession() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!m_session.isOpen() && !reconnect(3)) return false;
        m_ledger.setTable(ledgerTable());
        if (startSession() && !m_cacheChecked) ensureBookkeeping(checkCachedTables({ledgerTable(), REJECTS_TABLE}));
        if (m_session.isOpen()) return true;
    }
    return false;
}

void Redshift::ensureBookkeeping(const TableColumns& found) {
    if (m_bookkeepingReady || m_bookkeepingOff || !m_cacheChecked) return;
    auto ledger = found.find(ledgerTable());
    std::vector<std::string> missing;
    if (ledger == found.end())
        missing.push_back(m_ledger.createStatement());
    else
        missing = m_ledger.widenStatements(ledger->second);
    if (!found.count(REJECTS_TABLE))
        missing.push_back(std::string("CREATE TABLE IF NOT EXISTS ") + sqlIdentifier(REJECTS_TABLE) +
                          " ( block_id VARCHAR(64), reading_no INTEGER, table_name VARCHAR(512), asset_code "
                          "VARCHAR(65535), user_ts TIMESTAMPTZ, ts TIMESTAMPTZ, vantrel VARCHAR(256), outcome "
                          "VARCHAR(16), reason VARCHAR(65535), part INTEGER, parts INTEGER, reading VARCHAR(65535), "
                          "rejected_at TIMESTAMPTZ )");
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

uint32_t Redshift::send(const std::vector<Reading*>& readings) {
    Session::Call call(m_session);
    // A session the server ended while idle is replaced before the block
    // starts, not found dead in the middle of it.
    m_session.dropIfClosedByServer();
    if (!m_session.isOpen() && !reconnect(3)) {
        Logger::getLogger()->error("AWS Redshift - no connection: %zu reading(s) wait for the next try",
                                   readings.size());
        return 0;
    }
    if (readings.empty() || !prepareSession()) return 0;
    Fingerprints fingerprints;
    if (!m_bookkeepingOff)
        for (const Reading* reading : readings) fingerprints.push_back(readingFingerprint(*reading));
    size_t first = m_bookkeepingOff ? 0 : m_ledger.settle(fingerprints, requestLimit());
    if (first == SIZE_MAX) {
        // A ledger gone behind the plugin's back is made again next time.
        m_cacheChecked = false;
        return 0;
    }
    if (first == readings.size()) return static_cast<uint32_t>(readings.size());
    return deliver(readings, first, fingerprints);
}

void Redshift::endRun() {
    Session::Call call(m_session);
    std::string sql = m_bookkeepingReady && m_session.isOpen() ? m_ledger.endStatement(nowLiteral()) : "";
    if (sql.empty()) return;
    Outcome outcome = m_session.run(sql);
    if (!outcome.ok)
        Logger::getLogger()->error("AWS Redshift - %s (ledger %s: the clean end of this run was not recorded; the "
                                   "next run compares its first block with this run's last)",
                                   outcome.message.c_str(), ledgerTable().c_str());
}

std::vector<std::string> Redshift::rejectStatements(const std::vector<RejectEntry>& entries,
                                                    const std::vector<Reading*>& readings, const std::string& id) {
    std::vector<std::string> statements;
    std::string header = std::string("INSERT INTO ") + sqlIdentifier(REJECTS_TABLE) +
                         " ( block_id , reading_no , table_name , asset_code , user_ts , ts , vantrel , outcome , "
                         "reason , part , parts , reading , rejected_at ) VALUES ";
    std::string now = nowLiteral();
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
            std::string row = "( " + literal(id) + "," + std::to_string(entry.position) + "," + literal(entry.table) + "," +
                              literal(reading.getAssetName()) + "," + timestampLiteral(reading.getUserTimestamp()) + "," +
                              timestampLiteral(reading.getTimestamp()) + "," + literal(m_instanceName, 256) + "," +
                              (entry.written ? "'changed'," : "'refused',") + literal(entry.reason) + "," +
                              std::to_string(part + 1) + "," + std::to_string(parts.size()) + "," +
                              literal(parts[part]) + "," + now + ")";
            if (!statement.empty() && statement.size() + row.size() + 1 > requestLimit()) {
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

bool Redshift::trial(const std::string& statement, Outcome& outcome) {
    if (m_session.severalStatements()) {
        outcome = m_session.run(std::vector<std::string>{"BEGIN", statement, "ROLLBACK"});
    } else {
        outcome = m_session.run("BEGIN");
        if (outcome.ok) outcome = m_session.run(statement);
        if (outcome.ok) outcome = m_session.run("ROLLBACK");
    }
    if (!outcome.ok) m_session.rollbackIfOpen();
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
    for (const RowRange& range : rows.ranges(requestLimit())) {
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

// What one block carries from try to try within a call.
struct Redshift::Attempt {
    const std::vector<Reading*>& all;
    size_t first;                   // readings at the head acknowledged already
    std::vector<Reading*> readings; // the rest, written in this call or not at all
    Fingerprints fingerprints;      // of `readings`
    std::string id;
    BlockRows kept;                 // refused readings found so far
    bool retried = false;
    bool refreshed = false;
    int isolations = 0;
};

uint32_t Redshift::deliver(const std::vector<Reading*>& all, size_t first, const Fingerprints& fingerprints) {
    Attempt attempt{all, first, std::vector<Reading*>(all.begin() + static_cast<long>(first), all.end()), {}, {}, {}};
    if (!fingerprints.empty())
        attempt.fingerprints.assign(fingerprints.begin() + static_cast<long>(first), fingerprints.end());
    attempt.id = m_ledger.blockId();
    for (;;) {
        BlockRows rows = blockRows(attempt);
        if (!m_session.isOpen()) {
            Logger::getLogger()->error("AWS Redshift - the connection was lost while the tables of %zu reading(s) "
                                       "were made ready; they wait for the next try",
                                       attempt.readings.size());
            return static_cast<uint32_t>(first);
        }
        Outcome outcome = m_session.transaction(blockStatements(attempt, rows), requestLimit());
        if (outcome.ok) {
            committed(attempt, rows);
            return static_cast<uint32_t>(all.size());
        }
        size_t acknowledged = SIZE_MAX;
        if (!retryAfter(outcome, attempt, rows, acknowledged)) return static_cast<uint32_t>(acknowledged);
    }
}

BlockRows Redshift::blockRows(Attempt& attempt) {
    m_ddlFailures.clear();
    TableNameList failed;
    TableIndexMap ready;
    createTablesFromPayload(attempt.readings, failed, ready);
    BlockRows rows;
    rows.refused = attempt.kept.refused;
    rows.rejects = attempt.kept.rejects;
    if (m_session.isOpen()) createBatch(attempt.readings, failed, ready, rows);
    return rows;
}

std::vector<std::string> Redshift::blockStatements(const Attempt& attempt, const BlockRows& rows) {
    std::vector<std::string> statements;
    // The lock first: an instance's block transactions never overlap, and
    // whoever settles a block in doubt waits for this one to end.
    if (!m_bookkeepingOff) statements.push_back(m_ledger.lockStatement());
    for (const RowRange& range : rows.ranges(requestLimit())) statements.push_back(rows.statement(range));
    if (m_bookkeepingOff) return statements;
    for (std::string& statement : rejectStatements(rows.rejects, attempt.readings, attempt.id))
        statements.push_back(std::move(statement));
    for (std::string& statement : m_ledger.entryStatements(attempt.id, attempt.fingerprints, nowLiteral()))
        statements.push_back(std::move(statement));
    return statements;
}

void Redshift::committed(const Attempt& attempt, const BlockRows& rows) {
    if (!m_bookkeepingOff) m_ledger.committed(nowLiteral(-LEDGER_KEEP_MICROS), requestLimit());
    rows.changes.log();
    for (const RejectEntry& entry : rows.rejects) {
        if (entry.written) continue;
        const Reading& reading = *attempt.readings[entry.position];
        Logger::getLogger()->error(
            "AWS Redshift - table %s, asset %s, reading of %s refused: %s; %s", entry.table.c_str(),
            reading.getAssetName().c_str(), reading.getAssetDateUserTime(Reading::FMT_DEFAULT, true).c_str(),
            entry.reason.c_str(),
            m_bookkeepingOff ? ("not stored: " + readingJson(reading)).c_str() : "kept in the rejects table");
    }
}

bool Redshift::retryAfter(Outcome& outcome, Attempt& attempt, const BlockRows& rows, size_t& acknowledged) {
    Logger* logger = Logger::getLogger();
    std::string cost = std::to_string(attempt.readings.size()) + " readings for " + tableList(rows);
    acknowledged = attempt.first;
    // The ledger key this block shares with an earlier try: that try may
    // have committed after all. Only the readings it holds are acknowledged.
    if (outcome.state == "23505" && !m_bookkeepingOff) {
        Fingerprints recorded;
        if (m_ledger.lookUp(attempt.id, requestLimit(), recorded) == Ledger::Found::Committed) {
            m_ledger.giveUp();
            acknowledged += m_ledger.matchHeadOf(recorded, attempt.fingerprints);
            return false;
        }
        outcome.failure = Failure::RowData;
    }
    switch (outcome.failure) {
        case Failure::Lost: return retryLost(outcome, attempt, cost, acknowledged);
        case Failure::Undefined:
            // A table or column went away behind the plugin's back; the
            // server does not say which, so every table is read again.
            if (!attempt.refreshed) {
                logger->info("AWS Redshift - %s (block of %s): reading the tables again", outcome.message.c_str(),
                             cost.c_str());
                attempt.refreshed = true;
                m_cacheChecked = false;
                m_bookkeepingReady = false;
                TableColumns present = checkCachedTables({ledgerTable(), REJECTS_TABLE});
                if (!m_cacheChecked) return false;
                ensureBookkeeping(present);
                return true;
            }
            [[fallthrough]];
        case Failure::RowData:
        case Failure::AlreadyThere:
            if (attempt.isolations++ < 2 && isolateRows(rows, attempt.kept)) return true;
            logger->error("AWS Redshift - %s (block of %s not sent; it waits for the next try)",
                          outcome.message.c_str(), cost.c_str());
            return false;
        default:
            logger->error("AWS Redshift - %s (block of %s not sent; it waits for the next try)",
                          outcome.message.c_str(), cost.c_str());
            return false;
    }
}

bool Redshift::retryLost(const Outcome& outcome, Attempt& attempt, const std::string& cost, size_t& acknowledged) {
    Logger* logger = Logger::getLogger();
    auto inDoubt = [&](const char* why) {
        logger->error("AWS Redshift - %s (block of %s not acknowledged: %s; it waits, and the ledger is read before "
                      "it is written again)",
                      outcome.message.c_str(), cost.c_str(), why);
        if (!m_bookkeepingOff) m_ledger.inDoubt(attempt.id, attempt.fingerprints);
        return false;
    };
    // The server may still commit a request whose deadline passed.
    if (outcome.timedOut) return inDoubt("no answer in time");
    if (attempt.retried || (!m_session.isOpen() && !reconnect(3))) return inDoubt("the connection is lost");
    logger->error("AWS Redshift - %s (block of %s; reconnected, trying once more)", outcome.message.c_str(),
                  cost.c_str());
    attempt.retried = true;
    if (m_bookkeepingOff) return true;
    Fingerprints recorded;
    switch (m_ledger.lookUp(attempt.id, requestLimit(), recorded)) {
        case Ledger::Found::Absent: return true;
        case Ledger::Found::Unknown: return inDoubt("the ledger could not be read");
        case Ledger::Found::Committed: acknowledged = attempt.all.size(); return false;
    }
    return false;
}
