// Requests go out through libpq's non-blocking calls and one waiting loop
// that owns the clock: PQgetResult is only called once libpq has the whole
// result, so nothing here can block past the deadline. A deadline that passes
// closes the connection rather than cancelling: a cancel blocks until the
// server answers, which is what a silent server never does.
#include "session/session.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "session/connect_string.h"
#include "logger.h"
#include "rules/request_timeout.h"

namespace {

std::string firstLine(const char* text) {
    std::string line(text ? text : "");
    line = line.substr(0, line.find('\n'));
    if (line.rfind("ERROR:  ", 0) == 0) line.erase(0, 8);
    return line;
}

// The server's notices go to the log at debug level, not to standard error.
void logNotice(void*, const char* message) {
    Logger::getLogger()->debug("AWS Redshift - server notice: %s", firstLine(message).c_str());
}

std::string field(const PGresult* result, int code) {
    const char* value = PQresultErrorField(result, code);
    return value ? value : "";
}

// What finishConnecting says when the deadline came first.
const char* const TIMED_OUT = "timed out";

// libpq's connect_timeout for this connection, from the connection string or
// PGCONNECT_TIMEOUT, in seconds; 0 or less when there is none.
int connectTimeoutOf(PGconn* connection) {
    std::unique_ptr<PQconninfoOption, void (*)(PQconninfoOption*)> options(PQconninfo(connection), PQconninfoFree);
    for (const PQconninfoOption* option = options.get(); option && option->keyword; ++option)
        if (std::string(option->keyword) == "connect_timeout" && option->val) return std::atoi(option->val);
    return 0;
}

// Drives a connection PQconnectStart began until it is made, fails, or the
// deadline passes: empty when it was made, else why not.
std::string finishConnecting(PGconn* connection, Session::Clock::time_point deadline) {
    PostgresPollingStatusType status = PGRES_POLLING_WRITING;
    for (;;) {
        if (PQstatus(connection) == CONNECTION_BAD || status == PGRES_POLLING_FAILED)
            return PQerrorMessage(connection);
        if (status == PGRES_POLLING_OK) return {};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Session::Clock::now()).count();
        if (left <= 0) return TIMED_OUT;
        pollfd socket{PQsocket(connection), static_cast<short>(status == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
        int n = poll(&socket, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (n < 0 && errno != EINTR) return std::string("waiting to connect: ") + std::strerror(errno);
        if (n > 0) status = PQconnectPoll(connection);
    }
}


}  // namespace

Rows rowsOf(const PGresult* result) {
    Rows rows(static_cast<size_t>(PQntuples(result)));
    int fields = PQnfields(result);
    for (int r = 0; r < PQntuples(result); ++r)
        for (int f = 0; f < fields; ++f)
            rows[r].push_back(PQgetisnull(result, r, f)
                                  ? std::nullopt
                                  : std::optional<std::string>(std::string(PQgetvalue(result, r, f),
                                                                           static_cast<size_t>(PQgetlength(result, r, f)))));
    return rows;
}

Session::Session(std::chrono::milliseconds requestTimeout) : m_requestTimeout(requestTimeout) {}

bool Session::setConnectString(const std::string& connectString) {
    if (connectString == m_connectString) return false;
    m_connectString = connectString;
    close();
    return true;
}

Session::Clock::time_point Session::requestDeadline() const {
    Clock::time_point now = Clock::now();
    return m_callDeadline - now < m_requestTimeout ? m_callDeadline : now + m_requestTimeout;
}

bool Session::connect(bool logFailure) {
    close();
    // libpq's blocking connect waits for ever when connect_timeout is 0, and
    // knows no deadline of ours: the connection is driven here instead, each
    // wait bounded by the request's deadline and the call's bound, and by
    // connect_timeout when that comes first. The host name is still looked
    // up inside PQconnectStart, by the system resolver, which nothing here
    // can bound.
    Clock::time_point deadline = requestDeadline();
    char bound[96];
    snprintf(bound, sizeof bound, "the request deadline of %.3g s", m_requestTimeout.count() / 1000.0);
    PqConnection candidate(PQconnectStart(m_connectString.c_str()));
    std::string failure = candidate ? "" : "out of memory while connecting";
    if (candidate) {
        // libpq takes 1 s as 2, and 0 as no limit at all.
        int seconds = connectTimeoutOf(candidate.get());
        auto limit = std::chrono::seconds(std::max(seconds, 2));
        if (seconds > 0 && Clock::now() + limit < deadline) {
            deadline = Clock::now() + limit;
            snprintf(bound, sizeof bound, "connect_timeout, %lld s", static_cast<long long>(limit.count()));
        }
        failure = finishConnecting(candidate.get(), deadline);
        if (failure.empty() && PQsetnonblocking(candidate.get(), 1) != 0) failure = PQerrorMessage(candidate.get());
    }
    if (!failure.empty()) {
        if (failure == TIMED_OUT) failure = std::string("no answer from the server while connecting, within ") + bound;
        // libpq words some failures over several lines; an error line is one.
        for (size_t at; (at = failure.find_first_of("\n\t")) != std::string::npos && at + 1 < failure.size();)
            failure.replace(at, failure.find_first_not_of("\n\t", at) - at, " ");
        m_connectFailure = connectFailureText(failure, passwordOf(m_connectString));
        if (logFailure) Logger::getLogger()->error("AWS Redshift - %s", m_connectFailure.c_str());
        return false;
    }
    m_connectFailure.clear();
    PQsetNoticeProcessor(candidate.get(), logNotice, nullptr);
    m_connection = std::move(candidate);
    ++m_generation;
    Logger::getLogger()->debug("AWS Redshift - connected (server version %d)", serverVersion());
    m_started = startOfBackend();
    endLeftSessions();
    return isOpen();
}

bool Session::reconnect(int attempts) {
    Logger* logger = Logger::getLogger();
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        // Past the call's bound, another attempt could only fail at once.
        if (attempt > 1 && Clock::now() >= m_callDeadline) break;
        logger->debug("AWS Redshift connect retry count %d", attempts);
        // No pause between attempts: each costs what a failed connect costs.
        if (connect(false)) return true;
        logger->debug("AWS Redshift - %s", m_connectFailure.c_str());
    }
    logger->debug("Could not connect to AWS Redshift after %d attempts", attempts);
    return false;
}

void Session::dropIfClosedByServer() {
    // An idle session has nothing to say but notices; an ended one leaves an
    // error (taken as a notice while idle) and the end of the stream, which
    // may take a second read to reach.
    for (int reads = 0; m_connection && reads < 3; ++reads) {
        pollfd socket{PQsocket(m_connection.get()), POLLIN, 0};
        if (socket.fd < 0) break;
        if (poll(&socket, 1, 0) == 0) return;
        if (PQconsumeInput(m_connection.get()) && PQstatus(m_connection.get()) == CONNECTION_OK) continue;
        Logger::getLogger()->debug("AWS Redshift - the server closed the idle connection");
        break;
    }
    if (m_connection && PQstatus(m_connection.get()) != CONNECTION_OK) close();
    if (m_connection && PQsocket(m_connection.get()) < 0) close();
}

Session::Call::Call(Session& session) : m_session(session) {
    ++m_session.m_calls;
    m_session.m_callDeadline = Clock::now() + 2 * m_session.m_requestTimeout;
}

Session::Call::~Call() { m_session.m_callDeadline = Clock::time_point::max(); }

Outcome Session::run(std::vector<std::string> statements) {
    Outcome outcome;
    if (!m_connection) {
        outcome.lost = true;
        outcome.message = "no connection to the server";
        return outcome;
    }
    Logger* logger = Logger::getLogger();
    size_t size = 0;
    for (const std::string& statement : statements) size += statement.size() + 1;
    std::string request;
    request.reserve(size);
    std::string shown;
    for (std::string& statement : statements) {
        logger->debug("** Execute Query ==> %s", withoutSecrets(statement, shown).c_str());
        if (!request.empty()) request += ';';
        request += statement;
        std::string().swap(statement);
    }
    Clock::time_point deadline = requestDeadline();
    if (!send(request, deadline, outcome) || !awaitResults(deadline, outcome)) return outcome;
    // An error result may be all that is left of a connection that broke.
    if (PQstatus(m_connection.get()) != CONNECTION_OK) {
        broken(outcome);
        return outcome;
    }
    outcome.ok = outcome.message.empty() && outcome.state.empty();
    return outcome;
}

bool Session::send(const std::string& request, Clock::time_point deadline, Outcome& outcome) {
    PGconn* connection = m_connection.get();
    if (!PQsendQuery(connection, request.c_str())) return broken(outcome);
    // Flush until all is out, reading what the server says meanwhile: a
    // server that answers early and is not read can stall the flush.
    for (;;) {
        int pending = PQflush(connection);
        if (pending == 0) return true;
        if (pending < 0) return broken(outcome);
        short ready = 0;
        if (!wait(POLLIN | POLLOUT, deadline, outcome, ready)) return false;
        if ((ready & (POLLIN | POLLERR | POLLHUP)) && !PQconsumeInput(connection)) return broken(outcome);
    }
}

bool Session::awaitResults(Clock::time_point deadline, Outcome& outcome) {
    PGconn* connection = m_connection.get();
    for (;;) {
        while (PQisBusy(connection)) {
            short ready = 0;
            if (!wait(POLLIN, deadline, outcome, ready)) return false;
            if (!PQconsumeInput(connection)) return broken(outcome);
        }
        PGresult* result = PQgetResult(connection);
        if (!result) return true;
        ExecStatusType status = PQresultStatus(result);
        // Nothing of ours copies; in a copy state no end of results would come.
        if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH) {
            PQclear(result);
            outcome.message = "the server started a copy";
            return broken(outcome);
        }
        take(result, outcome);
    }
}

