#include "isolation.h"

#include <algorithm>
#include <vector>

struct Isolation::Search {
    Search(const BlockRows& rows, size_t requestLimit, bool redshiftRules, const std::string& state)
        : rows(rows), requestLimit(requestLimit), redshiftRules(redshiftRules), lastState(state) {}
    const BlockRows& rows;
    size_t requestLimit;
    bool redshiftRules;
    std::vector<Entry> entries;                      // every row, in block order
    std::map<std::string, std::vector<size_t>> cleared;  // per table, rows cleared so far
    Verdict verdict;
    size_t stoppedAt = SIZE_MAX;                     // the first entry left unresolved
    std::string lastState;                           // of the last failure met
};

Verdict Isolation::isolate(const BlockRows& rows, const Outcome& failure, size_t blockSize, size_t requestLimit,
                           bool redshiftRules) {
    Search search(rows, requestLimit, redshiftRules, failure.state);
    for (const auto& table : rows.tables)
        for (size_t i = 0; i < table.second.positions.size(); ++i)
            search.entries.push_back({table.second.positions[i], &table.first, i});
    std::sort(search.entries.begin(), search.entries.end(),
              [](const Entry& a, const Entry& b) { return a.position < b.position; });
    // The whole block failed just now: its halves are tried at once.
    resolve(search, 0, search.entries.size(), &failure.message);
    search.verdict.resolvedHead =
        search.stoppedAt < search.entries.size() ? search.entries[search.stoppedAt].position : blockSize;
    return search.verdict;
}

void Isolation::resolve(Search& search, size_t begin, size_t end, const std::string* knownFailure) {
    if (begin >= end || search.stoppedAt != SIZE_MAX) return;
    std::string failure;
    if (!knownFailure) {
        // Out of trials: what is not cleared is never refused; it waits.
        if (m_trials >= BUDGET) {
            search.stoppedAt = begin;
            return;
        }
        Outcome outcome;
        if (trial(search, begin, end, outcome)) {
            for (size_t i = begin; i < end; ++i)
                search.cleared[*search.entries[i].table].push_back(search.entries[i].index);
            return;
        }
        if (outcome.lost || actionFor(StatementKind::Data, outcome.state, outcome.message, search.redshiftRules) !=
                                Action::Isolate) {
            search.verdict.waits = true;
            search.verdict.why = outcome.message;
            search.stoppedAt = begin;
            return;
        }
        failure = outcome.message;
        search.lastState = outcome.state;
        knownFailure = &failure;
    }
    if (end - begin == 1) {
        if (!controlClears(search, begin, *knownFailure)) return;
        search.verdict.refused[search.entries[begin].position] = *knownFailure;
        return;
    }
    size_t middle = begin + (end - begin) / 2;
    resolve(search, begin, middle, nullptr);
    resolve(search, middle, end, nullptr);
}

bool Isolation::controlClears(Search& search, size_t at, const std::string& failure) {
    // Redshift words many refusals as an internal error: one more trial, of
    // the row's fixed columns alone, tells its values from anything else.
    const Entry& entry = search.entries[at];
    const TableRows& rows = search.rows.tables.at(*entry.table);
    if (!search.redshiftRules || search.lastState != "XX000" || rows.fixedRows.size() <= entry.index) return true;
    if (m_trials >= BUDGET) {
        search.stoppedAt = at;
        return false;
    }
    ++m_trials;
    Outcome outcome = m_session.transaction({rows.fixedHeader + rows.fixedRows[entry.index]}, search.requestLimit, false);
    if (outcome.ok) return true;
    search.verdict.waits = true;
    search.verdict.why = failure + "; the reading's fixed columns alone fail too: " + outcome.message;
    search.stoppedAt = at;
    return false;
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

namespace {
// How often the fingerprint at `position` occurs before it: identical
// readings are told apart by their place among their likes.
size_t occurrence(const std::vector<uint64_t>& fingerprints, size_t position) {
    size_t count = 0;
    for (size_t i = 0; i < position; ++i) count += fingerprints[i] == fingerprints[position];
    return count;
}
}  // namespace

void Isolation::remember(const std::vector<uint64_t>& fingerprints, size_t position, const std::string& table,
                         const std::string& reason) {
    m_refused[{fingerprints[position], occurrence(fingerprints, position)}] = {table, reason};
}

std::vector<RejectEntry> Isolation::recall(const std::vector<uint64_t>& fingerprints) {
    std::vector<RejectEntry> out;
    for (size_t position = 0; position < fingerprints.size() && !m_refused.empty(); ++position) {
        auto known = m_refused.find({fingerprints[position], occurrence(fingerprints, position)});
        if (known == m_refused.end()) continue;
        out.push_back({position, known->second.first, known->second.second, false});
        m_refused.erase(known);
    }
    return out;
}
