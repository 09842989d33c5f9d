#pragma once
// What a failed statement means for the plugin: one table, by SQLSTATE (the
// exact code, else its class, else a default) and by the kind of statement
// that failed. Whether the connection can still be used is the session's to
// say, never this table's. On Redshift's rules only, XX000 and 42601 are
// refined by the message, because Redshift puts the meaning there.
#include <string>

enum class StatementKind {
    Ddl,          // CREATE or ALTER of a table of readings
    Data,         // an INSERT of readings
    Bookkeeping,  // the ledger and the rejects table
    Copy,         // a COPY of a staged table
};

enum class Action {
    Reconnect,  // the session is gone or going: open a new one, run again
    Pause,      // a conflict with another writer: roll back, pause, run again
    Reread,     // a table is not as the cache says: read it again, then retry
    Isolate,    // a row may be to blame: read the tables again, then find it
    Split,      // the request is too large for the server: halve it
    Wait,       // nothing a row did: the block waits for the host's next try
    Permanent,  // this DDL will never succeed: the table's readings are refused
    // A COPY failed; its table goes by INSERT in the same call:
    LoadByInsert,  // a row was refused, which isolation then finds
    Unstage,       // for no row's sake (S3, the role, the region): the operator hears
};

Action actionFor(StatementKind kind, const std::string& sqlstate, const std::string& message, bool redshiftRules);
