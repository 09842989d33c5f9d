#pragma once
// Finding the rows the server refuses, by trials that are rolled back, within
// a budget of trials per call. Rows are tried in block order, each range with
// the rows already cleared before it as context, so rows that fail only
// together (two of one key) are told apart: the first is cleared, the later
// one refused. A trial that fails for no row's sake (a lost connection, a
// missing privilege, a timeout) refuses nothing: the block waits.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "block_rows.h"
#include "failure.h"
#include "session.h"

// What a round of isolation found.
struct Verdict {
    std::map<size_t, std::string> refused;  // block positions proven refused, and why
    size_t resolvedHead = 0;  // every reading before this position is cleared or refused
    bool waits = false;       // a trial failed for no row's sake
    std::string why;          // that trial's failure
};

class Isolation {
public:
    // Trials in one call, every round of the call included.
    static constexpr int BUDGET = 64;

    explicit Isolation(Session& session) : m_session(session) {}
    // A new call, a new budget.
    void startCall() { m_trials = 0; }
    int trials() const { return m_trials; }

    // Rows of `rows` that the block's failed transaction (`failure`) may
    // blame; `blockSize` readings in all.
    Verdict isolate(const BlockRows& rows, const Outcome& failure, size_t blockSize, size_t requestLimit,
                    bool redshiftRules);

    // Refusals proven for readings past the head that was written, kept for
    // the host's next call: by fingerprint and place among identical
    // readings, so the same reading sent again is refused without a trial.
    void remember(const std::vector<uint64_t>& fingerprints, size_t position, const std::string& table,
                  const std::string& reason);
    // The remembered refusals of this block, as rejects; each is used once.
    std::vector<RejectEntry> recall(const std::vector<uint64_t>& fingerprints);

private:
    struct Entry {
        size_t position;
        const std::string* table;
        size_t index;  // in the table's rows
    };
    struct Search;
    void resolve(Search& search, size_t begin, size_t end, const std::string* knownFailure);
    bool trial(Search& search, size_t begin, size_t end, Outcome& outcome);
    // Whether the one row at `at` may be refused for `failure`.
    bool controlClears(Search& search, size_t at, const std::string& failure);

    Session& m_session;
    int m_trials = 0;
    std::map<std::pair<uint64_t, size_t>, std::pair<std::string, std::string>> m_refused;
};
