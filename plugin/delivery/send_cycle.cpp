// The send cycle. A block is one transaction: the ledger's lock, every row
// of it, the copies of refused and changed readings, and the ledger entry.
// Whatever the server answers, the call ends with the block committed, or
// with an error line saying what waits and why; the host hears how many
// readings at the head of the block are written.
#include <chrono>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "rules/literal.h"
#include "logger.h"
#include "rules/names.h"
#include "rows/reading_json.h"
#include "delivery/send_cycle.h"
#include "rules/sql_names.h"

namespace {

// Ledger entries live this long.
constexpr int64_t LEDGER_KEEP_MICROS = 7LL * 24 * 3600 * 1000000;
// Conflicts with other writers retried in one call, each after a pause.
constexpr int PAUSES = 3;
// Rounds of isolation in one call.
constexpr int ISOLATIONS = 2;
// A request is never halved below this.
constexpr size_t SMALLEST_REQUEST = 4096;

// Tables for an error line: the first ten, and how many more.
std::string tableList(const std::set<std::string>& tables) {
    std::string list;
    size_t named = 0;
    for (auto table = tables.begin(); table != tables.end() && named < 10; ++table, ++named)
        list += (list.empty() ? "" : ", ") + *table;
    if (named < tables.size()) list += " and " + std::to_string(tables.size() - named) + " more";
    return list.empty() ? std::string("(none)") : list;
}

std::string tableList(const BlockRows& rows) {
    std::set<std::string> tables;
    for (const auto& table : rows.tables) tables.insert(table.first);
    for (const auto& table : rows.copies) tables.insert(table.first);
    return tableList(tables);
}

// What waits, for an error line, when the block's rows were not made.
std::string readingsFor(const std::vector<Reading*>& readings) {
    std::set<std::string> tables;
    for (const Reading* reading : readings) tables.insert(names::tableFor(*reading));
    return std::to_string(readings.size()) + " readings for " + tableList(tables);
}

}  // namespace

// What one block carries from try to try within a call.
struct SendCycle::Attempt {
    size_t first;                    // readings at the head acknowledged already
    std::vector<Reading*> readings;  // the rest, written in this call or not at all
    Fingerprints fingerprints;       // of `readings`
    std::string id;
    size_t limit;                    // bytes per request
    BlockRows kept;                  // refused readings found so far
    std::vector<StatementKind> kinds;  // of the statements of the last try
    const Fingerprints* block;       // of the host's whole block
    std::set<size_t> skipped{};      // written by an earlier block: no row, but in the ledger entry
    std::map<size_t, RefusedBefore> retries{};  // refused by an earlier block, or left waiting: sent again
    std::map<size_t, RejectEntry> waiting{};  // readings whose table could not be made ready, and why
    std::set<std::string> byInsert{};     // staged tables whose COPY failed in this call
    std::vector<std::string> objects{};   // staged in this call
    std::map<size_t, std::string> copyAt{};  // the staged table of each COPY statement
    bool guarded = true;
    size_t guardAt = SIZE_MAX;       // the guard's place among the statements
    bool lookedForWriters = false;
    bool retried = false;
    bool refreshed = false;
    int isolations = 0;
    int pauses = 0;
};

uint32_t SendCycle::send(const std::vector<Reading*>& readings) {
    Session::Call call(m_session);
    m_isolation.startCall();
    Fingerprints fingerprints;
    uint32_t sent = sendBlock(readings, fingerprints);
    // Refusals learnt past what the host hears is written wait for its next
    // call, and so do readings known written that it has not heard of.
    m_isolation.endCall(fingerprints, sent);
    if (!m_bookkeepingOff && !fingerprints.empty()) m_ledger.acknowledged(fingerprints, sent);
    m_activity.tick(m_options.now());
    return sent;
}

