// The bookkeeping tables: the ledger and the rejects table, made or widened
// once per connection, and the rows that keep refused and changed readings.
#include <chrono>

#include "block_rows.h"
#include "literal.h"
#include "logger.h"
#include "names.h"
#include "reading_json.h"
#include "redshift.h"
#include "server_names.h"
#include "sql_names.h"
#include "utf8.h"

namespace {

// Valid names never hold '$', so neither bookkeeping table can be a table
// made for readings.
const char* const REJECTS_TABLE = "cirrant$rejects";
// Redshift's longest VARCHAR, in bytes.
constexpr size_t TEXT_LIMIT = 65535;
// Room left below the server's request limit, for what joins statements
// and for whatever the server counts that we do not.
constexpr size_t REQUEST_MARGIN = 1024;

std::string literal(const std::string& text, size_t limit = TEXT_LIMIT) {
    std::string valid = validUtf8(text);
    std::string out;
    appendTextLiteral(out, std::string_view(valid.data(), fitUtf8(valid, limit)));
    return out;
}

}  // namespace

std::string Redshift::ledgerTable() const {
    std::string instance = m_instanceName;
    names::makeValid(instance);
    return serverTableName("cirrant$ledger$" + names::folded(instance), Dialect{m_identifierLimit, m_redshiftRules});
}

size_t Redshift::requestLimit() const {
    // Tests take tiny limits to reach the paths that split; keep a quarter free there.
    size_t limit = m_options.maxRequestBytes;
    return limit > 4 * REQUEST_MARGIN ? limit - REQUEST_MARGIN : limit - limit / 4;
}

std::string Redshift::nowLiteral(int64_t offsetMicros) const {
    return timestampLiteral(utcText(std::chrono::system_clock::now() + std::chrono::microseconds(offsetMicros)));
}

bool Redshift::prepareSession() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!m_session.isOpen() && !reconnect(3)) return false;
        m_ledger.setTable(ledgerTable());
        if (startSession() && !m_cacheChecked) ensureBookkeeping(checkCachedTables({ledgerTable(), REJECTS_TABLE}));
        if (m_session.isOpen()) return true;
    }
    return false;
}

bool Redshift::rereadTables() {
    // Every known table, the bookkeeping ones included, is compared with the
    // catalogue in one query; what is gone is made again when it is needed.
    m_cacheChecked = false;
    m_bookkeepingReady = false;
    TableColumns present = checkCachedTables({ledgerTable(), REJECTS_TABLE});
    if (!m_cacheChecked) return false;
    ensureBookkeeping(present);
    return true;
}

void Redshift::ensureBookkeeping(const TableColumns& found) {
    if (m_bookkeepingReady || m_bookkeepingOff || !m_cacheChecked) return;
    auto ledger = found.find(ledgerTable());
    std::vector<std::string> missing;
    if (ledger == found.end())
        missing.push_back(m_ledger.createStatement());
    else
        missing = m_ledger.widenStatements(ledger->second);
    if (!found.count(REJECTS_TABLE))
        missing.push_back(std::string("CREATE TABLE IF NOT EXISTS ") + sqlIdentifier(REJECTS_TABLE) +
                          " ( block_id VARCHAR(64), reading_no INTEGER, table_name VARCHAR(512), asset_code "
                          "VARCHAR(65535), user_ts TIMESTAMPTZ, ts TIMESTAMPTZ, vantrel VARCHAR(256), outcome "
                          "VARCHAR(16), reason VARCHAR(65535), part INTEGER, parts INTEGER, reading VARCHAR(65535), "
                          "rejected_at TIMESTAMPTZ )");
    for (const std::string& sql : missing) {
        Outcome made = runRetrying(sql, "making the ledger and rejects tables");
        if (made.ok) continue;
        if (made.lost) return;
        Action action = actionFor(StatementKind::Ddl, made.state, made.message, m_redshiftRules);
        if (action == Action::Reread) continue;
        if (action != Action::Permanent) {
            // Passing trouble: tried again on the next call.
            Logger::getLogger()->error("AWS Redshift - %s (making the ledger and rejects tables; tried again next time)",
                                       made.message.c_str());
            m_cacheChecked = false;
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
    m_bookkeepingReady = true;
}

void Redshift::endRun() {
    Session::Call call(m_session);
    m_activity.log("since the last report");
    std::string sql = m_bookkeepingReady && m_session.isOpen() ? m_ledger.endStatement(nowLiteral()) : "";
    if (sql.empty()) return;
    Outcome outcome = m_session.run(sql);
    if (!outcome.ok)
        Logger::getLogger()->error("AWS Redshift - %s (ledger %s: the clean end of this run was not recorded; the "
                                   "next run compares its first block with this run's last)",
                                   outcome.message.c_str(), ledgerTable().c_str());
}

std::vector<std::string> Redshift::rejectStatements(const std::vector<RejectEntry>& entries,
                                                    const std::vector<Reading*>& readings, const std::string& id) {
    std::vector<std::string> statements;
    std::string header = std::string("INSERT INTO ") + sqlIdentifier(REJECTS_TABLE) +
                         " ( block_id , reading_no , table_name , asset_code , user_ts , ts , vantrel , outcome , "
                         "reason , part , parts , reading , rejected_at ) VALUES ";
    std::string now = nowLiteral();
    std::string statement;
    for (const RejectEntry& entry : entries) {
        const Reading& reading = *readings[entry.position];
        std::string json = validUtf8(readingJson(reading));
        // A reading longer than one text value is kept in parts, in order.
        std::vector<std::string> parts;
        for (size_t at = 0; at < json.size() || parts.empty();) {
            size_t length = fitUtf8(std::string_view(json).substr(at), TEXT_LIMIT);
            parts.push_back(json.substr(at, length));
            at += length;
        }
        for (size_t part = 0; part < parts.size(); ++part) {
            std::string row = "( " + literal(id) + "," + std::to_string(entry.position) + "," + literal(entry.table) + "," +
                              literal(reading.getAssetName()) + "," +
                              timestampLiteral(reading.getAssetDateUserTime(Reading::FMT_DEFAULT, true)) + "," +
                              timestampLiteral(reading.getAssetDateTime(Reading::FMT_DEFAULT, true)) + "," +
                              literal(m_instanceName, 256) + "," +
                              (entry.written ? "'changed'," : "'refused',") + literal(entry.reason) + "," +
                              std::to_string(part + 1) + "," + std::to_string(parts.size()) + "," +
                              literal(parts[part]) + "," + now + ")";
            if (!statement.empty() && statement.size() + row.size() + 1 > requestLimit()) {
                statements.push_back(std::move(statement));
                statement.clear();
            }
            statement += statement.empty() ? header : ",";
            statement += row;
        }
    }
    if (!statement.empty()) statements.push_back(std::move(statement));
    return statements;
}
