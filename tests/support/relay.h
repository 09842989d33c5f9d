#pragma once
// A TCP relay from 127.0.0.1:port() to the server's port that passes
// everything through, except the server's messages it is told to change on
// the way back: to look like Redshift, or to lose or hold a reply.
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class Relay {
public:
    explicit Relay(int serverPort);
    ~Relay();

    int port() const { return m_port; }
    // Swallows the next CommandComplete of a COMMIT and closes both sides of
    // its connection at once, so the client never learns that its
    // transaction committed; then disarms itself.
    void loseNextCommitReply() { m_commitReplyLost = false, m_loseCommitReply = true; }
    bool commitReplyLost() const { return m_commitReplyLost; }
    // Connections that start from now on see server_version 8.0.2.
    void reportRedshiftVersion(bool on) { m_redshiftVersion = on; }
    // While on, nothing reaches the clients; what the server sends waits and
    // goes on when it is off again.
    void hold(bool on) { m_hold = on; }
    // The next `times` errors with SQLSTATE `sqlstate` reach the client as
    // Redshift words many of its own: ERROR XX000 with this message and
    // detail, and no other field.
    void rewriteError(const std::string& sqlstate, const std::string& message, const std::string& detail,
                      int times = 1) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sqlstate = sqlstate, m_message = message, m_detail = detail, m_rewritesLeft = times;
    }
    // For connections that start from now on, a COPY ... FROM 's3://...'
    // MANIFEST runs in the same transaction as PostgreSQL's COPY ... FROM
    // PROGRAM of s3_copy.py on the test S3 ($CIRRANT_S3_STATE); an error
    // raised inside it reaches the client as Redshift's XX000.
    void loadCopiesFromTestS3(bool on) { m_copies = on; }

    // The next Query whose text holds `text` stays in the relay for `delay`
    // before it goes on to the server, whether or not its client still
    // waits: the server side stays open after the client has gone, so the
    // request arrives late and runs for nobody.
    void holdQuery(const std::string& text, std::chrono::milliseconds delay) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holdText = text, m_holdDelay = delay, m_heldAnswered = false;
    }
    // Whether the held Query reached the server and was answered.
    bool heldQueryAnswered() const { return m_heldAnswered; }

private:
    void accept();
    // Whether this whole message from the client is the Query to hold.
    bool holds(const std::string& message, std::chrono::milliseconds& delay);
    void relay(int client, int server);
    bool keep(std::string& reply);
    static std::string rewriteCopies(const std::string& query);
    static bool copyError(std::string& reply);

    int m_serverPort, m_port = 0, m_listener = -1;
    int m_stop[2] = {-1, -1};  // readable once the relay is being destroyed
    std::atomic<bool> m_loseCommitReply{false}, m_commitReplyLost{false}, m_redshiftVersion{false}, m_hold{false},
        m_heldAnswered{false}, m_copies{false};
    std::mutex m_mutex;  // for the error to rewrite and the Query to hold
    std::string m_sqlstate, m_message, m_detail, m_holdText;
    std::chrono::milliseconds m_holdDelay{0};
    int m_rewritesLeft = 0;
    std::thread m_acceptor;
    std::vector<std::thread> m_relays;  // the acceptor's alone until it is joined
};

}  // namespace testsupport
