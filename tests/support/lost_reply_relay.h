#pragma once
// A TCP relay from 127.0.0.1:port() to the server's port that passes
// everything through, except that once armed it loses one reply: the next
// server-to-client bytes holding the CommandComplete of a COMMIT are
// swallowed and both sides of that connection closed at once, so the client
// never learns that its transaction committed.
#include <atomic>
#include <thread>
#include <vector>

namespace testsupport {

class LostReplyRelay {
public:
    explicit LostReplyRelay(int serverPort);
    ~LostReplyRelay();
    LostReplyRelay(const LostReplyRelay&) = delete;
    LostReplyRelay& operator=(const LostReplyRelay&) = delete;

    int port() const { return m_port; }
    // Loses the next COMMIT reply, then disarms itself.
    void arm() { m_armed = true; }
    // Whether an armed cut happened.
    bool fired() const { return m_fired; }

private:
    void accept();
    void relay(int client, int server);

    int m_serverPort, m_port = 0, m_listener = -1;
    int m_stop[2] = {-1, -1};  // readable once the relay is being destroyed
    std::atomic<bool> m_armed{false}, m_fired{false};
    std::thread m_acceptor;
    std::vector<std::thread> m_relays;  // the acceptor's alone until it is joined
};

}  // namespace testsupport
