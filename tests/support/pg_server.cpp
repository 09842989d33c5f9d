#include "pg_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>
#include <pqxx/pqxx>

namespace testsupport {
namespace {

constexpr const char* kDefaultBinDir = "/usr/lib/postgresql/15/bin";
constexpr auto kReadyTimeout = std::chrono::seconds(30);

std::mutex& instanceMutex() {
    static std::mutex m;
    return m;
}

PgServer* g_server = nullptr;  // never deleted: shutdown() leaves it reusable

bool isExecutable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

std::string findBinDir() {
    if (isExecutable(std::string(kDefaultBinDir) + "/pg_ctl")) return kDefaultBinDir;
    // Debian's /usr/bin/pg_ctl is a wrapper that wants a cluster; a bin
    // directory with initdb next to pg_ctl is the real thing.
    if (const char* path = std::getenv("PATH")) {
        std::stringstream dirs(path);
        std::string dir;
        while (std::getline(dirs, dir, ':')) {
            if (!dir.empty() && isExecutable(dir + "/pg_ctl") && isExecutable(dir + "/initdb")) return dir;
        }
    }
    return "";
}

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

int pickFreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(errnoText("socket"));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        throw std::runtime_error(errnoText("bind 127.0.0.1:0"));
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

// A value for a libpq keyword=value string, quoted only when it has to be.
std::string conninfoValue(const std::string& value) {
    if (!value.empty() && value.find_first_of(" \t\n'\\=") == std::string::npos) return value;
    std::string out = "'";
    for (char c : value) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    return out + "'";
}

std::string tailOfFile(const std::string& path, size_t maxBytes = 4000) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.size() > maxBytes) text = "..." + text.substr(text.size() - maxBytes);
    return text;
}

pid_t postmasterPid(const std::string& dataDir) {
    std::ifstream in(dataDir + "/postmaster.pid");
    long pid = 0;
    if (in >> pid && pid > 0) return static_cast<pid_t>(pid);
    return -1;
}

// Everything the forked child needs, prepared before fork(): between fork()
// and exec() only async-signal-safe calls are allowed, as other threads of a
// test program may hold locks.
struct ChildSetup {
    std::vector<std::string> args;
    std::vector<char*> argv;
    std::string workDir;
    std::string outputPath;  // stdout and stderr, appended; "" = /dev/null
    int stdinFd = -1;        // -1 = /dev/null
    bool dropPrivileges = false;
    uid_t uid = 0;
    gid_t gid = 0;

    void seal() {
        argv.clear();
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
    }

    [[noreturn]] void execInChild() const {
        int in = stdinFd >= 0 ? stdinFd : ::open("/dev/null", O_RDONLY);
        int out = outputPath.empty() ? ::open("/dev/null", O_WRONLY)
                                     : ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) ::_exit(126);
        // Nothing of the test program may leak into the server: an inherited
        // pipe or socket would stay open as long as the postmaster lives.
        if (::close_range(3, ~0U, 0) != 0) {
            for (int fd = 3; fd < 65536; ++fd) ::close(fd);
        }
        if (::chdir(workDir.c_str()) != 0) ::_exit(126);
        if (dropPrivileges) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(126);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
};

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

class PgServerEnvironment : public ::testing::Environment {
public:
    void TearDown() override { PgServer::shutdownIfOwned(); }
};

[[maybe_unused]] const bool g_registered = [] {
    ::testing::AddGlobalTestEnvironment(new PgServerEnvironment);
    std::atexit([] { PgServer::shutdownIfOwned(); });
    return true;
}();

}  // namespace

void PgServer::shutdownIfOwned() {
    std::lock_guard<std::mutex> lock(instanceMutex());
    // A forked child (a death test) inherits the object but not the server.
    if (g_server && g_server->m_owner == ::getpid()) g_server->shutdownLocked();
}

