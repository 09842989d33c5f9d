#include "lost_reply_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace testsupport {
namespace {

// CommandComplete: 'C', length 11 (big-endian, itself included), "COMMIT\0".
const std::string kCommitReply("C\0\0\0\x0b" "COMMIT\0", 12);

sockaddr_in loopback(int port) { return {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}}; }

bool sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

LostReplyRelay::LostReplyRelay(int serverPort) : m_serverPort(serverPort) {
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(m_listener, 16) != 0 || ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        ::pipe2(m_stop, O_CLOEXEC) != 0)
        throw std::runtime_error("LostReplyRelay: cannot listen on 127.0.0.1");
    m_port = ntohs(addr.sin_port);
    m_acceptor = std::thread([this] { accept(); });
}

LostReplyRelay::~LostReplyRelay() {
    // Every thread polls the stop pipe; one byte in it wakes them all for good.
    [[maybe_unused]] ssize_t n = ::write(m_stop[1], "x", 1);
    m_acceptor.join();
    for (std::thread& relay : m_relays) relay.join();
    ::close(m_listener);
    ::close(m_stop[0]);
    ::close(m_stop[1]);
}

void LostReplyRelay::accept() {
    for (;;) {
        pollfd fds[] = {{m_listener, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 || fds[1].revents) return;
        int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = loopback(m_serverPort);
        if (::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(client);
            ::close(server);
        } else {
            m_relays.emplace_back([this, client, server] { relay(client, server); });
        }
    }
}

void LostReplyRelay::relay(int client, int server) {
    char buffer[65536];
    // The end of what the server sent last, so a reply split over two reads is found too.
    std::string tail;
    for (;;) {
        pollfd fds[] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0 || fds[2].revents) break;
        if (fds[0].revents) {
            ssize_t n = ::read(client, buffer, sizeof buffer);
            if (n <= 0 || !sendAll(server, buffer, static_cast<size_t>(n))) break;
        }
        if (fds[1].revents) {
            ssize_t n = ::read(server, buffer, sizeof buffer);
            if (n <= 0) break;
            tail.append(buffer, static_cast<size_t>(n));
            bool armed = true;
            if (tail.find(kCommitReply) != std::string::npos && m_armed.compare_exchange_strong(armed, false)) {
                m_fired = true;
                break;
            }
            tail.erase(0, tail.size() >= kCommitReply.size() ? tail.size() - kCommitReply.size() + 1 : 0);
            if (!sendAll(client, buffer, static_cast<size_t>(n))) break;
        }
    }
    ::close(client);
    ::close(server);
}

}  // namespace testsupport
