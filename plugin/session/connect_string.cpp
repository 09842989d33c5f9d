// Building the libpq connection string and redacting the password.
#include "session/connect_string.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <memory>


namespace {

// Pieces of the password shorter than this are not redacted.
const size_t MIN_SECRET = 3;

// One libpq value: in single quotes, with ' and \ escaped by a backslash.
void appendQuoted(std::string& out, const std::string& value) {
    out += '\'';
    for (char c : value) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    out += '\'';
}

bool isPieceBreak(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v' || c == '=' || c == '\'' ||
           c == '\\' || c == '"';
}

void redact(std::string& message, const std::string& secret) {
    // Too short a piece would take out ordinary words of the message.
    if (secret.size() < MIN_SECRET) return;
    for (size_t at = message.find(secret); at != std::string::npos; at = message.find(secret, at + 4))
        message.replace(at, secret.size(), "****");
}

}  // namespace

std::string buildConnectString(const std::string& host, int port, const std::string& dbName,
                               const std::string& user, const std::string& password) {
    std::string out = "host=";
    appendQuoted(out, host);
    out += " port=" + std::to_string(port) + " dbname=";
    appendQuoted(out, dbName);
    out += " user=";
    appendQuoted(out, user);
    out += " password=";
    appendQuoted(out, password);
    // Last, so that it holds whatever came before.
    out += " client_encoding=UTF8";
    // A dead link is noticed within about a minute, not at the kernel's
    // leisure; connecting waits 10 s unless PGCONNECT_TIMEOUT says otherwise.
    out += " keepalives=1 keepalives_idle=30 keepalives_interval=10 keepalives_count=3 tcp_user_timeout=60000";
    if (!std::getenv("PGCONNECT_TIMEOUT")) out += " connect_timeout=10";
    return out;
}

std::string passwordOf(const std::string& connectString) {
    char* error = nullptr;
    std::unique_ptr<PQconninfoOption, void (*)(PQconninfoOption*)> options(
        PQconninfoParse(connectString.c_str(), &error), PQconninfoFree);
    if (error) PQfreemem(error);
    if (!options) return {};
    for (const PQconninfoOption* option = options.get(); option->keyword; ++option)
        if (std::string(option->keyword) == "password" && option->val) return option->val;
    return {};
}

std::string connectFailureText(const std::string& what, const std::string& password) {
    std::string message(what);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    redact(message, password);
    size_t start = 0;
    while (start < password.size()) {
        size_t end = start;
        while (end < password.size() && !isPieceBreak(password[end])) ++end;
        redact(message, password.substr(start, end - start));
        start = end + 1;
    }
    return message;
}