PgServer& PgServer::instance() {
    std::lock_guard<std::mutex> lock(instanceMutex());
    if (!g_server) g_server = new PgServer();
    if (!g_server->m_booted) {
        // One failed boot is enough: every later test would wait as long again.
        if (!g_server->m_bootError.empty()) throw std::runtime_error(g_server->m_bootError);
        try {
            g_server->boot();
        } catch (const std::exception& e) {
            g_server->m_bootError = std::string("test PostgreSQL server: ") + e.what();
            throw std::runtime_error(g_server->m_bootError);
        }
    }
    return *g_server;
}

std::string PgServer::connectString(const std::string& db) const {
    return "host=127.0.0.1 port=" + std::to_string(m_port) + " dbname=" + conninfoValue(db) + " user=" + kUser +
           " password=" + kPassword;
}

std::string PgServer::ownConnectString(const std::string& db, const std::string& user) const {
    return "host=" + conninfoValue(m_dir) + " port=" + std::to_string(m_port) + " dbname=" + conninfoValue(db) +
           " user=" + conninfoValue(user) + " application_name=" + kOwnApplication;
}

void PgServer::boot() {
    m_owner = ::getpid();
    m_binDir = findBinDir();
    m_asRoot = ::geteuid() == 0;
    if (m_asRoot) {
        // The server refuses to run as root: the tools run as "postgres".
        const passwd* pw = ::getpwnam("postgres");
        if (!pw) throw std::runtime_error("running as root, but there is no 'postgres' user to run the server as");
        m_uid = pw->pw_uid;
        m_gid = pw->pw_gid;
    }
    char tmpl[] = "/tmp/cirrant-pg-XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error(errnoText("mkdtemp"));
    m_dir = tmpl;
    m_dataDir = m_dir + "/data";
    try {
        if (m_asRoot && ::chown(m_dir.c_str(), m_uid, m_gid) != 0) throw std::runtime_error(errnoText("chown " + m_dir));
        startGuard();
        run({tool("initdb"), "-D", m_dataDir, "-U", "postgres", "-A", "trust", "--no-locale", "-E", "UTF8",
             "--no-sync", "--no-instructions"},
            "initdb");
        writeConfig();
        // The port is free when picked but may be taken before the server binds
        // it (another test program starting alongside): pick again.
        for (int attempt = 1;; ++attempt) {
            m_port = pickFreePort();
            try {
                startPostmaster();
                break;
            } catch (const std::exception&) {
                if (attempt == 3) throw;
            }
        }
        waitForConnections(ownConnectString("postgres", "postgres"));
        {
            pqxx::connection c(ownConnectString("postgres", "postgres"));
            pqxx::nontransaction tx(c);
            tx.exec(std::string("CREATE ROLE ") + kUser + " LOGIN SUPERUSER PASSWORD " + tx.quote(kPassword));
            tx.exec(std::string("CREATE DATABASE ") + kDatabase + " OWNER " + kUser);
        }
        // The way the plugin logs in: TCP with the password.
        waitForConnections(connectString());
        m_booted = true;
    } catch (...) {
        shutdownLocked();
        throw;
    }
}

std::string PgServer::tool(const std::string& name) const {
    return m_binDir.empty() ? name : m_binDir + "/" + name;
}

void PgServer::writeConfig() {
    {
        // Appended settings override initdb's defaults (the last one wins).
        std::ofstream conf(m_dataDir + "/postgresql.conf", std::ios::app);
        conf << "\n# test server\n"
             << "listen_addresses = '127.0.0.1'\n"
             << "unix_socket_directories = '" << m_dir << "'\n"
             << "max_connections = 50\n"
             << "shared_buffers = 16MB\n"
             // Without fsync a committed row still survives stop() (the kernel
             // has it); synchronous_commit stays on so that it reaches the kernel.
             << "fsync = off\n"
             << "full_page_writes = off\n"
             << "autovacuum = off\n"
             << "max_parallel_workers_per_gather = 0\n"
             << "password_encryption = 'scram-sha-256'\n"
             << "timezone = 'UTC'\n"
             << "log_timezone = 'UTC'\n"
             << "lc_messages = 'C'\n"
             << "logging_collector = off\n"
             // %a lets statementsSince() tell the fixture's own statements apart.
             << "log_line_prefix = '%m [%p] {%a} '\n"
             << "log_statement = 'none'\n";
        if (!conf) throw std::runtime_error("cannot write " + m_dataDir + "/postgresql.conf");
    }
    // Truncating the existing file keeps its owner (the postgres user).
    std::ofstream hba(m_dataDir + "/pg_hba.conf", std::ios::trunc);
    hba << "local all all trust\n"
        << "host all all 127.0.0.1/32 scram-sha-256\n";
    if (!hba) throw std::runtime_error("cannot write " + m_dataDir + "/pg_hba.conf");
}

