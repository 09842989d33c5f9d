#include "session/failure.h"

#include <cstring>

namespace {

struct Rule {
    const char* state;  // five characters for a code, two for a class
    Action ddl, data, bookkeeping;
};

constexpr Action C = Action::Reconnect, P = Action::Pause, R = Action::Reread, I = Action::Isolate,
                 W = Action::Wait, X = Action::Permanent;

// Exact codes come first, then classes; anything else takes the last row.
const Rule RULES[] = {
    // A server shutting down, restarting or dropping the session, and too
    // many sessions: a new session may fare better.
    {"57P01", C, C, C}, {"57P02", C, C, C}, {"57P03", C, C, C}, {"57P04", C, C, C}, {"57P05", C, C, C},
    {"53300", C, C, C},
    // Serialisation conflicts and deadlocks: the transaction is lost, not the session.
    {"40001", P, P, P}, {"40P01", P, P, P},
    // What DDL wanted to make exists already (23505: two CREATEs raced in
    // the catalogue); for rows, 23505 is a broken key.
    {"42P07", R, R, R}, {"42701", R, R, R}, {"42710", R, R, R}, {"23505", R, I, W},
    // A table or column is gone: the cache is stale.
    {"42P01", R, R, R}, {"42703", R, R, R},
    // Too many columns: the table can never be widened; a row too big is the row's.
    {"54011", X, I, W}, {"54000", W, I, W},
    // A role that may not create tables never will; one that may not write
    // waits for a grant.
    {"42501", X, W, W},
    // Cancelled or timed out, a lock not had, a read-only session, an
    // invalid transaction state, a full disk or lack of memory: all pass.
    {"57014", W, W, W}, {"55P03", W, W, W}, {"25006", W, W, W},
    {"08", C, C, C}, {"53", W, W, W}, {"25", W, W, W}, {"22", W, I, W}, {"23", W, I, W},
    // Anything else: DDL and bookkeeping wait; an INSERT's failure may be a
    // row's (a retyped column, a trigger raising its own error), so its
    // rows are looked at.
    {"", W, I, W},
};

// A COPY fails for a row's sake when the server says so: Redshift words
// every refused row of a COPY alike, as XX000 "Load into table ... failed",
// and a server that names the row's fault by its code (class 22 or 23) is
// read alike. A lost session or a conflict is what it is for any statement.
// Anything else is no row's (S3, the role, the region, the manifest).
Action copyAction(const std::string& state, const std::string& message, bool redshiftRules) {
    if (state == "XX000" && message.rfind("Load into table ", 0) == 0) return Action::LoadByInsert;
    Action asRows = actionFor(StatementKind::Data, state, message, redshiftRules);
    if (asRows == Action::Reconnect || asRows == Action::Pause) return asRows;
    bool rows = state.compare(0, 2, "22") == 0 || state.compare(0, 2, "23") == 0;
    return rows ? Action::LoadByInsert : Action::Unstage;
}

Action pick(const Rule& rule, StatementKind kind) {
    switch (kind) {
        case StatementKind::Ddl: return rule.ddl;
        case StatementKind::Data: return rule.data;
        default: return rule.bookkeeping;
    }
}

}  // namespace

Action actionFor(StatementKind kind, const std::string& state, const std::string& message, bool redshiftRules) {
    // No state at all: the connection broke before the server said why.
    if (state.empty()) return Action::Reconnect;
    if (kind == StatementKind::Copy) return copyAction(state, message, redshiftRules);
    if (redshiftRules && state == "XX000") {
        // Redshift aborts one of two conflicting writers with error 1023.
        if (message.rfind("1023", 0) == 0) return Action::Pause;
        // It reports refused values as XX000, and refused DDL too, but also
        // passing trouble: DDL waits, and is taken as refused only when the
        // same failure outlasts several calls.
        return kind == StatementKind::Ddl ? Action::Wait : pick(RULES[std::size(RULES) - 1], kind);
    }
    if (redshiftRules && state == "42601" && message.find("too large") != std::string::npos)
        return kind == StatementKind::Ddl ? Action::Wait : Action::Split;
    for (const Rule& rule : RULES)
        if (std::strlen(rule.state) == 5 && state == rule.state) return pick(rule, kind);
    for (const Rule& rule : RULES)
        if (std::strlen(rule.state) == 2 && state.compare(0, 2, rule.state) == 0) return pick(rule, kind);
    return pick(RULES[std::size(RULES) - 1], kind);
}
