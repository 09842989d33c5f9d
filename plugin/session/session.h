#pragma once
// The session with the server: one libpq connection, opened and re-opened,
// and requests of one or more statements sent over it without ever waiting
// longer than a deadline. Nothing here knows tables or blocks.
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "session/pq_handles.h"
#include "rules/server_names.h"

// The rows of a result, each field as text, or nothing for NULL.
using Row = std::vector<std::optional<std::string>>;
using Rows = std::vector<Row>;

// What became of one request.
struct Outcome {
    bool ok = false;
    bool lost = false;         // the connection broke, or was closed at the deadline
    std::string state;         // SQLSTATE; empty when the connection broke before the server said why
    std::string message;       // the server's message, with its DETAIL where it sent one
    std::vector<Rows> sets;    // of every statement that returned rows, in order
    size_t results = 0;        // statements the server answered, the failed one included
    size_t failedStatement = 0;  // of the statements given, BEGIN and COMMIT not counted
    bool timedOut = false;     // no answer before the deadline; the connection was closed
    // The rows of the last statement that returned any.
    const Rows& rows() const;

    // The message, and the SQLSTATE when the server gave one.
    std::string text() const { return state.empty() ? message : message + " (SQLSTATE " + state + ")"; }
};

class Session {
public:
    using Clock = std::chrono::steady_clock;

    explicit Session(std::chrono::milliseconds requestTimeout);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // A new connection string drops the connection it replaces; true when
    // the text changed.
    bool setConnectString(const std::string& connectString);
    // One attempt to connect, bounded by the request deadline, the call's
    // bound and libpq's connect_timeout; a failure is logged, without the
    // password.
    bool open() { return connect(true); }
    // Drops the connection and makes up to `attempts` new ones; a failure is
    // left to the caller's line, in connectFailure().
    bool reconnect(int attempts);
    // Why the last attempt to connect failed, without the password; empty
    // once one succeeded.
    const std::string& connectFailure() const { return m_connectFailure; }
    void close() { m_connection.reset(); }
    bool isOpen() const { return m_connection != nullptr; }
    // An idle session the server has ended (or is ending) is closed here,
    // before a request finds it dead.
    void dropIfClosedByServer();

    // Bounds everything the session sends until the returned guard ends: no
    // request outlasts its own deadline, nor twice the deadline from here.
    class Call {
    public:
        explicit Call(Session& session);
        ~Call();
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        Session& m_session;
    };

    // Counts the calls: what happens in one call is told apart from the next.
    uint64_t calls() const { return m_calls; }
    // The deadline of a request that starts now: its own, within the call's bound.
    Clock::time_point requestDeadline() const;
    // Whether `wait` still fits in the current call's bound.
    bool timeLeftInCall(std::chrono::milliseconds wait) const { return m_callDeadline - Clock::now() > wait; }

    // Sends the statements as one request and reads every result, so the
    // failed statement is known. Each statement is logged at debug level.
    Outcome run(std::vector<std::string> statements);
    Outcome run(const std::string& statement) { return run(std::vector<std::string>{statement}); }
    // Runs the statements as one transaction: BEGIN and COMMIT around them,
    // in as few requests as `requestLimit` bytes allow (one each where the
    // server takes one statement per request). A failure rolls it back. The
    // rows are those of the last statement that returned any.
    Outcome transaction(std::vector<std::string> statements, size_t requestLimit, bool commit = true);
    // One statement, run once more when the connection was lost and opened
    // again (never when its deadline passed); `what` names, for the error
    // line, what the statement was for.
    Outcome runRetrying(const std::string& statement, const std::string& what);
    // Ends a transaction a failed request left open or aborted.
    void rollbackIfOpen();

    // Learns the server's rules, once per connection: how it keeps names
    // (from the version it reports: Redshift says 8.0.2), whether several
    // statements may share a request, and the names the system catalogue
    // holds. False when the connection was lost.
    bool learn(bool oneStatementPerRequest);
    bool learnt() const { return m_connection && m_learntOn == m_generation; }
    const Dialect& dialect() const { return m_dialect; }
    // Table names the system catalogue holds: an unqualified statement
    // would reach the catalogue's table.
    const std::set<std::string>& shadowed() const { return m_shadowed; }
    // Whether the server takes several statements in one request.
    bool severalStatements() const { return m_severalStatements; }

    // Facts of the open connection.
    int serverVersion() const;
    int backendPid() const;
    // Sessions closed while the server may still run them (at a deadline,
    // or on a broken link) that the next connection has yet to end.
    bool leftSessions() const { return !m_left.empty(); }

    // Counts the connections opened: whatever was learnt about a session is
    // learnt again when this changes.
    uint64_t generation() const { return m_generation; }
    std::chrono::milliseconds requestTimeout() const { return m_requestTimeout; }

private:
    bool connect(bool logFailure);
    bool send(const std::string& request, Clock::time_point deadline, Outcome& outcome);
    bool awaitResults(Clock::time_point deadline, Outcome& outcome);
    bool wait(short events, Clock::time_point deadline, Outcome& outcome, short& ready);
    void take(PGresult* result, Outcome& outcome);
    bool broken(Outcome& outcome);
    // Closes a connection whose backend may live on, remembering it.
    void abandon();
    // On a new connection: what this backend is, and the end of those abandoned.
    void endLeftSessions();
    std::string startOfBackend();

    // A backend is known by its pid and the start time the server gives it,
    // so that a pid used again by another session is never ended.
    struct Backend {
        int pid;
        std::string started;
    };

    std::string m_connectString;
    PqConnection m_connection;
    std::chrono::milliseconds m_requestTimeout;
    Clock::time_point m_callDeadline = Clock::time_point::max();
    uint64_t m_calls = 0;
    uint64_t m_generation = 0;
    std::string m_connectFailure;
    // What was learnt of the server; Redshift's rules until then.
    uint64_t m_learntOn = 0;
    bool m_severalStatements = false;
    Dialect m_dialect{127, true};
    std::set<std::string> m_shadowed;
    std::string m_started;        // of the open connection's backend; empty when unknown
    std::vector<Backend> m_left;  // abandoned, to end on the next connection
};

// The statement as a log line may show it: itself, or for a COPY, a copy
// in `shown` with the text of its secret key and token as '***'.
const std::string& withoutSecrets(const std::string& statement, std::string& shown);

// The rows of a result, every field copied out.
Rows rowsOf(const PGresult* result);

// The request deadline: CIRRANT_REQUEST_TIMEOUT seconds when that is a
// number from 1 to 86400, else 300 seconds (a value given and refused is
// said in an error line).
std::chrono::milliseconds requestTimeoutFromEnvironment();
