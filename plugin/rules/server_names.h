#pragma once
// Names as the server keeps them. The server folds unquoted names to lower
// case, cuts names over its identifier limit without a word, and refuses a
// few column names outright; the plugin settles each of these itself, so that
// the name it remembers is exactly the name the server holds.
#include <cstddef>
#include <string>

// What the names depend on, from the server the connection reached.
struct Dialect {
    size_t identifierLimit;  // the longest name the server keeps, in bytes (over 17)
    bool redshift;           // Redshift also refuses a user column named oid
};

// The dialect of a server by the version libpq's PQserverVersion()
// reports: Redshift says 8.0.2 (80002) and allows 127-byte names; PostgreSQL
// 9.0 and later (90000 and up) allow 63 bytes.
Dialect dialectFor(int serverVersion);

// The column a datapoint gets, for a name already made valid by
// Redshift::getValidSQLName (only [A-Za-z0-9_], never a leading digit): the
// name in ASCII lower case, with "$" after a name the server or the plugin's
// own fixed columns already take, and over-long names shortened to
// prefix + "$" + 16 hex digits of a hash of the whole name. Valid names hold
// no "$", so a changed name never equals an unchanged one.
std::string columnNameFor(const std::string& validName, const Dialect& dialect);

// The table for a valid name: lower case, and the same shortening as for
// columns. No table name is taken by the server. (Not "tableNameFor": that
// name is a member of Redshift and would hide this one inside it.)
std::string serverTableName(const std::string& validName, const Dialect& dialect);

// What the server itself makes of a name over its limit: the longest prefix
// within the limit that ends on a character boundary. Tables created before
// the plugin shortened names itself hold their columns in this form.
std::string serverCutName(const std::string& storedName, size_t limit);
