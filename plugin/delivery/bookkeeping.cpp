// Before a block: a session that knows the server, a cache compared with
// the database, and the bookkeeping tables (the ledger and the rejects
// table) found, made or widened, once per connection.
#include <chrono>

#include "rules/literal.h"
#include "logger.h"
#include "rules/names.h"
#include "delivery/send_cycle.h"
#include "rules/server_names.h"

namespace {

// Room left below the server's request limit, for what joins statements
// and for whatever the server counts that we do not.
constexpr size_t REQUEST_MARGIN = 1024;

}  // namespace

std::string SendCycle::ledgerTable() const {
    std::string instance = m_instanceName;
    names::makeValid(instance);
    return serverTableName("cirrant$ledger$" + names::folded(instance), m_session.dialect());
}

size_t SendCycle::requestLimit() const {
    // Tests take tiny limits to reach the paths that split; keep a quarter free there.
    size_t limit = m_options.maxRequestBytes;
    return limit > 4 * REQUEST_MARGIN ? limit - REQUEST_MARGIN : limit - limit / 4;
}

std::string SendCycle::nowLiteral(int64_t offsetMicros) const {
    return timestampLiteral(utcText(std::chrono::system_clock::now() + std::chrono::microseconds(offsetMicros)));
}

bool SendCycle::prepare() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!m_session.isOpen() && !m_session.reconnect(3)) return false;
        if (m_session.learn(m_options.oneStatementPerRequest)) {
            m_ledger.setTable(ledgerTable());
            if (!m_catalogue.checked()) ensureBookkeeping(m_catalogue.checkCachedTables({ledgerTable(), REJECTS_TABLE}));
        }
        if (m_session.isOpen()) return true;
    }
    return false;
}

bool SendCycle::rereadTables() {
    // Every known table, the bookkeeping ones included, is compared with the
    // catalogue in one query; what is gone is made again when it is needed.
    m_catalogue.forgetChecked();
    m_bookkeepingOn = 0;
    TableColumns present = m_catalogue.checkCachedTables({ledgerTable(), REJECTS_TABLE});
    if (!m_catalogue.checked()) return false;
    ensureBookkeeping(present);
    return true;
}

void SendCycle::ensureBookkeeping(const TableColumns& found) {
    if (bookkeepingReady() || m_bookkeepingOff || !m_catalogue.checked()) return;
    auto ledger = found.find(ledgerTable());
    std::vector<std::string> missing;
    if (ledger == found.end())
        missing.push_back(m_ledger.createStatement());
    else
        missing = m_ledger.widenStatements(ledger->second);
    if (!found.count(REJECTS_TABLE)) missing.push_back(rejectsTableDefinition());
    for (const std::string& sql : missing) {
        Outcome made = m_session.runRetrying(sql, "making the ledger and rejects tables");
        if (made.ok) continue;
        if (made.lost) return;
        Action action = actionFor(StatementKind::Ddl, made.state, made.message, m_session.dialect().redshift);
        if (action == Action::Reread) continue;
        if (action != Action::Permanent) {
            // Passing trouble: tried again on the next call.
            Logger::getLogger()->error("AWS Redshift - %s (making the ledger and rejects tables; tried again next time)",
                                       made.message.c_str());
            m_catalogue.forgetChecked();
            return;
        }
        // Without these tables readings still flow, at least once.
        Logger::getLogger()->error(
            "AWS Redshift - %s: exactly-once delivery and the rejects table are off; a block whose reply is lost may "
            "be written twice, and refused readings are only logged",
            made.message.c_str());
        m_bookkeepingOff = true;
        return;
    }
    m_bookkeepingOn = m_session.generation();
}

void SendCycle::endRun() {
    Session::Call call(m_session);
    m_activity.log("since the last report");
    std::string sql = m_bookkeepingOff ? "" : m_ledger.endStatement(nowLiteral());
    if (sql.empty() && !m_session.leftSessions()) return;
    // The clean end is what tells the next run that this one stopped, not
    // crashed: a session ended while idle, or lost in the last call, is
    // opened once more for it. Opening also ends sessions left behind.
    m_session.dropIfClosedByServer();
    Outcome outcome;
    outcome.message = "no connection";
    if ((m_session.isOpen() || m_session.reconnect(1)) && !sql.empty()) {
        if (!bookkeepingReady()) prepare();
        if (bookkeepingReady()) outcome = m_session.run(sql);
        else if (m_session.isOpen()) outcome.message = "the ledger could not be found";
    }
    if (!outcome.ok && !sql.empty())
        Logger::getLogger()->error("AWS Redshift - %s (ledger %s: the clean end of this run was not recorded; the "
                                   "next run compares its first block with this run's last, and takes the readings "
                                   "it starts with for a resend of that block)",
                                   outcome.message.c_str(), ledgerTable().c_str());
}
