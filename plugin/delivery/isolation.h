#pragma once
// Finding the rows the server refuses, by trials that are rolled back, within
// a budget of trials per call. Rows are tried in block order, each range with
// the rows already cleared before it as context, so rows that fail only
// together (two of one key) are told apart: the first is cleared, the later
// one refused. A row is refused only on evidence that concerns it: its own
// trial failed with a code that points at a row. A trial that fails for no
// row's sake (a lost connection, a missing privilege, a timeout) refuses
// nothing: the block waits.
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "rows/block_rows.h"
#include "session/failure.h"
#include "session/session.h"

// What a round of isolation found.
struct Verdict {
    std::map<size_t, std::string> refused;  // block positions proven refused, and why
    size_t resolvedHead = 0;  // every reading before this position is cleared or refused
    bool waits = false;       // a trial failed for no row's sake: the block waits
    bool rowWaits = false;    // the reading at resolvedHead failed without proof that it is to blame
    std::string state, why;   // the failure that made the block or the row wait
};

class Isolation {
public:
    // Trials in one call, every round of the call included.
    static constexpr int BUDGET = 64;

    explicit Isolation(Session& session) : m_session(session) {}
    // A new call, a new budget.
    void startCall();
    int trials() const { return m_trials; }

    // Rows of `rows` that the block's failed transaction (`failure`) may
    // blame; `blockSize` readings in all.
    Verdict isolate(const BlockRows& rows, const Outcome& failure, size_t blockSize, size_t requestLimit,
                    bool redshiftRules);

    // A refusal proven for the reading at `position` of the call's block,
    // which the host will send again.
    void remember(size_t position, const std::string& table, const std::string& reason);
    // The call acknowledges the first `acknowledged` readings of `block`:
    // what was remembered past them is kept for the host's next call, by
    // fingerprint and place among identical readings counted from there, so
    // the same reading sent again is refused without a trial.
    void endCall(const std::vector<uint64_t>& block, size_t acknowledged);
    // The remembered refusals of this block, as rejects at block positions
    // from `from` on; whatever else was remembered is forgotten.
    std::vector<RejectEntry> recall(const std::vector<uint64_t>& block, size_t from);

private:
    struct Entry {
        size_t position;
        const std::string* table;
        size_t index;  // in the table's rows
    };
    struct Failure {
        std::string state, message;
    };
    struct Search;
    void resolve(Search& search, size_t begin, size_t end, const Failure* knownFailure);
    bool trial(Search& search, size_t begin, size_t end, Outcome& outcome);
    // Whether the one row at `at`, whose own trial failed with `failure`, is
    // to blame; a row worded as Redshift's internal error is judged later.
    bool toBlame(Search& search, size_t at, const Failure& failure);
    // Judges those rows once the rest of the block is tried: on the rows of
    // their table that went in, else on a trial of their fixed columns.
    void judgeDeferred(Search& search);
    // The search ends at entry `at`: the whole block waits, or that row and those behind it.
    void stop(Search& search, size_t at, const Failure& failure, bool blockWaits);

    Session& m_session;
    int m_trials = 0;
    // Tables with rows cleared in this call.
    std::set<std::string> m_cleared;
    struct Remembered {
        size_t position;
        std::string table, reason;
    };
    std::vector<Remembered> m_pending;  // this call's, by block position
    struct KeyHash {
        size_t operator()(const std::pair<uint64_t, size_t>& key) const {
            return key.first ^ (key.second * 0x9E3779B97F4A7C15ull);
        }
    };
    std::unordered_map<std::pair<uint64_t, size_t>, std::pair<std::string, std::string>, KeyHash> m_refused;
};