void Session::take(PGresult* owned, Outcome& outcome) {
    PqResult result(owned);
    switch (PQresultStatus(result.get())) {
        case PGRES_TUPLES_OK: outcome.sets.push_back(rowsOf(result.get())); break;
        case PGRES_COMMAND_OK:
        case PGRES_EMPTY_QUERY: break;
        default:
            // The first failure is the one that counts: the server skips the
            // rest of the request after it.
            if (outcome.message.empty() && outcome.state.empty()) {
                outcome.state = field(result.get(), PG_DIAG_SQLSTATE);
                outcome.message = field(result.get(), PG_DIAG_MESSAGE_PRIMARY);
                if (outcome.message.empty()) outcome.message = firstLine(PQresultErrorMessage(result.get()));
                std::string detail = field(result.get(), PG_DIAG_MESSAGE_DETAIL);
                if (!detail.empty()) outcome.message += " DETAIL: " + detail;
                if (outcome.message.empty()) outcome.message = "the server gave no reason";
                outcome.failedStatement = outcome.results;
            }
    }
    ++outcome.results;
}

bool Session::wait(short events, Clock::time_point deadline, Outcome& outcome, short& ready) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            outcome.lost = true;
            outcome.timedOut = true;
            outcome.state.clear();
            char text[96];
            snprintf(text, sizeof text, "no answer within %.3g s; the connection was closed",
                     static_cast<double>(m_requestTimeout.count()) / 1000);
            outcome.message = text;
            abandon();
            return false;
        }
        pollfd socket{PQsocket(m_connection.get()), events, 0};
        int n = poll(&socket, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return broken(outcome);
        if (n == 0) continue;
        ready = socket.revents;
        return true;
    }
}