uint32_t SendCycle::sendBlock(const std::vector<Reading*>& readings, Fingerprints& fingerprints) {
    // A session the server ended while idle is replaced before the block
    // starts, not found dead in the middle of it.
    m_session.dropIfClosedByServer();
    if (!m_session.isOpen() && !m_session.reconnect(3)) return unsent(readings, "no connection");
    if (readings.empty()) return 0;
    if (!prepare()) return unsent(readings, "the session could not be prepared");
    for (const Reading* reading : readings) fingerprints.push_back(readingFingerprint(*reading));
    Settled settled;
    if (!m_bookkeepingOff) {
        settled = m_ledger.settle(fingerprints, requestLimit());
        // A ledger gone or reshaped behind the plugin's back is made again, then read once more.
        if (settled.waits && m_ledger.remakeFirst() && rereadTables())
            settled = m_ledger.settle(fingerprints, requestLimit());
        if (settled.waits) {
            m_catalogue.forgetChecked();
            m_activity.failed("the ledger could not be read (block of " + std::to_string(readings.size()) + " readings)");
            return 0;
        }
    }
    size_t first = settled.sendFrom();
    std::vector<RejectEntry> known = m_isolation.recall(fingerprints, first);
    if (first == readings.size()) return static_cast<uint32_t>(readings.size());
    uint64_t sessions = m_session.generation();
    uint32_t sent = deliver(readings, fingerprints, settled, std::move(known));
    if (m_session.generation() != sessions) m_activity.reconnected();
    return sent;
}

uint32_t SendCycle::unsent(const std::vector<Reading*>& readings, const char* why) {
    blockWaits(connectionLost(), readingsFor(readings), why);
    return 0;
}

Outcome SendCycle::connectionLost() const {
    Outcome failure;
    // Connecting has no SQLSTATE of its own; 08001 is the client's "could not connect".
    failure.state = m_session.connectFailure().empty() ? "" : "08001";
    failure.message = m_session.connectFailure().empty() ? "the connection was lost" : m_session.connectFailure();
    return failure;
}

uint32_t SendCycle::deliver(const std::vector<Reading*>& all, const Fingerprints& fingerprints, const Settled& settled,
                            std::vector<RejectEntry> known) {
    size_t first = settled.sendFrom();
    Attempt attempt{first, std::vector<Reading*>(all.begin() + static_cast<long>(first), all.end()),
                    Fingerprints(fingerprints.begin() + static_cast<long>(first), fingerprints.end()),
                    m_ledger.blockId(), requestLimit(), {}, {}, &fingerprints};
    attempt.guarded = settled.guarded;
    // Past the first reading sent again, what was written stays in the
    // block (and its ledger entry, so the host's order holds) without a row.
    for (size_t position = first; position < settled.head; ++position) {
        auto retry = settled.retry.find(position);
        if (retry == settled.retry.end())
            attempt.skipped.insert(position - first);
        else
            attempt.retries.emplace(position - first, retry->second);
    }
    for (RejectEntry& entry : known) {
        entry.position -= first;
        if (attempt.skipped.count(entry.position)) continue;
        attempt.kept.refused.insert(entry.position);
        attempt.kept.rejects.push_back(std::move(entry));
    }
    size_t written = tryBlock(attempt);
    // Refusals found for readings the host sends again are not looked for again.
    for (const RejectEntry& entry : attempt.kept.rejects)
        if (!entry.written && first + entry.position >= written)
            m_isolation.remember(first + entry.position, entry.table, entry.reason);
    return static_cast<uint32_t>(written);
}

size_t SendCycle::tryBlock(Attempt& attempt) {
    // Whatever the call comes to, its staged objects go when it ends: a
    // committed COPY has read them, and a late one then finds nothing.
    struct Discard {
        Staging& staging;
        std::vector<std::string>& objects;
        ~Discard() { staging.discard(objects); }
    } discard{m_staging, attempt.objects};
    for (;;) {
        BlockTables tables;
        BlockRows rows = blockRows(attempt, tables);
        if (!m_session.isOpen()) {
            blockWaits(connectionLost(), readingsFor(attempt.readings),
                       "the connection was lost while its tables were made ready");
            return attempt.first;
        }
        // Readings of a table that could not be made ready, for reasons that
        // may pass, wait; the others are written, unless none is left.
        if (!tablesWait(attempt, tables)) {
            // A fresh session next time, in case this one holds settings that changed.
            m_session.close();
            return attempt.first;
        }
        Outcome outcome = m_session.transaction(blockStatements(attempt, rows), attempt.limit);
        if (outcome.ok) {
            committed(attempt, rows, outcome);
            return attempt.first + (attempt.waiting.empty() ? attempt.readings.size() : attempt.waiting.begin()->first);
        }
        size_t acknowledged = attempt.first;
        if (!retryAfter(outcome, attempt, rows, acknowledged)) return acknowledged;
    }
}

