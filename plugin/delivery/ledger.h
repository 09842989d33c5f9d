#pragma once
// The ledger of committed blocks, one table per instance. Each block's
// transaction first locks the ledger, so that an instance's blocks never
// overlap, then runs a guard that fails when the block's own id is recorded
// already, and ends by recording the block: its id, its run, and the
// fingerprint of every reading. The guard is what keeps a late request (one
// that reaches the server after its resend committed) from writing twice on
// a server that enforces no key. After a lost reply, or after a restart, the
// ledger is read under the same lock, which waits until the old transaction
// has committed or aborted: only then does a missing entry mean "not
// written". The readings at the head of the host's next block that match a
// written block are acknowledged without being written again; those that
// block refused are sent again.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "session/session.h"

using Fingerprints = std::vector<uint64_t>;

// Where the rejects table keeps a refused reading.
struct RefusedBefore {
    std::string blockId;
    size_t readingNo;
    bool waited = false;  // its row says 'waiting', not 'refused'
};

// Readings of a recorded block, and which of them it refused, by position.
struct Written {
    Fingerprints fingerprints;
    std::map<size_t, RefusedBefore> refused;
};

// What settling found for the host's block.
struct Settled {
    bool waits = false;  // the ledger could not be read: nothing is written, the block waits
    size_t head = 0;     // readings at the head written before
    std::map<size_t, RefusedBefore> retry;  // of those, the ones refused then: sent again
    bool guarded = true;  // false: this block goes without exactly-once, as an error line said
    // Written readings are acknowledged up to the first one to send again.
    size_t sendFrom() const { return retry.empty() ? head : retry.begin()->first; }
};

class Ledger {
public:
    Ledger(Session& session, std::chrono::milliseconds lookForWritersEvery);

    // The ledger's name as the server stores it.
    void setTable(const std::string& table) { m_table = table; }
    const std::string& table() const { return m_table; }

    // Making the ledger, or widening one made by an older build whose
    // columns the catalogue lists.
    std::string createStatement() const;
    std::vector<std::string> widenStatements(const std::set<std::string>& columns) const;

    // Reads what must be read before `block` is written: the block in
    // doubt, and on a run's first block the runs that did not end cleanly.
    Settled settle(const Fingerprints& block, size_t requestLimit);
    // The ledger could not be read for reasons of its own (class 42): true
    // when it is to be made again and read once more before the block goes
    // on without exactly-once.
    bool remakeFirst() const { return m_remake; }
    // Whether exactly-once was given up on this connection (connections count from 1).
    bool givenUp() const { return m_unguardedOn == m_session.generation(); }
    // The call acknowledged `count` readings at the head of `block`: what is
    // still to be matched starts after them.
    void acknowledged(const Fingerprints& block, size_t count);

    // The id of the next block; a resend of a block that did not commit keeps its id.
    std::string blockId();
    const std::string& runId() const { return m_runId; }
    std::string lockStatement() const;
    // Fails, by casting the id to a number, when `id` is recorded already.
    std::string guardStatement(const std::string& id) const;
    // Once in a while, what else writes under this instance name; empty
    // when it is not time to look.
    std::string writersStatement() const;
    void sawWriters(const Rows& rows);
    // What records the block in its own transaction, `now` a timestamp
    // literal, in statements of at most `limit` bytes.
    std::vector<std::string> entryStatements(const std::string& id, const Fingerprints& block, const std::string& now,
                                             size_t limit) const;
    // The block committed; entries older than `pruneBefore` are pruned now and then.
    void committed(const std::string& pruneBefore, size_t requestLimit);
    // Its reply was lost or its deadline passed: it stands in doubt.
    void inDoubt(const std::string& id, const Fingerprints& block);
    // Whether the block committed, read under the lock; its readings and
    // refusals go to `recorded`.
    enum class Found { Committed, Absent, Unknown };
    Found lookUp(const std::string& id, size_t requestLimit, Written& recorded);
    // A block of this run is known committed by another way than its reply.
    void knownCommitted() { m_runsToClose.clear(); }
    // Takes what an earlier try of the block recorded as what the host's
    // block starts with.
    void takeWritten(Written recorded) { m_written = std::move(recorded); }
    // The statement that records a clean end of this run; empty while
    // anything of it is still to be matched.
    std::string endStatement(const std::string& now) const;
    // How many readings at the head of `block` a recorded block holds.
    static size_t matchHeadOf(const Fingerprints& recorded, const Fingerprints& block);

private:
    bool readUnfinishedRuns(const Fingerprints& block, size_t requestLimit);
    bool settlePending(size_t requestLimit);
    // Whether the block waits after a failed read; otherwise exactly-once
    // is given up for it.
    bool waitsAfter(const Outcome& outcome, const std::string& what);
    std::string endMarker(const std::string& run, const std::string& now) const;

    Session& m_session;
    std::string m_table;
    std::string m_runId;
    uint64_t m_seq = 0;        // block ids handed out
    uint64_t m_committed = 0;  // blocks committed
    // The block in doubt, if any.
    std::string m_pendingId;
    Fingerprints m_pending;
    // An id to use again: its block did not commit.
    std::string m_reuseId;
    // Readings known written whose acknowledgement the host may not have
    // had, from the head of its next block on.
    Written m_written;
    bool m_runsChecked = false;
    std::vector<std::string> m_runsToClose;
    // After a ledger that stayed unreadable: made again once, then blocks
    // go without exactly-once until the next connection.
    bool m_remake = false;
    uint64_t m_unguardedOn = 0;
    // Other runs of this instance name, and the highest block each had.
    std::chrono::milliseconds m_lookEvery;
    std::chrono::steady_clock::time_point m_nextLook{};
    std::map<std::string, uint64_t> m_writers;
};