void PgServer::startPostmaster() {
    // pg_ctl leaves the postmaster behind as an orphan. Adopting it makes it
    // a child of this process, so stop() can reap it; otherwise, under an init
    // that does not reap, every stopped server would linger as a zombie.
    const bool adopt = ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
    try {
        run({tool("pg_ctl"), "-D", m_dataDir, "-l", logPath(), "-o", "-p " + std::to_string(m_port), "-w", "-t",
             "60", "-s", "start"},
            "pg_ctl start");
    } catch (...) {
        // A postmaster that dies while pg_ctl waits for it is reaped by pg_ctl.
        if (adopt) ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
        throw;
    }
    if (adopt) ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
    m_postmaster = postmasterPid(m_dataDir);
    m_running = true;
}

void PgServer::reapPostmaster() {
    // Returns at once with ECHILD when the postmaster is not our child.
    if (m_postmaster > 0) waitFor(m_postmaster);
    m_postmaster = -1;
}

void PgServer::waitForConnections(const std::string& conninfo) {
    const auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
    for (;;) {
        try {
            pqxx::connection c(conninfo);
            return;
        } catch (const pqxx::broken_connection& e) {
            if (std::chrono::steady_clock::now() >= deadline) {
                throw std::runtime_error(std::string("server does not accept connections: ") + e.what() +
                                         "\nserver log:\n" + tailOfFile(logPath()));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

void PgServer::run(const std::vector<std::string>& args, const std::string& what) {
    ChildSetup child;
    child.args = args;
    child.seal();
    child.workDir = m_dir;  // the tools want a working directory they can read
    child.outputPath = m_dir + "/tools.log";
    child.dropPrivileges = m_asRoot;
    child.uid = m_uid;
    child.gid = m_gid;
    const size_t before = [&] {
        struct stat st{};
        return ::stat(child.outputPath.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    }();
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error(errnoText("fork"));
    if (pid == 0) child.execInChild();
    int rc = waitFor(pid);
    if (rc != 0) {
        std::string output = tailOfFile(child.outputPath, 1 << 20);
        output = output.size() > before ? output.substr(before) : output;
        throw std::runtime_error(what + " failed (exit status " + std::to_string(rc) + "):\n" + output +
                                 "\nserver log:\n" + tailOfFile(logPath()));
    }
}

void PgServer::startGuard() {
    // The guard is a shell that waits for end-of-file on a socket whose only
    // other end is held by this process. When the process dies without shutting down
    // (SIGKILL, SIGINT, abort(), a ctest timeout) the guard stops the server
    // and removes the directory. On a clean shutdown it is told "done".
    // It is detached twice over (grandchild, own session), so neither a
    // Ctrl-C to the terminal's process group nor a kill of this process's
    // tree reaches it.
    // A socket rather than a pipe: writing "done" to a guard that is gone
    // already must not raise SIGPIPE (send() has MSG_NOSIGNAL).
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error(errnoText("socketpair"));
    static const char* script =
        "read -r word; [ \"$word\" = done ] && exit 0\n"
        "pid=$(head -n 1 \"$1/data/postmaster.pid\" 2>/dev/null)\n"
        "if [ -n \"$pid\" ] && kill -QUIT \"$pid\" 2>/dev/null; then\n"
        "  i=0\n"
        "  while [ $i -lt 300 ] && kill -0 \"$pid\" 2>/dev/null && ! grep -q '^State:.*Z' /proc/$pid/status 2>/dev/null; do\n"
        "    sleep 0.1; i=$((i+1))\n"
        "  done\n"
        "fi\n"
        "rm -rf \"$1\"\n";
    ChildSetup guard;
    guard.args = {"/bin/sh", "-c", script, "cirrant-pg-guard", m_dir};
    guard.seal();
    guard.workDir = "/";
    guard.stdinFd = fds[0];
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw std::runtime_error(errnoText("fork"));
    }
    if (pid == 0) {
        ::setsid();
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGHUP, SIG_IGN);
        ::signal(SIGPIPE, SIG_DFL);
        pid_t grandchild = ::fork();
        if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
        guard.execInChild();
    }
    ::close(fds[0]);
    if (waitFor(pid) != 0) {
        ::close(fds[1]);
        throw std::runtime_error("cannot start the cleanup guard");
    }
    m_guardFd = fds[1];
}

void PgServer::releaseGuard() {
    if (m_guardFd < 0) return;
    static const char done[] = "done\n";
    // A failed write only means the guard is gone already.
    [[maybe_unused]] ssize_t n = ::send(m_guardFd, done, sizeof done - 1, MSG_NOSIGNAL);
    ::close(m_guardFd);
    m_guardFd = -1;
}

void PgServer::stop() {
    if (!m_running) return;
    run({tool("pg_ctl"), "-D", m_dataDir, "-m", "immediate", "-w", "-t", "60", "-s", "stop"}, "pg_ctl stop");
    reapPostmaster();
    m_running = false;
}

void PgServer::start() {
    if (m_running) return;
    startPostmaster();
    // After an immediate stop the server replays its WAL first.
    waitForConnections(connectString());
}

void PgServer::shutdown() {
    std::lock_guard<std::mutex> lock(instanceMutex());
    shutdownLocked();
}

void PgServer::shutdownLocked() {
    if (m_dir.empty()) return;
    if (m_running) {
        try {
            stop();
        } catch (const std::exception&) {
            // pg_ctl could not do it; the postmaster still goes, without it.
            pid_t pid = postmasterPid(m_dataDir);
            if (pid > 0) ::kill(pid, SIGQUIT);
            if (pid > 0 && pid == m_postmaster) reapPostmaster();
            m_running = false;
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
    releaseGuard();
    m_dir.clear();
    m_dataDir.clear();
    m_booted = false;
}

void PgServer::exec(const std::string& sql, const std::string& db) {
    pqxx::connection c(ownConnectString(db, kUser));
    pqxx::nontransaction tx(c);
    tx.exec(sql);
}

std::vector<PgServer::NullableRow> PgServer::queryNullable(const std::string& sql, const std::string& db) {
    pqxx::connection c(ownConnectString(db, kUser));
    pqxx::nontransaction tx(c);
    const pqxx::result r = tx.exec(sql);
    std::vector<NullableRow> rows;
    rows.reserve(r.size());
    for (const auto& row : r) {
        NullableRow cells;
        cells.reserve(row.size());
        for (const auto& field : row) {
            if (field.is_null())
                cells.emplace_back(std::nullopt);
            else
                cells.emplace_back(std::string(field.c_str(), field.size()));
        }
        rows.push_back(std::move(cells));
    }
    return rows;
}

std::vector<PgServer::Row> PgServer::query(const std::string& sql, const std::string& db) {
    std::vector<Row> rows;
    for (auto& nullable : queryNullable(sql, db)) {
        Row row;
        row.reserve(nullable.size());
        for (auto& cell : nullable) row.push_back(cell ? std::move(*cell) : std::string());
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string PgServer::scalar(const std::string& sql, const std::string& db) {
    auto rows = query(sql, db);
    if (rows.empty() || rows.front().empty()) throw std::runtime_error("no rows from: " + sql);
    return rows.front().front();
}

std::string PgServer::createDatabase(const std::string& name, bool standardConformingStrings) {
    pqxx::connection c(ownConnectString("postgres", kUser));
    pqxx::nontransaction tx(c);
    const std::string quoted = c.quote_name(name);
    tx.exec("DROP DATABASE IF EXISTS " + quoted + " WITH (FORCE)");
    tx.exec("CREATE DATABASE " + quoted + " OWNER " + kUser);
    tx.exec("ALTER DATABASE " + quoted + " SET standard_conforming_strings = " +
            (standardConformingStrings ? "on" : "off"));
    return connectString(name);
}

void PgServer::setServerLog(bool logStatements) {
    const std::string wanted = logStatements ? "all" : "none";
    {
        pqxx::connection c(ownConnectString("postgres", kUser));
        pqxx::nontransaction tx(c);
        tx.exec("ALTER SYSTEM SET log_statement = '" + wanted + "'");
        tx.exec("SELECT pg_reload_conf()");
    }
    // The reload is asynchronous: wait until a new session sees it, so the
    // next connection a test opens is sure to log (or not).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (scalar("SHOW log_statement", "postgres") != wanted) {
        if (std::chrono::steady_clock::now() >= deadline)
            throw std::runtime_error("log_statement did not become '" + wanted + "'");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

size_t PgServer::logMark() const {
    struct stat st{};
    return ::stat(logPath().c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

std::string PgServer::readLogFrom(size_t mark) const {
    std::ifstream in(logPath(), std::ios::binary);
    if (!in) return "";
    in.seekg(0, std::ios::end);
    const auto size = static_cast<size_t>(in.tellg());
    if (mark >= size) return "";
    in.seekg(static_cast<std::streamoff>(mark));
    std::string text(size - mark, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

std::vector<std::string> PgServer::logLinesSince(size_t mark) const {
    std::vector<std::string> lines;
    std::stringstream text(readLogFrom(mark));
    std::string line;
    while (std::getline(text, line)) lines.push_back(line);
    return lines;
}

std::vector<std::string> PgServer::statementsSince(size_t mark, bool includeOwn) const {
    // The server writes a multi-line message with a tab in front of every
    // line after the first; a line without the tab starts the next message.
    static const std::string kLog = "LOG:  ";
    static const std::string kStatement = "statement: ";
    static const std::string kExecute = "execute ";
    const std::string ownTag = std::string("{") + kOwnApplication + "} ";

    std::vector<std::string> statements;
    bool collecting = false;
    for (const auto& line : logLinesSince(mark)) {
        if (!line.empty() && line[0] == '\t') {
            if (collecting) statements.back() += "\n" + line.substr(1);
            continue;
        }
        collecting = false;
        const size_t at = line.find(kLog);
        if (at == std::string::npos) continue;
        if (!includeOwn && line.substr(0, at).find(ownTag) != std::string::npos) continue;
        const size_t body = at + kLog.size();
        std::string text;
        if (line.compare(body, kStatement.size(), kStatement) == 0) {
            text = line.substr(body + kStatement.size());
        } else if (line.compare(body, kExecute.size(), kExecute) == 0) {
            const size_t colon = line.find(": ", body + kExecute.size());
            if (colon == std::string::npos) continue;
            text = line.substr(colon + 2);
        } else {
            continue;
        }
        statements.push_back(std::move(text));
        collecting = true;
    }
    return statements;
}

}  // namespace testsupport

// libpqxx 6.4 leaks the PGresult of a statement sent over a connection the
// server has closed: connection_base::make_result asks for the client
// encoding, which throws broken_connection before the result is wrapped.
// Every outage test hits this, so LeakSanitizer is told about it here, where
// every program that starts a server links it. Only memory that libpq itself
// allocated for a result is covered; a leaked pqxx::result or connection is
// still reported.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
    return "leak:PQmakeEmptyPGresult\n";
}
