#pragma once
// The plugin object behind the host's handle, one per handle: it holds the
// rooms that do the work (the session, the catalogue, the ledger, isolation
// and the send cycle) and what the configuration says.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "delivery/activity.h"
#include "schema/catalogue.h"
#include "config_category.h"
#include "delivery/isolation.h"
#include "delivery/ledger.h"
#include "session/options.h"
#include "reading.h"
#include "delivery/send_cycle.h"
#include "session/session.h"
#include "staging/staging.h"

class Redshift {
public:
    using Options = RedshiftOptions;

    Redshift();
    explicit Redshift(Options options);
    Redshift(const Redshift&) = delete;
    Redshift& operator=(const Redshift&) = delete;

    // Reads the category, builds the connection string and, when it changed,
    // makes one connection attempt (a failure is only logged). Throws for a
    // port that is no number.
    void configure(const ConfigCategory* config);
    const std::string& instanceName() const { return m_instanceName; }

    // Writes the block in one transaction: the block's size when it
    // committed (refused readings kept in the rejects table), else how many
    // readings at its head were written before and are acknowledged now.
    uint32_t send(const std::vector<Reading*>& readings) { return m_cycle.send(readings); }
    // Records that this run ended cleanly, unless something of it is in doubt.
    void endRun() { m_cycle.endRun(); }

    // The schema cache as the host keeps it between runs.
    std::string serializeCache() const { return m_catalogue.serializeCache(); }
    // Replaces the cache with the stored text: 0, or -1 when it is no JSON.
    int deserializeCache(const std::string& text) { return m_catalogue.deserializeCache(text); }

private:
    Options m_options;
    std::string m_instanceName;
    Session m_session;
    // Held for the whole of configure.
    std::mutex m_mutex;
    Catalogue m_catalogue;
    Ledger m_ledger;
    Isolation m_isolation;
    Activity m_activity;
    Staging m_staging;
    SendCycle m_cycle;
};
