#include "delivery/isolation.h"

#include <algorithm>
#include <vector>

struct Isolation::Search {
    Search(const BlockRows& rows, size_t requestLimit, bool redshiftRules, const Outcome& start)
        : rows(rows), requestLimit(requestLimit), redshiftRules(redshiftRules), started{start.state, start.message} {}
    const BlockRows& rows;
    size_t requestLimit;
    bool redshiftRules;
    Failure started;                                     // the block's failure that started this round
    std::vector<Entry> entries;                          // every row, in block order
    std::map<std::string, std::vector<size_t>> cleared;  // per table, rows cleared so far
    Verdict verdict;
    size_t stoppedAt = SIZE_MAX;                         // the first entry left unresolved
    std::vector<std::pair<size_t, Failure>> deferred;    // rows judged once the rest is tried
};

void Isolation::startCall() {
    m_trials = 0;
    m_cleared.clear();
    m_pending.clear();
}

Verdict Isolation::isolate(const BlockRows& rows, const Outcome& failure, size_t blockSize, size_t requestLimit,
                           bool redshiftRules) {
    Search search(rows, requestLimit, redshiftRules, failure);
    for (const auto& table : rows.tables)
        for (size_t i = 0; i < table.second.positions.size(); ++i)
            search.entries.push_back({table.second.positions[i], &table.first, i});
    std::sort(search.entries.begin(), search.entries.end(),
              [](const Entry& a, const Entry& b) { return a.position < b.position; });
    // The whole block failed just now: its halves are tried at once.
    resolve(search, 0, search.entries.size(), &search.started);
    if (!search.verdict.waits) judgeDeferred(search);
    search.verdict.resolvedHead =
        search.stoppedAt < search.entries.size() ? search.entries[search.stoppedAt].position : blockSize;
    return search.verdict;
}

void Isolation::resolve(Search& search, size_t begin, size_t end, const Failure* knownFailure) {
    if (begin >= end || search.stoppedAt != SIZE_MAX) return;
    Failure failure;
    if (!knownFailure) {
        // Out of trials: what is not cleared is never refused; it waits.
        if (m_trials >= BUDGET) {
            search.stoppedAt = begin;
            return;
        }
        Outcome outcome;
        if (trial(search, begin, end, outcome)) {
            for (size_t i = begin; i < end; ++i) {
                search.cleared[*search.entries[i].table].push_back(search.entries[i].index);
                m_cleared.insert(*search.entries[i].table);
            }
            return;
        }
        failure = {outcome.state, outcome.message};
        if (outcome.lost || actionFor(StatementKind::Data, outcome.state, outcome.message, search.redshiftRules) !=
                                Action::Isolate)
            return stop(search, begin, failure, true);
        knownFailure = &failure;
    }
    if (end - begin == 1) {
        if (toBlame(search, begin, *knownFailure))
            search.verdict.refused[search.entries[begin].position] = knownFailure->message;
        return;
    }
    size_t middle = begin + (end - begin) / 2;
    resolve(search, begin, middle, nullptr);
    resolve(search, middle, end, nullptr);
}

bool Isolation::toBlame(Search& search, size_t at, const Failure& failure) {
    // A block of one row failed for a reason no row is to blame for.
    if (actionFor(StatementKind::Data, failure.state, failure.message, search.redshiftRules) != Action::Isolate) {
        stop(search, at, failure, true);
        return false;
    }
    if (!search.redshiftRules || failure.state != "XX000") return true;
    // Redshift words refused values as an internal error, and passing
    // trouble too: the row is judged once the rest of the block is tried.
    search.deferred.emplace_back(at, failure);
    return false;
}

void Isolation::judgeDeferred(Search& search) {
    for (const auto& row : search.deferred) {
        size_t at = row.first;
        const Failure& failure = row.second;
        if (at >= search.stoppedAt) return;
        const Entry& entry = search.entries[at];
        // Other rows of its table went in: the error that started the
        // search, met again on this row alone, is the row's.
        if (m_cleared.count(*entry.table)) {
            if (failure.message != search.started.message) return stop(search, at, failure, false);
            search.verdict.refused[entry.position] = failure.message;
            continue;
        }
        // None did: one more trial, of the row's fixed columns alone, tells
        // its values from anything else.
        const TableRows& rows = search.rows.tables.at(*entry.table);
        if (m_trials >= BUDGET) {
            search.stoppedAt = at;
            return;
        }
        ++m_trials;
        Outcome outcome =
            m_session.transaction({rows.fixedHeader + rows.fixedRows.at(entry.index)}, search.requestLimit, false);
        if (!outcome.ok)
            return stop(search, at,
                        {failure.state, failure.message + "; the reading's fixed columns alone fail too: " +
                                            outcome.message},
                        outcome.lost);
        search.verdict.refused[entry.position] = failure.message;
    }
}

void Isolation::stop(Search& search, size_t at, const Failure& failure, bool blockWaits) {
    search.stoppedAt = at;
    search.verdict.waits = blockWaits;
    search.verdict.rowWaits = !blockWaits;
    search.verdict.state = failure.state;
    search.verdict.why = failure.message;
}

bool Isolation::trial(Search& search, size_t begin, size_t end, Outcome& outcome) {
    ++m_trials;
    // Each table's cleared rows, then the range's rows of that table.
    std::map<std::string, std::vector<size_t>> tried = search.cleared;
    for (size_t i = begin; i < end; ++i) tried[*search.entries[i].table].push_back(search.entries[i].index);
    std::vector<std::string> statements;
    for (const auto& table : tried)
        for (std::string& statement : search.rows.statements(table.first, table.second, search.requestLimit))
            statements.push_back(std::move(statement));
    outcome = m_session.transaction(std::move(statements), search.requestLimit, false);
    return outcome.ok;
}

void Isolation::remember(size_t position, const std::string& table, const std::string& reason) {
    m_pending.push_back({position, table, reason});
}

void Isolation::endCall(const std::vector<uint64_t>& block, size_t acknowledged) {
    std::sort(m_pending.begin(), m_pending.end(),
              [](const Remembered& a, const Remembered& b) { return a.position < b.position; });
    // The host's next call starts at the first reading not acknowledged:
    // identical readings are told apart by their place among their likes
    // from there, which readings acknowledged now cannot change.
    std::unordered_map<uint64_t, size_t> seen;
    size_t at = acknowledged;
    for (Remembered& entry : m_pending) {
        if (entry.position < acknowledged || entry.position >= block.size()) continue;
        for (; at < entry.position; ++at) ++seen[block[at]];
        m_refused[{block[entry.position], seen[block[entry.position]]}] = {std::move(entry.table),
                                                                          std::move(entry.reason)};
    }
    m_pending.clear();
}

std::vector<RejectEntry> Isolation::recall(const std::vector<uint64_t>& block, size_t from) {
    std::vector<RejectEntry> out;
    std::unordered_map<uint64_t, size_t> seen;
    for (size_t position = 0; position < block.size() && !m_refused.empty(); ++position) {
        auto known = m_refused.find({block[position], seen[block[position]]++});
        if (known == m_refused.end()) continue;
        if (position >= from) out.push_back({position, known->second.first, known->second.second, false});
        m_refused.erase(known);
    }
    // Refusals this block does not hold were for readings the host no longer sends.
    m_refused.clear();
    return out;
}
