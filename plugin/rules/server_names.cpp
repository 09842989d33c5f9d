// Column and table names as the server will store them.
#include "rules/server_names.h"

#include <cstdint>

#include "rules/column_types.h"
#include "rules/fnv1a.h"
#include "rules/names.h"
#include "rules/utf8.h"

namespace {

// The server's system columns: it refuses a user column of such a name.
const char* const SYSTEM_COLUMNS[] = {"xmin", "xmax", "cmin", "cmax", "ctid", "tableoid"};

// Hex digits of the hash a shortened name ends with, after its "$".
const size_t HASH_DIGITS = 16;

bool isTaken(const std::string& column, const Dialect& dialect) {
    for (const char* taken : SYSTEM_COLUMNS)
        if (column == taken) return true;
    // The plugin's own fixed columns are there already.
    for (const Column& fixed : FIXED_COLUMNS)
        if (column == fixed.first) return true;
    // Redshift keeps oid among its system columns; PostgreSQL 12 and later do not.
    return dialect.redshift && column == "oid";
}

// A lower-case name over the limit becomes a prefix, "$" and the hash of the
// whole name, limit bytes in all; shorter names stay as they are.
std::string withinLimit(const std::string& name, size_t limit) {
    if (name.size() <= limit) return name;
    std::string out = name.substr(0, fitUtf8(name, limit - HASH_DIGITS - 1));
    out += '$';
    static const char digits[] = "0123456789abcdef";
    uint64_t hash = fnv1a(name);
    for (size_t shift = 4 * HASH_DIGITS; shift > 0; shift -= 4) out += digits[(hash >> (shift - 4)) & 0xF];
    return out;
}

}  // namespace

Dialect dialectFor(int serverVersion) {
    // No PostgreSQL this plugin can meet is older than 9.0: anything below
    // is Redshift, which reports the 8.0.2 it forked from.
    if (serverVersion < 90000) return Dialect{127, true};
    return Dialect{63, false};
}

std::string columnNameFor(const std::string& validName, const Dialect& dialect) {
    std::string name = names::folded(validName);
    // A name the server or the plugin's fixed columns take gets a column of its own.
    if (isTaken(name, dialect)) return name + '$';
    return withinLimit(name, dialect.identifierLimit);
}

std::string serverTableName(const std::string& validName, const Dialect& dialect) {
    return withinLimit(names::folded(validName), dialect.identifierLimit);
}

std::string serverCutName(const std::string& storedName, size_t limit) {
    return storedName.substr(0, fitUtf8(storedName, limit));
}
