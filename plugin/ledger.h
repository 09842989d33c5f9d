#pragma once
// The ledger of committed blocks, one table per instance. Each block's
// transaction first locks the ledger, so that an instance's blocks never
// overlap, and ends by recording the block: its id, its run, and the
// fingerprint of every reading. After a lost reply, or after a restart, the
// ledger is read under the same lock, which waits until the old transaction
// has committed or aborted: only then does a missing entry mean "not
// written". The readings at the head of the host's next block that match a
// written block are acknowledged without being written again.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "session.h"

using Fingerprints = std::vector<uint64_t>;

class Ledger {
public:
    explicit Ledger(Session& session);

    // The ledger's name as the server stores it.
    void setTable(const std::string& table) { m_table = table; }
    const std::string& table() const { return m_table; }

    // Making the ledger, or widening one made by an older build whose
    // columns the catalogue lists.
    std::string createStatement() const;
    std::vector<std::string> widenStatements(const std::set<std::string>& columns) const;

    // How many readings at the head of `block` are written already (by a
    // block in doubt, or by the last block of an earlier run that did not
    // end cleanly); SIZE_MAX while that cannot be known, with an error line
    // saying what waits.
    size_t settle(const Fingerprints& block, size_t requestLimit);
    // Forgets what was to be matched: the block is written without
    // exactly-once, as the caller's error line says.
    void giveUp();

    // The id of the next block; a resend of a block that did not commit keeps its id.
    std::string blockId();
    std::string lockStatement() const;
    // What records the block in its own transaction, `now` a timestamp literal.
    std::vector<std::string> entryStatements(const std::string& id, const Fingerprints& block,
                                             const std::string& now);
    // The block committed; entries older than `pruneBefore` are pruned now and then.
    void committed(const std::string& pruneBefore, size_t requestLimit);
    // Its reply was lost or its deadline passed: it stands in doubt.
    void inDoubt(const std::string& id, const Fingerprints& block);
    // Whether the block committed, read under the lock; the readings its
    // entry holds go to `recorded`.
    enum class Found { Committed, Absent, Unknown };
    Found lookUp(const std::string& id, size_t requestLimit, Fingerprints& recorded);
    // The statement that records a clean end of this run; empty while
    // anything of it is still to be matched.
    std::string endStatement(const std::string& now) const;
    // How many readings at the head of `block` match what is to be matched.
    size_t matchHead(const Fingerprints& block);
    // How many readings at the head of `block` a recorded block holds.
    static size_t matchHeadOf(const Fingerprints& recorded, const Fingerprints& block);

private:
    bool readUnfinishedRuns(const Fingerprints& block, size_t requestLimit);
    bool settlePending(size_t requestLimit);
    bool failed(const Outcome& outcome, const char* what);

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
    // Readings known written whose acknowledgement the host may not have had.
    Fingerprints m_written;
    bool m_runsChecked = false;
    std::vector<std::string> m_runsToClose;
    int m_failures = 0;  // calls in a row that could not read the ledger
};