bool Session::broken(Outcome& outcome) {
    outcome.lost = true;
    // What the server said last, if anything, stays; libpq's own words otherwise.
    if (outcome.message.empty()) outcome.message = firstLine(PQerrorMessage(m_connection.get()));
    if (outcome.message.empty()) outcome.message = "the connection to the server was lost";
    // A broken connection is never used again.
    abandon();
    return false;
}

void Session::abandon() {
    // The server may go on with what it was sent: a request past its
    // deadline still waits for its lock, holding a connection slot, and a
    // link cut in the middle leaves the server none the wiser for a while.
    if (m_connection && !m_started.empty() && m_left.size() < 16)
        m_left.push_back({PQbackendPID(m_connection.get()), m_started});
    close();
}

namespace {
// The live sessions as the server lists them: pid, then start time.
// Redshift lists its own in STV_SESSIONS, leader-node only like the
// functions used with it; only a cluster can confirm that a session ends
// there as it does here.
std::string sessionList(bool redshift, const std::string& where) {
    return redshift ? " FROM stv_sessions WHERE process = " + where : " FROM pg_stat_activity WHERE pid = " + where;
}

std::string sameBackend(bool redshift, int pid, const std::string& started) {
    std::string quoted;
    for (char c : started)
        if (c != '\\' && c != '\'') quoted += c;  // a timestamp holds neither
    return sessionList(redshift, std::to_string(pid)) + (redshift ? " AND starttime = '" : " AND backend_start = '") +
           quoted + "'";
}

}  // namespace

