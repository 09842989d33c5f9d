#pragma once
// The send cycle: one block of readings from the host to the database, using
// every other room. A block is one transaction: the ledger's lock, every row
// of it, the copies of refused and changed readings, and the ledger entry.
// Whatever the server answers, the call ends with the block committed, or
// with an error line saying what waits and why; the host hears how many
// readings at the head of the block are written.
#include <cstdint>
#include <string>
#include <vector>

#include "delivery/activity.h"
#include "rows/batch_builder.h"
#include "schema/catalogue.h"
#include "delivery/isolation.h"
#include "delivery/ledger.h"
#include "session/options.h"
#include "session/session.h"
#include "staging/staging.h"

class SendCycle {
public:
    SendCycle(const RedshiftOptions& options, const std::string& instanceName, Session& session,
              Catalogue& catalogue, Ledger& ledger, Isolation& isolation, Activity& activity, Staging& staging)
        : m_options(options), m_instanceName(instanceName), m_session(session), m_catalogue(catalogue),
          m_ledger(ledger), m_isolation(isolation), m_activity(activity), m_staging(staging) {}

    // How many readings at the head of the block are written: all of them
    // when the block committed.
    uint32_t send(const std::vector<Reading*>& readings);
    // Records that this run ended cleanly, unless something of it is in doubt.
    void endRun();
    void forgetBookkeeping() { m_bookkeepingOn = 0; }

private:
    struct Attempt;

    // Learns the server, compares the cache, makes the bookkeeping tables;
    // false when no connection could be had.
    bool prepare();
    void ensureBookkeeping(const TableColumns& present);
    bool rereadTables();
    bool bookkeepingReady() const { return m_bookkeepingOn == m_session.generation() && m_session.isOpen(); }
    std::string ledgerTable() const;
    // A timestamp literal of the current time, moved by `offsetMicros`.
    std::string nowLiteral(int64_t offsetMicros = 0) const;
    // The most a request may hold, BEGIN and COMMIT included.
    size_t requestLimit() const;

    uint32_t sendBlock(const std::vector<Reading*>& readings, Fingerprints& fingerprints);
    // The block waits for the reason `why` gives, before it was begun: an error line says so.
    uint32_t unsent(const std::vector<Reading*>& readings, const char* why);
    // Why the session is gone: the last failure to connect, if any.
    Outcome connectionLost() const;
    // Writes the readings past the head the ledger acknowledged; `known`
    // are refusals remembered from the host's last call.
    uint32_t deliver(const std::vector<Reading*>& readings, const Fingerprints& fingerprints, const Settled& settled,
                     std::vector<RejectEntry> known);
    // Tries the block until it commits or waits; how many readings of the
    // host's block are written.
    size_t tryBlock(Attempt& attempt);
    // An error line for each table whose readings wait; whether anything of
    // the block is left to write once they do.
    bool tablesWait(Attempt& attempt, const BlockTables& tables);
    // Only the first `head` readings are written in this call.
    void keepHead(Attempt& attempt, size_t head);
    BlockRows blockRows(Attempt& attempt, BlockTables& tables);
    std::vector<std::string> blockStatements(Attempt& attempt, const BlockRows& rows);
    void committed(const Attempt& attempt, const BlockRows& rows, const Outcome& outcome);
    // After the guard or the ledger's key found the block's id: 1 to try
    // again, -1 when the call ends (`acknowledged` says how far), 0 when
    // the failure was not the id's.
    int settleEarlierTry(const Outcome& outcome, Attempt& attempt, size_t& acknowledged);
    // Whether the block is tried again in this call; if not, `acknowledged`
    // is what the call returns.
    bool retryAfter(Outcome& outcome, Attempt& attempt, const BlockRows& rows, size_t& acknowledged);
    bool retryLost(const Outcome& outcome, Attempt& attempt, const std::string& cost, size_t& acknowledged);
    bool pauseAndRetry(const Outcome& outcome, Attempt& attempt, const std::string& cost);
    bool isolate(const Outcome& outcome, Attempt& attempt, const BlockRows& rows, const std::string& cost,
                 size_t& acknowledged);
    bool blockWaits(const Outcome& outcome, const std::string& cost, const char* why);

    const RedshiftOptions& m_options;
    const std::string& m_instanceName;
    Session& m_session;
    Catalogue& m_catalogue;
    Ledger& m_ledger;
    Isolation& m_isolation;
    Activity& m_activity;
    Staging& m_staging;
    // The connection the bookkeeping tables were found or made on; without
    // them (a role that may not create tables) blocks go on at least once.
    uint64_t m_bookkeepingOn = 0;
    bool m_bookkeepingOff = false;
};