bool SendCycle::tablesWait(Attempt& attempt, const BlockTables& tables) {
    std::map<std::string, std::pair<size_t, std::string>> waiting;  // table: readings, why
    attempt.waiting.clear();
    for (size_t i = 0; i < attempt.readings.size(); ++i) {
        if (attempt.skipped.count(i) || attempt.kept.refused.count(i) || !tables.waitsAt(i)) continue;
        std::string table = i < tables.keys.size() ? tables.keys[i] : "";
        auto failure = tables.failed.find(table);
        std::string why = failure != tables.failed.end() ? failure->second.why : "its table was not looked at";
        attempt.waiting[i] = {i, table, why, false, true};
        ++waiting[table].first, waiting[table].second = why;
    }
    for (const auto& table : waiting) {
        Logger::getLogger()->error("AWS Redshift - %s (table %s could not be made ready: its %zu reading(s) wait for "
                                   "the next try, kept as waiting in the rejects table, while the readings of other "
                                   "tables go on; the same failure on 3 calls over 10 minutes refuses its readings)",
                                   table.second.second.c_str(), table.first.c_str(), table.second.first);
        m_activity.failed(table.second.second + " (table " + table.first + ")");
    }
    if (attempt.waiting.empty()) return true;
    // Without the ledger, readings past one that waits could not be told
    // apart when the host sends them again: only those before it go.
    if (m_bookkeepingOff) {
        size_t head = attempt.waiting.begin()->first;
        keepHead(attempt, head);
        return head > 0;
    }
    // Whether anything is left to write; readings written before need no row.
    return attempt.waiting.size() + attempt.skipped.size() + attempt.kept.refused.size() < attempt.readings.size();
}

void SendCycle::keepHead(Attempt& attempt, size_t head) {
    // Refusals already known past the head wait with their readings, for the host's next call.
    std::vector<RejectEntry> kept;
    for (RejectEntry& entry : attempt.kept.rejects) {
        if (entry.position < head) {
            kept.push_back(std::move(entry));
        } else if (!entry.written) {
            m_isolation.remember(attempt.first + entry.position, entry.table, entry.reason);
            attempt.kept.refused.erase(entry.position);
        }
    }
    attempt.kept.rejects = std::move(kept);
    attempt.readings.resize(head);
    attempt.fingerprints.resize(head);
    attempt.skipped.erase(attempt.skipped.lower_bound(head), attempt.skipped.end());
    attempt.retries.erase(attempt.retries.lower_bound(head), attempt.retries.end());
    attempt.waiting.erase(attempt.waiting.lower_bound(head), attempt.waiting.end());
}

BlockRows SendCycle::blockRows(Attempt& attempt, BlockTables& tables) {
    tables = m_catalogue.createTablesFromPayload(attempt.readings);
    BlockRows rows;
    rows.refused = attempt.kept.refused;
    rows.rejects = attempt.kept.rejects;
    rows.skipped = attempt.skipped;
    BatchBuilder builder(m_catalogue, m_instanceName, m_session.dialect().redshift, requestLimit());
    StagingTry staging{m_instanceName, m_ledger.runId(), attempt.id, attempt.byInsert, attempt.objects};
    if (m_session.isOpen()) m_staging.stage(attempt.readings, tables, builder, rows, staging);
    if (m_session.isOpen()) builder.createBatch(attempt.readings, tables, rows);
    return rows;
}

