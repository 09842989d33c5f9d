#include "relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <stdexcept>

namespace testsupport {
namespace {

using namespace std::string_literals;

// Lengths and codes go as big-endian 32-bit numbers.
size_t be32(const char* at) { uint32_t value; std::memcpy(&value, at, 4); return ntohl(value); }

// A message: its type, its length (big-endian, itself included), its body.
std::string message(char type, const std::string& body) {
    uint32_t length = htonl(static_cast<uint32_t>(body.size() + 4));
    return type + std::string(reinterpret_cast<const char*>(&length), 4) + body;
}

sockaddr_in loopback(int port) { return {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}}; }

bool sendAll(int fd, const char* data, size_t size) {
    for (ssize_t n; size > 0; data += n, size -= static_cast<size_t>(n))
        if ((n = ::send(fd, data, size, MSG_NOSIGNAL)) <= 0) return false;
    return true;
}

}  // namespace

Relay::Relay(int serverPort) : m_serverPort(serverPort) {
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(m_listener, 16) != 0 || ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        ::pipe2(m_stop, O_CLOEXEC) != 0)
        throw std::runtime_error("Relay: cannot listen on 127.0.0.1");
    m_port = ntohs(addr.sin_port);
    m_acceptor = std::thread([this] { accept(); });
}

Relay::~Relay() {
    // Every thread polls the stop pipe; one byte in it wakes them all for good.
    [[maybe_unused]] ssize_t n = ::write(m_stop[1], "x", 1);
    m_acceptor.join();
    for (std::thread& relay : m_relays) relay.join();
    ::close(m_listener);
    ::close(m_stop[0]);
    ::close(m_stop[1]);
}

void Relay::accept() {
    for (;;) {
        pollfd fds[] = {{m_listener, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 || fds[1].revents) return;
        int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = loopback(m_serverPort);
        if (::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            m_relays.emplace_back([this, client, server] { relay(client, server); });
        else
            ::close(client), ::close(server);
    }
}

// Changes one whole message from the server as set; false for a COMMIT
// reply to lose.
bool Relay::keep(std::string& reply) {
    std::string body = reply.substr(5);
    bool lose = true;
    if (reply[0] == 'C' && body == "COMMIT\0"s && m_loseCommitReply.compare_exchange_strong(lose, false)) {
        m_commitReplyLost = true;
        return false;
    }
    if (reply[0] == 'S' && m_redshiftVersion && body.rfind("server_version\0"s, 0) == 0)
        reply = message('S', "server_version\0" "8.0.2\0"s);
    if (reply[0] == 'E' && copyError(reply)) return true;
    std::lock_guard<std::mutex> lock(m_mutex);
    // An error's fields are each a code byte and a string, SQLSTATE's code 'C'.
    if (reply[0] == 'E' && m_rewritesLeft > 0 && ('\0' + body).find("\0C"s + m_sqlstate + '\0') != std::string::npos) {
        --m_rewritesLeft;
        reply = message('E', "SERROR\0VERROR\0CXX000\0M"s + m_message + "\0D"s + m_detail + "\0\0"s);
    }
    return true;
}

bool Relay::holds(const std::string& message, std::chrono::milliseconds& delay) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_holdText.empty() || message[0] != 'Q' || message.find(m_holdText) == std::string::npos) return false;
    m_holdText.clear();
    delay = m_holdDelay;
    return true;
}