std::string Session::startOfBackend() {
    bool redshift = dialectFor(serverVersion()).redshift;
    Outcome outcome = run(std::string(redshift ? "SELECT starttime" : "SELECT backend_start") +
                          sessionList(redshift, "pg_backend_pid()"));
    if (!outcome.ok || outcome.rows().empty() || !outcome.rows()[0][0]) {
        Logger::getLogger()->debug("AWS Redshift - the start of this session is not known (%s); should it be "
                                   "abandoned, it is left for the server to end",
                                   outcome.message.c_str());
        return {};
    }
    return *outcome.rows()[0][0];
}

void Session::endLeftSessions() {
    bool redshift = dialectFor(serverVersion()).redshift;
    Clock::time_point deadline = requestDeadline();
    while (m_connection && !m_left.empty()) {
        Backend old = m_left.front();
        // Ended only while its pid still names the session that was abandoned.
        Outcome ended = run("SELECT pg_terminate_backend(" + std::string(redshift ? "process" : "pid") + ")" +
                            sameBackend(redshift, old.pid, old.started));
        if (ended.lost) return;  // tried again on the next connection
        m_left.erase(m_left.begin());
        if (!ended.ok) {
            Logger::getLogger()->error("AWS Redshift - %s (the session abandoned at its deadline, pid %d, could not "
                                       "be ended: it holds a connection slot until the server ends it)",
                                       ended.message.c_str(), old.pid);
            continue;
        }
        // Gone from the list before anything waits on what it held.
        bool signalled = !ended.rows().empty() && ended.rows()[0][0].value_or("f") != "f";
        while (signalled && Clock::now() < deadline) {
            Outcome left = run("SELECT 1" + sameBackend(redshift, old.pid, old.started));
            if (!left.ok || left.rows().empty()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

Outcome Session::transaction(std::vector<std::string> statements, size_t requestLimit, bool commit) {
    const char* end = commit ? "COMMIT" : "ROLLBACK";
    std::vector<std::vector<std::string>> requests;
    if (m_severalStatements) {
        requests.push_back({"BEGIN"});
        size_t size = 5;
        for (std::string& statement : statements) {
            // ";COMMIT" still has to fit after the last statement.
            if (!requests.back().empty() && size + statement.size() + 1 + 9 > requestLimit) {
                requests.emplace_back();
                size = 0;
            }
            size += statement.size() + 1;
            requests.back().push_back(std::move(statement));
        }
        requests.back().push_back(end);
    } else {
        requests.push_back({"BEGIN"});
        for (std::string& statement : statements) requests.push_back({std::move(statement)});
        requests.push_back({end});
    }
    Outcome outcome;
    std::vector<Rows> sets;
    size_t before = 0;  // statements of earlier requests, BEGIN included
    for (std::vector<std::string>& request : requests) {
        size_t count = request.size();
        outcome = run(std::move(request));
        for (Rows& set : outcome.sets) sets.push_back(std::move(set));
        if (!outcome.ok) {
            outcome.sets = std::move(sets);
            // Which of the caller's statements failed; BEGIN counts as the first.
            outcome.failedStatement = before + outcome.failedStatement > 0 ? before + outcome.failedStatement - 1 : 0;
            // A failed statement leaves the transaction aborted until it is rolled back.
            rollbackIfOpen();
            return outcome;
        }
        before += count;
    }
    outcome.sets = std::move(sets);
    return outcome;
}

const Rows& Outcome::rows() const {
    static const Rows none;
    for (auto set = sets.rbegin(); set != sets.rend(); ++set)
        if (!set->empty()) return *set;
    return none;
}

Outcome Session::runRetrying(const std::string& statement, const std::string& what) {
    Outcome outcome = run(statement);
    // At most twice, never in a loop; a request whose deadline passed may
    // still be running on the server.
    if (outcome.ok || !outcome.lost || outcome.timedOut) return outcome;
    Logger::getLogger()->error("AWS Redshift - %s (%s; reconnecting)", outcome.message.c_str(), what.c_str());
    if (!reconnect(3)) return outcome;
    return run(statement);
}

bool Session::learn(bool oneStatementPerRequest) {
    if (learnt()) return true;
    if (!m_connection) return false;
    m_dialect = dialectFor(serverVersion());
    // The system catalogue comes first in the search path. Redshift keeps
    // its system tables and views there too (not testable here).
    const std::string catalogue =
        "SELECT c.relname FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
        "WHERE n.nspname = 'pg_catalog'";
    // Whether several statements may share a request: the server answers
    // each of them, or refuses the text.
    Outcome names;
    m_severalStatements = false;
    if (!oneStatementPerRequest) {
        names = run(std::vector<std::string>{"SELECT 'probe' AS relname", catalogue});
        if (!names.ok && names.lost) return false;
        m_severalStatements = names.ok && names.results == 2;
    }
    if (!m_severalStatements) names = run(catalogue);
    if (!names.ok) return !names.lost;
    m_shadowed.clear();
    for (const Row& row : names.rows())
        if (row[0]) m_shadowed.insert(*row[0]);
    m_learntOn = m_generation;
    return true;
}

void Session::rollbackIfOpen() {
    if (!m_connection) return;
    PGTransactionStatusType status = PQtransactionStatus(m_connection.get());
    if (status == PQTRANS_INTRANS || status == PQTRANS_INERROR) run("ROLLBACK");
}

const std::string& withoutSecrets(const std::string& statement, std::string& shown) {
    // Only a COPY carries credentials; other statements are shown as they are, uncopied.
    if (statement.rfind("COPY ", 0) != 0) return statement;
    shown = statement;
    for (const char* marker : {"SECRET_ACCESS_KEY '", "SESSION_TOKEN '"}) {
        size_t open = shown.find(marker);
        if (open == std::string::npos) continue;
        open += std::char_traits<char>::length(marker);
        shown.replace(open, shown.find('\'', open) - open, "***");
    }
    return shown;
}

int Session::serverVersion() const { return m_connection ? PQserverVersion(m_connection.get()) : 0; }

int Session::backendPid() const { return m_connection ? PQbackendPID(m_connection.get()) : 0; }

std::chrono::milliseconds requestTimeoutFromEnvironment() {
    bool refused = false;
    std::chrono::milliseconds timeout = requestTimeoutSetting(&refused);
    if (refused)
        Logger::getLogger()->error("CIRRANT_REQUEST_TIMEOUT=%s is no number of seconds from 1 to 86400; using 300",
                                   std::getenv("CIRRANT_REQUEST_TIMEOUT"));
    return timeout;
}