std::vector<std::string> SendCycle::blockStatements(Attempt& attempt, const BlockRows& rows) {
    std::vector<std::string> statements;
    attempt.kinds.clear();
    auto add = [&](std::string statement, StatementKind kind) {
        statements.push_back(std::move(statement));
        attempt.kinds.push_back(kind);
    };
    // The lock first: an instance's block transactions never overlap, and
    // whoever settles a block in doubt waits for this one to end. Then the
    // guard: a try of this block that committed first, however late its
    // request came, makes this one fail before it writes anything.
    attempt.guardAt = SIZE_MAX;
    attempt.lookedForWriters = false;
    if (!m_bookkeepingOff) {
        add(m_ledger.lockStatement(), StatementKind::Bookkeeping);
        if (attempt.guarded) {
            attempt.guardAt = statements.size();
            add(m_ledger.guardStatement(attempt.id), StatementKind::Bookkeeping);
        }
        std::string writers = attempt.guarded ? m_ledger.writersStatement() : "";
        attempt.lookedForWriters = !writers.empty();
        if (attempt.lookedForWriters) add(std::move(writers), StatementKind::Bookkeeping);
    }
    attempt.copyAt.clear();
    for (const auto& copy : rows.copies) {
        attempt.copyAt[statements.size()] = copy.first;
        add(copy.second, StatementKind::Copy);
    }
    for (std::string& statement : rows.statements(attempt.limit)) add(std::move(statement), StatementKind::Data);
    if (m_bookkeepingOff) return statements;
    // A reading sent again keeps the rejects row it has while that row
    // still says what became of it (refused, or waiting); otherwise the row
    // goes, and a new one says what it is now.
    std::vector<RejectEntry> rejects;
    auto kept = [&](size_t position) {
        auto retry = attempt.retries.find(position);
        if (retry == attempt.retries.end()) return false;
        return retry->second.waited ? attempt.waiting.count(position) > 0 : rows.refused.count(position) > 0;
    };
    for (const RejectEntry& entry : rows.rejects)
        if (entry.written || !kept(entry.position)) rejects.push_back(entry);
    for (const auto& waiting : attempt.waiting)
        if (!kept(waiting.first)) rejects.push_back(waiting.second);
    for (const auto& retry : attempt.retries)
        if (!kept(retry.first))
            add("DELETE FROM " + sqlIdentifier(REJECTS_TABLE) + " WHERE block_id = " + textLiteral(retry.second.blockId) +
                    " AND reading_no = " + std::to_string(retry.second.readingNo) +
                    " AND outcome IN ('refused', 'waiting')",
                StatementKind::Bookkeeping);
    BatchBuilder builder(m_catalogue, m_instanceName, m_session.dialect().redshift);
    for (std::string& statement :
         builder.rejectStatements(rejects, attempt.readings, attempt.id, nowLiteral(), attempt.limit))
        add(std::move(statement), StatementKind::Bookkeeping);
    for (std::string& statement :
         m_ledger.entryStatements(attempt.id, attempt.fingerprints, nowLiteral(), attempt.limit))
        add(std::move(statement), StatementKind::Bookkeeping);
    return statements;
}

