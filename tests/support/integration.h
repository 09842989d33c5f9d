#pragma once
// What the integration test programs share, and include alone: the plugin
// on this program's database, tables made by hand, and the counts their
// checks read.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "builders.h"
#include "log_capture.h"
#include "redshift.h"
#include "relay.h"
#include "test_db.h"

namespace testsupport {

inline TestDb& db() { return TestDb::get(); }
inline std::string cell(const std::string& sql) { return db().scalar(sql); }

using Items = std::vector<std::pair<std::string, std::string>>;

// The plugin's configuration on this program's database, `items` set over
// it; and a plugin object so configured.
inline std::unique_ptr<ConfigCategory> configWith(const Items& items) {
    auto config = db().config();
    for (const auto& item : items) config->setValue(item.first, item.second);
    return config;
}
inline std::unique_ptr<Redshift> plugin(const Items& items = {}, Redshift::Options options = {}) {
    auto redshift = std::make_unique<Redshift>(options);
    redshift->configure(configWith(items).get());
    return redshift;
}

// A relay to this program's database that says the server is Redshift.
struct RedshiftRelay : Relay {
    RedshiftRelay() : Relay(db().port()) { reportRedshiftVersion(true); }
};

// The item that points a plugin at `relay`.
inline std::pair<std::string, std::string> via(const Relay& relay) { return {"port", std::to_string(relay.port())}; }

inline Redshift::Options deadline(std::chrono::milliseconds requestTimeout) {
    Redshift::Options options;
    options.requestTimeout = requestTimeout;
    return options;
}

// Readings from..to-1 of `asset`, each its number in n and its own user_ts.
inline Block numbered(const std::string& asset, int from, int to) {
    Block block;
    for (int i = from; i < to; ++i) block.add(asset, {dpInt("n", i)}, kTestTime + i);
    return block;
}

// A table as the plugin would make it, the four fixed columns then `more`.
inline std::string fixedTable(const std::string& table, const std::string& more) {
    return "CREATE TABLE " + table + " (asset_code VARCHAR(256), user_ts TIMESTAMPTZ, ts TIMESTAMPTZ, vantrel "
           "VARCHAR(256), " + more + ")";
}

// A session of the plugin's role that holds `table` locked until it ends its transaction.
inline Client locking(const std::string& table) {
    Client client(db().connectString());
    client.exec("BEGIN; LOCK TABLE " + table + " IN ACCESS EXCLUSIVE MODE");
    return client;
}

// The pid of a session of this database that waits for a lock, once
// `sessions` do; empty if they do not within 10 s.
inline std::string lockWaiter(size_t sessions = 1) {
    for (int i = 0; i < 1000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        Rows found = db().query("SELECT pid FROM pg_stat_activity WHERE datname = current_database() AND "
                                "wait_event_type = 'Lock'");
        if (found.size() >= sessions) return found[0][0].value_or("");
    }
    return "";
}

// Makes the server refuse any DDL statement whose text is LIKE `pattern`, until allowDdl().
inline void refuseDdl(const std::string& pattern) {
    db().exec("CREATE FUNCTION refuse() RETURNS event_trigger LANGUAGE plpgsql AS $$ BEGIN IF current_query() LIKE '" +
              pattern + "' THEN RAISE EXCEPTION 'refused'; END IF; END $$;"
              "CREATE EVENT TRIGGER refuse ON ddl_command_end EXECUTE FUNCTION refuse()");
}
inline void allowDdl() { db().exec("DROP EVENT TRIGGER refuse; DROP FUNCTION refuse"); }

// "rows/distinct n refused r": the table's rows, its distinct n, and its
// readings kept as refused (their first parts, so a reading kept twice counts twice).
inline std::string tally(const std::string& table) {
    return cell("SELECT (SELECT count(*) || '/' || count(DISTINCT n) FROM " + table + ") || ' refused ' || (SELECT "
                "count(*) FROM \"cirrant$rejects\" WHERE outcome = 'refused' AND part = 1 AND table_name = '" +
                table + "')");
}

// Every n from..to-1 once, and nothing else.
inline void expectExactly(const std::string& table, int from, int to) {
    EXPECT_EQ(cell("SELECT count(*) || ' ' || count(DISTINCT n) || ' ' || min(n) || ' ' || max(n) FROM " + table),
              std::to_string(to - from) + " " + std::to_string(to - from) + " " + std::to_string(from) + " " +
                  std::to_string(to - 1));
}

}  // namespace testsupport
