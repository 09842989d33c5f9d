#pragma once
// The libpq connection string, and keeping the password out of the log.
#include <string>

// The connection string for the plugin's settings. Every value is quoted by
// libpq's rules (in single quotes, with ' and \ escaped by a backslash), so
// any value arrives intact and none can add or override a parameter;
// client_encoding=UTF8 comes last and cannot be overridden, since the
// server's text is UTF-8 whatever the client's environment says. The port is
// a number and stands bare. No length limit.
std::string buildConnectString(const std::string& host, int port, const std::string& dbName,
                               const std::string& user, const std::string& password);

// The password a connection string holds, read with libpq's own parser;
// empty when it holds none or does not parse.
std::string passwordOf(const std::string& connectString);

// The text of a failure to connect as it may be logged: trailing line breaks
// and blanks taken off, and the password taken out (replaced by ****), whole
// and each of its pieces between blanks, '=', quotes and backslashes: libpq
// quotes pieces of a connection string it cannot read back in its errors. Pieces
// shorter than three bytes stay: taking out every "a" or "to" would leave
// nothing readable, and so short a piece gives little away.
std::string connectFailureText(const std::string& what, const std::string& password);