void SendCycle::committed(const Attempt& attempt, const BlockRows& rows, const Outcome& outcome) {
    if (!m_bookkeepingOff) {
        if (attempt.lookedForWriters) m_ledger.sawWriters(outcome.sets.empty() ? Rows() : outcome.sets.back());
        m_ledger.committed(nowLiteral(-LEDGER_KEEP_MICROS), requestLimit());
    }
    size_t changed = 0;
    for (const RejectEntry& entry : rows.rejects) changed += entry.written;
    m_activity.written(attempt.readings.size() - rows.refused.size() - rows.skipped.size() - attempt.waiting.size(),
                       rows.refused.size(), changed);
    if (!attempt.waiting.empty() && !m_bookkeepingOff) {
        // The host hears of the head before the first reading that waits,
        // and sends the rest again: what this block wrote of it is matched
        // then, and what waits is sent again.
        size_t end = attempt.first + attempt.readings.size();
        Written written{Fingerprints(attempt.block->begin(), attempt.block->begin() + static_cast<long>(end)), {}};
        for (const auto& waiting : attempt.waiting) {
            auto retry = attempt.retries.find(waiting.first);
            written.refused[attempt.first + waiting.first] =
                retry != attempt.retries.end() && retry->second.waited ? retry->second
                                                                        : RefusedBefore{attempt.id, waiting.first, true};
        }
        m_ledger.takeWritten(std::move(written));
    }
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

bool SendCycle::retryAfter(Outcome& outcome, Attempt& attempt, const BlockRows& rows, size_t& acknowledged) {
    std::string cost = std::to_string(attempt.readings.size()) + " readings for " + tableList(rows);
    StatementKind kind =
        outcome.failedStatement < attempt.kinds.size() ? attempt.kinds[outcome.failedStatement] : StatementKind::Data;
    // The guard, or the ledger key, found this block's id: an earlier try
    // committed after all.
    bool guardFailed = !outcome.lost && outcome.failedStatement == attempt.guardAt;
    if ((guardFailed || (outcome.state == "23505" && kind == StatementKind::Bookkeeping)) && !m_bookkeepingOff)
        if (int settled = settleEarlierTry(outcome, attempt, acknowledged)) return settled > 0;
    if (outcome.lost) return retryLost(outcome, attempt, cost, acknowledged);
    Action action = actionFor(kind, outcome.state, outcome.message, m_session.dialect().redshift);
    switch (action) {
        case Action::Reconnect:
            m_session.close();
            return retryLost(outcome, attempt, cost, acknowledged);
        case Action::Pause: return pauseAndRetry(outcome, attempt, cost);
        case Action::LoadByInsert:
        case Action::Unstage:
            // A staged table goes by INSERT, in this same call.
            attempt.byInsert.insert(attempt.copyAt[outcome.failedStatement]);
            m_staging.copyFailed(attempt.copyAt[outcome.failedStatement], outcome.message,
                                 action == Action::LoadByInsert);
            return true;
        case Action::Split:
            if (attempt.limit / 2 >= SMALLEST_REQUEST) {
                attempt.limit /= 2;
                Logger::getLogger()->info("AWS Redshift - %s (block of %s): requests halved to %zu bytes",
                                          outcome.message.c_str(), cost.c_str(), attempt.limit);
                return true;
            }
            break;
        case Action::Reread:
        case Action::Isolate:
            // The tables may not be what the cache says (a column retyped or
            // dropped behind the plugin's back): read them again first.
            if (!attempt.refreshed) {
                Logger::getLogger()->info("AWS Redshift - %s (block of %s): reading the tables again",
                                          outcome.message.c_str(), cost.c_str());
                attempt.refreshed = true;
                return rereadTables() || blockWaits(outcome, cost, "the tables could not be read");
            }
            if (kind == StatementKind::Data) return isolate(outcome, attempt, rows, cost, acknowledged);
            break;
        default: break;
    }
    // Nothing a row did: a fresh session next time, in case this one holds
    // settings that have changed since it opened.
    m_session.close();
    return blockWaits(outcome, cost, "no reading is to blame");
}

bool SendCycle::blockWaits(const Outcome& outcome, const std::string& cost, const char* why) {
    m_activity.failed(outcome.text() + " (block of " + cost + ")");
    Logger::getLogger()->error("AWS Redshift - %s (block of %s not sent, %s; the block waits for the next try)",
                               outcome.text().c_str(), cost.c_str(), why);
    return false;
}

bool SendCycle::pauseAndRetry(const Outcome& outcome, Attempt& attempt, const std::string& cost) {
    if (attempt.pauses++ >= PAUSES) return blockWaits(outcome, cost, "another writer kept conflicting");
    m_activity.retried();
    static thread_local std::mt19937 random{std::random_device{}()};
    int pause = std::uniform_int_distribution<int>(100, 1000)(random);
    // The call's own bound comes first: the block waits rather than outlast it.
    if (!m_session.timeLeftInCall(std::chrono::milliseconds(pause)))
        return blockWaits(outcome, cost, "another writer conflicted, and the call has no time left to wait");
    Logger::getLogger()->info("AWS Redshift - %s (block of %s): trying again in %d ms", outcome.message.c_str(),
                              cost.c_str(), pause);
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    return true;
}

bool SendCycle::isolate(const Outcome& outcome, Attempt& attempt, const BlockRows& rows, const std::string& cost,
                       size_t& acknowledged) {
    if (attempt.isolations++ >= ISOLATIONS) return blockWaits(outcome, cost, "its rows were looked at twice already");
    Verdict verdict = m_isolation.isolate(rows, outcome, attempt.readings.size(), attempt.limit, m_session.dialect().redshift);
    Outcome trial = outcome;
    if (verdict.waits || verdict.rowWaits) trial.state = verdict.state, trial.message = verdict.why;
    if (verdict.waits) {
        if (!m_session.isOpen()) return retryLost(outcome, attempt, cost, acknowledged);
        m_session.close();
        return blockWaits(trial, cost, "a trial failed for no row's sake");
    }
    const char* rowWaits = "a reading failed on its own without proof that it is to blame";
    if (verdict.resolvedHead == 0)
        return blockWaits(trial, cost,
                          verdict.rowWaits ? rowWaits
                                           : "no reading at its head could be cleared within the trials of one call");
    for (const auto& refused : verdict.refused) {
        if (refused.first < verdict.resolvedHead) {
            attempt.kept.refused.insert(refused.first);
            attempt.kept.rejects.push_back({refused.first, rows.tableOf(refused.first), refused.second, false});
        } else {
            m_isolation.remember(attempt.first + refused.first, rows.tableOf(refused.first), refused.second);
        }
    }
    if (verdict.resolvedHead < attempt.readings.size()) {
        // Only the head is settled; the rest waits for the host's next call,
        // which finds the refusals learnt here without trying them again.
        if (verdict.rowWaits) {
            m_activity.failed(trial.text() + " (block of " + cost + ")");
            Logger::getLogger()->error("AWS Redshift - %s (block of %s: %s; the %zu readings before it are written, "
                                       "the %zu from it on wait for the next try)",
                                       trial.text().c_str(), cost.c_str(), rowWaits, verdict.resolvedHead,
                                       attempt.readings.size() - verdict.resolvedHead);
        } else {
            Logger::getLogger()->info("AWS Redshift - %zu of %zu readings (%s) could be cleared or refused within "
                                      "the trials of one call; the rest wait for the next",
                                      verdict.resolvedHead, attempt.readings.size(), cost.c_str());
        }
        keepHead(attempt, verdict.resolvedHead);
    }
    return true;
}

bool SendCycle::retryLost(const Outcome& outcome, Attempt& attempt, const std::string& cost, size_t& acknowledged) {
    auto inDoubt = [&](const std::string& why) {
        Logger::getLogger()->error("AWS Redshift - %s (block of %s not acknowledged: %s; it waits, and the ledger "
                                   "is read before it is written again)",
                                   outcome.text().c_str(), cost.c_str(), why.c_str());
        if (!m_bookkeepingOff) m_ledger.inDoubt(attempt.id, attempt.fingerprints);
        m_activity.inDoubt();
        m_activity.failed(outcome.text() + " (block of " + cost + ")");
        return false;
    };
    // The server may still commit a request whose deadline passed.
    if (outcome.timedOut) return inDoubt("no answer in time");
    if (attempt.retried) return inDoubt("the connection is lost");
    if (!m_session.isOpen() && !m_session.reconnect(3))
        return inDoubt("the connection is lost, and connecting again failed: " + m_session.connectFailure());
    Logger::getLogger()->error("AWS Redshift - %s (block of %s; reconnected, trying once more)",
                               outcome.message.c_str(), cost.c_str());
    attempt.retried = true;
    m_activity.retried();
    if (m_bookkeepingOff) return true;
    Written recorded;
    switch (m_ledger.lookUp(attempt.id, requestLimit(), recorded)) {
        case Ledger::Found::Absent: return true;
        case Ledger::Found::Unknown: return inDoubt("the ledger could not be read");
        case Ledger::Found::Committed:
            m_ledger.knownCommitted();
            acknowledged = attempt.first + attempt.readings.size();
            return false;
    }
    return false;
}

int SendCycle::settleEarlierTry(const Outcome& outcome, Attempt& attempt, size_t& acknowledged) {
    Written recorded;
    switch (m_ledger.lookUp(attempt.id, requestLimit(), recorded)) {
        case Ledger::Found::Absent: return 0;  // the guard failed for no entry's sake
        case Ledger::Found::Unknown:
            if (m_ledger.remakeFirst()) {
                if (rereadTables()) return 1;
                break;
            }
            // Given up: this block goes on without exactly-once.
            if (m_ledger.givenUp() && attempt.guarded) {
                attempt.guarded = false;
                return 1;
            }
            break;
        case Ledger::Found::Committed: {
            // That try started where the host's block starts; what it holds
            // is acknowledged up to the first reading it refused, and the
            // rest is matched on the next call.
            size_t same = Ledger::matchHeadOf(recorded.fingerprints, *attempt.block);
            if (!recorded.refused.empty()) same = std::min(same, recorded.refused.begin()->first);
            acknowledged = std::max(acknowledged, same);
            m_ledger.knownCommitted();
            m_ledger.takeWritten(std::move(recorded));
            Logger::getLogger()->error("AWS Redshift - block %s was written by an earlier try: %zu reading(s) at the "
                                       "head of this block match it and are acknowledged; the others wait for the "
                                       "next try",
                                       attempt.id.c_str(), acknowledged);
            return -1;
        }
    }
    Logger::getLogger()->error("AWS Redshift - %s (block %s of %zu readings: whether an earlier try of it committed "
                               "is not known; it waits, and the ledger is read before it is written again)",
                               outcome.message.c_str(), attempt.id.c_str(), attempt.readings.size());
    m_ledger.inDoubt(attempt.id, attempt.fingerprints);
    m_activity.failed(outcome.message + " (block " + attempt.id + ")");
    return -1;
}
