#include "tcp_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace testsupport {
namespace {

constexpr size_t kBufferLimit = 64 * 1024;  // per direction and connection
constexpr size_t kMaxLinks = 256;

enum class Mode { Pass, Refuse };

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void setNoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// One client connection and its upstream twin. The link closes as a whole:
// once one side has ended and what it sent has been passed on, or on any
// error. The PostgreSQL protocol has no use for half-closed connections.
struct Link {
    int client = -1;
    int upstream = -1;
    bool connecting = false;
    bool clientEof = false;
    bool upstreamEof = false;
    std::string toUpstream;
    std::string toClient;

    Link() = default;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    ~Link() {
        closeFd(client);
        closeFd(upstream);
    }
    bool finished() const {
        return (clientEof && toUpstream.empty()) || (upstreamEof && toClient.empty());
    }
};

// false on a hard error; EOF sets `eof`.
bool readInto(int fd, std::string& buffer, bool& eof) {
    char chunk[16 * 1024];
    const size_t room = kBufferLimit - buffer.size();
    const ssize_t n = ::recv(fd, chunk, room < sizeof chunk ? room : sizeof chunk, 0);
    if (n > 0) {
        buffer.append(chunk, static_cast<size_t>(n));
    } else if (n == 0) {
        eof = true;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        return false;
    }
    return true;
}

bool writeFrom(int fd, std::string& buffer) {
    const ssize_t n = ::send(fd, buffer.data(), buffer.size(), MSG_NOSIGNAL);
    if (n > 0) {
        buffer.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        return false;
    }
    return true;
}

}  // namespace

struct TcpProxy::Impl {
    sockaddr_in target{};
    int listenFd = -1;
    int wakeFd = -1;
    int listenPort = 0;
    std::thread thread;

    std::atomic<Mode> mode{Mode::Pass};
    std::atomic<int> refuseCount{0};
    std::atomic<size_t> refused{0};

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool stopRequested = false;
    bool cutPending = false;
    uint64_t commandsRequested = 0;  // a command returns once the thread has
    uint64_t commandsDone = 0;       // begun a poll round after it
    bool threadEnded = false;

    std::list<Link> links;  // proxy thread only

    void wake() {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
    }

    // Runs a command on the proxy thread's terms: returns once the thread
    // has started a new round with it in effect.
    void command(bool cut) {
        std::unique_lock<std::mutex> lock(mutex);
        if (cut) cutPending = true;
        const uint64_t ticket = ++commandsRequested;
        wake();
        changed.wait(lock, [&] { return commandsDone >= ticket || threadEnded; });
    }

