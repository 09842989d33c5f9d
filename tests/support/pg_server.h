#pragma once
// One throwaway PostgreSQL 15 server per test program, standing in for the
// warehouse. It is created on first use in a fresh directory under /tmp,
// listens on a free port on 127.0.0.1 only, and is stopped and deleted when
// the program ends: after the last test (a GoogleTest environment), at exit(),
// and by a small guard process when the program dies any other way (a signal,
// abort(), a ctest timeout).
//
// The server has the role and database the plugin's default configuration
// names: user "redshift", password "kvbn", database "vantrel". TCP logins
// need the password; the fixture's own helper connections use the unix
// socket in the temporary directory.
#include <cstddef>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

class PgServer {
public:
    static constexpr const char* kUser = "redshift";
    static constexpr const char* kPassword = "kvbn";
    static constexpr const char* kDatabase = "vantrel";
    // application_name of the fixture's own connections, so the statement log
    // can leave them out.
    static constexpr const char* kOwnApplication = "cirrant-test-support";

    using Row = std::vector<std::string>;
    using NullableRow = std::vector<std::optional<std::string>>;

    // Boots the server on first use; throws std::runtime_error, with the tail
    // of the tools' output, when it cannot.
    static PgServer& instance();

    int port() const { return m_port; }
    std::string host() const { return "127.0.0.1"; }
    // "host=127.0.0.1 port=N dbname=DB user=redshift password=kvbn"
    std::string connectString(const std::string& db = kDatabase) const;

    // Outages: stop() shuts the server down at once (open connections break),
    // start() brings it back on the same port and data directory.
    void stop();
    void start();
    bool running() const { return m_running; }

    // Each opens a short connection of its own as "redshift" over the unix
    // socket, outside any transaction, so CREATE DATABASE and the like work.
    void exec(const std::string& sql, const std::string& db = kDatabase);
    // NULL comes back as an empty string; queryNullable tells them apart.
    std::vector<Row> query(const std::string& sql, const std::string& db = kDatabase);
    std::vector<NullableRow> queryNullable(const std::string& sql, const std::string& db = kDatabase);
    // First column of the first row; throws std::runtime_error when there is no row.
    std::string scalar(const std::string& sql, const std::string& db = kDatabase);

    // (Re)creates database `name`, owned by "redshift", whose sessions start with
    // standard_conforming_strings on or off. Returns its TCP connect string.
    std::string createDatabase(const std::string& name, bool standardConformingStrings);

    // Server statement log. With logging on, every statement a session runs is
    // written to the server log. Returns once new sessions see the change;
    // sessions already open (idle) take it up before their next statement.
    void setServerLog(bool logStatements);
    // Position in the server log; pass it to statementsSince.
    size_t logMark() const;
    // Statement texts logged since `mark`, in order, multi-line statements
    // joined with '\n'. Simple-protocol statements ("statement: ...") and
    // extended-protocol executions ("execute <name>: ...") both count. The
    // fixture's own statements are left out unless includeOwn is set.
    std::vector<std::string> statementsSince(size_t mark, bool includeOwn = false) const;

    // Stops the server and removes its directory. Runs by itself at the end of
    // the program; a later instance() call boots a fresh server.
    void shutdown();
    // What the end-of-program hooks call: shutdown(), but only in the process
    // that booted the server (not in a forked death-test child).
    static void shutdownIfOwned();

    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

private:
    PgServer() = default;
    ~PgServer() = default;

    std::vector<std::string> logLinesSince(size_t mark) const;
    std::string logPath() const { return m_dir + "/server.log"; }
    void boot();
    void shutdownLocked();
    std::string tool(const std::string& name) const;
    void writeConfig();
    void startPostmaster();
    void reapPostmaster();
    void waitForConnections(const std::string& conninfo);
    void run(const std::vector<std::string>& argv, const std::string& what);
    std::string ownConnectString(const std::string& db, const std::string& user) const;
    void startGuard();
    void releaseGuard();
    std::string readLogFrom(size_t mark) const;

    std::string m_bootError;  // set once a boot failed; later calls fail at once
    std::string m_binDir;     // where initdb, pg_ctl and postgres live ("" = PATH)
    std::string m_dir;        // the temporary directory
    std::string m_dataDir;    // m_dir + "/data"
    int m_port = 0;
    bool m_booted = false;
    bool m_running = false;
    bool m_asRoot = false;    // tools run as the postgres user
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    pid_t m_owner = 0;        // the process that booted the server
    pid_t m_postmaster = -1;  // adopted, see startPostmaster()
    int m_guardFd = -1;       // our end of the guard's socket
};

}  // namespace testsupport