void Relay::relay(int client, int server) {
    using Clock = std::chrono::steady_clock;
    char buffer[65536];
    // What the server sent that is not yet a whole message, and what waits to go to the client.
    std::string fromServer, toClient;
    // What the client sent that is not yet a whole message, and a Query held with all that followed it.
    std::string fromClient, held;
    Clock::time_point release;
    bool typed = false, copies = m_copies, clientGone = false, awaitingLate = false, cut = false;
    int answers = 0;  // single bytes due from the server before its first message
    while (!cut) {
        pollfd fds[] = {{clientGone ? -1 : client, POLLIN, 0}, {server, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        // While replies or a Query are held, wake now and then to see whether they still are.
        if (::poll(fds, 3, toClient.empty() && held.empty() ? -1 : 10) < 0 || fds[2].revents) break;
        if (fds[0].revents) {
            ssize_t n = ::read(client, buffer, sizeof buffer);
            if (n <= 0 && held.empty() && !awaitingLate) break;
            clientGone = n <= 0;
            if (n > 0) fromClient.append(buffer, static_cast<size_t>(n));
            // The first messages carry no type byte: SSLRequest and
            // GSSENCRequest (length 8, code 80877103 or 80877104), each
            // answered with one byte, then the startup message.
            for (size_t size; fromClient.size() >= (typed ? 5u : 4u) &&
                              fromClient.size() >= (size = typed ? 1 + be32(&fromClient[1]) : be32(&fromClient[0]));) {
                std::string message = fromClient.substr(0, size);
                fromClient.erase(0, size);
                if (!typed) {
                    bool request = size == 8 && be32(&message[4]) - 80877103u < 2;
                    answers += request;
                    typed = !request;
                } else if (copies && message[0] == 'Q') {
                    message = ::testsupport::message('Q', rewriteCopies(message.substr(5, message.size() - 6)) + '\0');
                }
                std::chrono::milliseconds delay;
                if (!held.empty()) {
                    held += message;
                } else if (typed && holds(message, delay)) {
                    held = message;
                    release = Clock::now() + delay;
                } else if (!sendAll(server, message.data(), message.size())) {
                    cut = true;
                }
            }
        }
        if (!held.empty() && Clock::now() >= release) {
            if (!sendAll(server, held.data(), held.size())) break;
            held.clear();
            awaitingLate = true;
        }
        if (fds[1].revents) {
            ssize_t n = ::read(server, buffer, sizeof buffer);
            if (n <= 0) break;
            fromServer.append(buffer, static_cast<size_t>(n));
            for (; answers > 0 && !fromServer.empty(); --answers) toClient += fromServer[0], fromServer.erase(0, 1);
            // A type byte, then a length that counts itself but not the type.
            while (!cut && fromServer.size() >= 5 && fromServer.size() >= 1 + be32(&fromServer[1])) {
                std::string reply = fromServer.substr(0, 1 + be32(&fromServer[1]));
                fromServer.erase(0, reply.size());
                if (awaitingLate && reply[0] == 'Z') awaitingLate = false, m_heldAnswered = true;
                cut = !keep(reply);
                if (!cut) toClient += reply;
            }
        }
        if (clientGone) {
            toClient.clear();
            if (held.empty() && !awaitingLate) break;
        } else if (!m_hold) {
            if (!sendAll(client, toClient.data(), toClient.size())) break;
            toClient.clear();
        }
    }
    ::close(client);
    ::close(server);
}

std::string Relay::rewriteCopies(const std::string& query) {
    static const std::regex COPY(
        "COPY (\\S+) \\( (.*)\\) FROM '(s3://[^']*)' (?:IAM_ROLE '([^']*)'|ACCESS_KEY_ID '([^']*)' "
        "SECRET_ACCESS_KEY '([^']*)'(?: SESSION_TOKEN '([^']*)')?) FORMAT AS CSV GZIP MANIFEST REGION '[^']*' "
        "COMPUPDATE OFF STATUPDATE OFF");
    const char* state = std::getenv("CIRRANT_S3_STATE");
    std::string out;
    for (size_t at = 0; at <= query.size();) {
        size_t end = std::min(query.find(';', at), query.size());
        std::string statement = query.substr(at, end - at);
        std::smatch m;
        if (statement.rfind("COPY ", 0) == 0 && std::regex_match(statement, m, COPY)) {
            std::string command = "/usr/bin/python3 " S3_COPY_SCRIPT " " + std::string(state ? state : "");
            for (int i : {3, 4, 5, 6, 7}) command += " ''" + m[i].str() + "''";
            std::string names = std::regex_replace(m[2].str(), std::regex("[\" ]"), "");
            // Each column's kind goes to the script: Redshift reads an empty field by it.
            statement = "DO $copy$ BEGIN EXECUTE 'COPY " + m[1].str() + " ( " + m[2].str() +
                        ") FROM PROGRAM ' || quote_literal('" + command + " ' || (SELECT string_agg(CASE WHEN "
                        "a.atttypid IN ('varchar'::regtype, 'bpchar'::regtype, 'text'::regtype) THEN 'c' ELSE 'n' "
                        "END, '' ORDER BY k.n) FROM unnest(string_to_array('" + names + "', ',')) WITH ORDINALITY "
                        "k(name, n) JOIN pg_attribute a ON a.attrelid = '" + m[1].str() + "'::regclass AND "
                        "a.attname = k.name)) || ' (FORMAT csv)'; END $copy$";
        }
        out += statement + (end < query.size() ? ";" : "");
        at = end + 1;
    }
    return out;
}

bool Relay::copyError(std::string& reply) {
    std::map<char, std::string> fields;
    for (size_t at = 5; at < reply.size() && reply[at];) {
        size_t end = reply.find('\0', at + 1);
        fields[reply[at]] = reply.substr(at + 1, end - at - 1);
        at = end + 1;
    }
    std::smatch copy;
    if (!std::regex_search(fields['W'], copy, std::regex("SQL statement \"COPY (.*?) \\("))) return false;
    std::string table = std::regex_replace(copy[1].str(), std::regex("\""), "");
    std::string text = "Load into table '" + table + "' failed. Check 'stl_load_errors' system table for details.";
    // The script itself failed: what Redshift says of a role or a bucket.
    if (fields['M'].rfind("program \"", 0) == 0)
        text = fields['D'].find("exit code 3") != std::string::npos
                   ? "User arn:aws:redshift:us-east-1:123456789012:dbuser:test/redshift is not authorized to assume "
                     "IAM Role"
                   : "S3ServiceException:the test S3 refused the load (" + fields['D'] + ")";
    reply = message('E', "SERROR\0VERROR\0CXX000\0M"s + text + "\0\0"s);
    return true;
}

}  // namespace testsupport