    void startUpstream(Link& link) {
        link.upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (link.upstream < 0) {
            link.upstreamEof = true;
            return;
        }
        setNoDelay(link.upstream);
        if (::connect(link.upstream, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) return;
        if (errno == EINPROGRESS) {
            link.connecting = true;
        } else {
            // Nothing listens there: the client sees its connection closed.
            closeFd(link.upstream);
            link.upstreamEof = true;
        }
    }

    void acceptAll() {
        for (;;) {
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;  // EAGAIN, or a connection that died in the backlog
            bool refuseThis = mode.load() == Mode::Refuse || links.size() >= kMaxLinks;
            int pending = refuseCount.load();
            while (!refuseThis && pending > 0) {
                if (refuseCount.compare_exchange_weak(pending, pending - 1)) refuseThis = true;
            }
            if (refuseThis) {
                ++refused;
                ::close(fd);
                continue;
            }
            setNoDelay(fd);
            links.emplace_back();
            links.back().client = fd;
            startUpstream(links.back());
        }
    }

    // The poll interest of one link; fd -1 (ignored by poll) when there is
    // none, so a hung-up socket we do not read cannot make poll spin.
    void interest(Link& link, pollfd& client, pollfd& upstream) const {
        client = {-1, 0, 0};
        upstream = {-1, 0, 0};
        short c = 0;
        short u = 0;
        if (!link.clientEof && link.toUpstream.size() < kBufferLimit) c |= POLLIN;
        if (!link.toClient.empty()) c |= POLLOUT;
        if (link.connecting) {
            u = POLLOUT;
        } else if (link.upstream >= 0) {
            if (!link.upstreamEof && link.toClient.size() < kBufferLimit) u |= POLLIN;
            if (!link.toUpstream.empty()) u |= POLLOUT;
        }
        if (c) client = {link.client, c, 0};
        if (u) upstream = {link.upstream, u, 0};
    }

    // false: close the link.
    bool service(Link& link, const pollfd& client, const pollfd& upstream) {
        if (link.connecting && upstream.revents) {
            int error = 0;
            socklen_t len = sizeof error;
            if (::getsockopt(link.upstream, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) return false;
            link.connecting = false;
        } else if (upstream.revents) {
            if ((upstream.revents & (POLLIN | POLLHUP | POLLERR)) && (upstream.events & POLLIN) &&
                !readInto(link.upstream, link.toClient, link.upstreamEof))
                return false;
            if ((upstream.revents & POLLERR) && !(upstream.events & POLLIN)) return false;
        }
        if (client.revents) {
            if ((client.revents & (POLLIN | POLLHUP | POLLERR)) && (client.events & POLLIN) &&
                !readInto(link.client, link.toUpstream, link.clientEof))
                return false;
            if ((client.revents & POLLERR) && !(client.events & POLLIN)) return false;
        }
        // Writing is tried whenever there is something to write: cheap, and
        // it saves a poll round trip for the common request/response case.
        if (!link.toClient.empty() && !writeFrom(link.client, link.toClient)) return false;
        if (!link.connecting && link.upstream >= 0 && !link.toUpstream.empty() &&
            !writeFrom(link.upstream, link.toUpstream))
            return false;
        return !link.finished();
    }

    void loop() {
        std::vector<pollfd> fds;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopRequested) break;
                if (cutPending) links.clear();
                cutPending = false;
                commandsDone = commandsRequested;
            }
            changed.notify_all();
            for (auto it = links.begin(); it != links.end();) it = it->finished() ? links.erase(it) : std::next(it);

            fds.assign(2 + 2 * links.size(), pollfd{-1, 0, 0});
            fds[0] = {wakeFd, POLLIN, 0};
            fds[1] = {listenFd, POLLIN, 0};
            size_t i = 2;
            for (auto& link : links) {
                interest(link, fds[i], fds[i + 1]);
                i += 2;
            }
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[0].revents) {
                uint64_t count;
                [[maybe_unused]] ssize_t n = ::read(wakeFd, &count, sizeof count);
            }
            i = 2;
            for (auto it = links.begin(); it != links.end(); i += 2)
                it = service(*it, fds[i], fds[i + 1]) ? std::next(it) : links.erase(it);
            if (fds[1].revents) acceptAll();
        }
        links.clear();
        {
            std::lock_guard<std::mutex> lock(mutex);
            threadEnded = true;
        }
        changed.notify_all();
    }
};

TcpProxy::TcpProxy(int targetPort, const std::string& targetHost) : m_impl(std::make_unique<Impl>()) {
    Impl& d = *m_impl;
    const std::string host = targetHost == "localhost" ? "127.0.0.1" : targetHost;
    d.target.sin_family = AF_INET;
    d.target.sin_port = htons(static_cast<uint16_t>(targetPort));
    if (targetPort <= 0 || targetPort > 65535 || ::inet_pton(AF_INET, host.c_str(), &d.target.sin_addr) != 1 ||
        (ntohl(d.target.sin_addr.s_addr) >> 24) != 127)
        throw std::invalid_argument("TcpProxy forwards to loopback IPv4 addresses only, not " + targetHost + ":" +
                                    std::to_string(targetPort));

    d.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    d.listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (d.wakeFd < 0 || d.listenFd < 0 || ::bind(d.listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(d.listenFd, 64) != 0 || ::getsockname(d.listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        const std::string reason = std::strerror(errno);
        closeFd(d.wakeFd);
        closeFd(d.listenFd);
        throw std::runtime_error("TcpProxy cannot listen on 127.0.0.1: " + reason);
    }
    d.listenPort = ntohs(addr.sin_port);
    d.thread = std::thread([&d] { d.loop(); });
}

TcpProxy::~TcpProxy() {
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        m_impl->stopRequested = true;
    }
    m_impl->wake();
    m_impl->thread.join();
    closeFd(m_impl->listenFd);
    closeFd(m_impl->wakeFd);
}

int TcpProxy::port() const { return m_impl->listenPort; }

void TcpProxy::pass() {
    m_impl->refuseCount = 0;
    m_impl->mode = Mode::Pass;
    m_impl->command(false);
}

void TcpProxy::refuse() {
    m_impl->mode = Mode::Refuse;
    m_impl->command(false);
}

void TcpProxy::refuseNext(int n) {
    m_impl->refuseCount = n > 0 ? n : 0;
    m_impl->mode = Mode::Pass;
    m_impl->command(false);
}

void TcpProxy::cutAll() { m_impl->command(true); }

size_t TcpProxy::refusedConnections() const { return m_impl->refused.load(); }

int unusedLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

}  // namespace testsupport
