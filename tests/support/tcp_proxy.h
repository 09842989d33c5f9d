#pragma once
// A loopback TCP forwarder between the code under test and the test server,
// for connection faults the server cannot produce on demand: refused
// connects and connections cut mid-session.
//
// It listens on 127.0.0.1 on a free port and forwards every accepted
// connection to the target (loopback only) from a thread of its own. Every
// command takes effect before it returns.
#include <cstddef>
#include <memory>
#include <string>

namespace testsupport {

class TcpProxy {
public:
    // Throws std::invalid_argument for a target that is not a loopback
    // address, std::runtime_error when it cannot listen.
    explicit TcpProxy(int targetPort, const std::string& targetHost = "127.0.0.1");
    ~TcpProxy();
    TcpProxy(const TcpProxy&) = delete;
    TcpProxy& operator=(const TcpProxy&) = delete;

    int port() const;

    // Normal forwarding (the initial mode). Also ends refuseNext.
    void pass();
    // Every new connection is accepted and closed at once, so a client's
    // connect fails fast. Open connections carry on.
    void refuse();
    // Refuses the next n new connections, then forwards again.
    void refuseNext(int n);
    // Closes every open connection, both the client's and the upstream side.
    void cutAll();

    // New connections refused since construction.
    size_t refusedConnections() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// A port on 127.0.0.1 that nothing listens on (a connection to it is
// refused at once).
int unusedLoopbackPort();

}  // namespace testsupport
