#include "failure.h"

Failure classify(const std::string& state) {
    // No state: libpq lost the connection before the server answered.
    if (state.size() != 5) return Failure::Lost;
    std::string cls = state.substr(0, 2);
    // Connection exceptions, and a server shutting down or restarting.
    if (cls == "08" || state == "57P01" || state == "57P02" || state == "57P03") return Failure::Lost;
    // Too many connections, a serialisation conflict or a deadlock: worth one more try.
    if (state == "53300" || state == "40001" || state == "40P01") return Failure::Lost;
    // Duplicate table, column or object; 23505 is what a CREATE racing another
    // session's CREATE of the same table meets in the catalogue.
    if (state == "42P07" || state == "42701" || state == "42710" || state == "23505") return Failure::AlreadyThere;
    if (state == "42P01" || state == "42703") return Failure::Undefined;
    // Data exceptions, integrity violations, and a row too big for its page.
    if (cls == "22" || cls == "23" || state == "54000") return Failure::RowData;
    if (state == "42501") return Failure::NoPrivilege;
    return Failure::Other;
}
