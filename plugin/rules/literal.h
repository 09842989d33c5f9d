#pragma once
// SQL text literals that read the same under every server setting. Whether a
// backslash inside '...' is an escape depends on the server: Redshift always
// reads it as one, PostgreSQL only while standard_conforming_strings is off,
// and a session can change that setting under a live connection. So no
// backslash is ever written inside quotes: each one is written as
// chr(92)::varchar, joined to the quoted pieces around it with ||, which both
// servers read the same way whatever the setting:
//   a\b  ->  'a'||chr(92)::varchar||'b'
// The cast is for Redshift, whose chr() returns CHAR, a type whose trailing
// blanks do not count: were the concatenation taken as CHAR, a text ending in
// blanks could lose them. No test here can show what Redshift does there, so
// the literal gives it no CHAR at all.
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

// What stands for one backslash, outside the quotes.
constexpr char TEXT_LITERAL_BACKSLASH[] = "chr(92)::varchar";

// Appends a complete literal for text to out: quotes doubled, backslashes
// outside the quotes, NUL bytes (which text cannot hold) left out. Empty text
// (or only NULs) is ''.
inline void appendTextLiteral(std::string& out, std::string_view text) {
    bool written = false;  // a piece has been written, so the next needs ||
    bool quoted = false;   // inside a quoted piece
    size_t at = 0;
    while (at < text.size()) {
        char c = text[at];
        // A NUL byte is dropped: text columns cannot hold it.
        if (c == '\0') {
            ++at;
            continue;
        }
        // A backslash closes the quoted piece and stands on its own.
        if (c == '\\') {
            if (quoted) out.push_back('\'');
            if (written) out.append("||", 2);
            out.append(TEXT_LITERAL_BACKSLASH, sizeof TEXT_LITERAL_BACKSLASH - 1);
            written = true;
            quoted = false;
            ++at;
            continue;
        }
        if (!quoted) {
            if (written) out.append("||", 2);
            out.push_back('\'');
            written = quoted = true;
        }
        // A quote is doubled; anything else goes in as it is, a run at a time.
        if (c == '\'') {
            out.append("''", 2);
            ++at;
            continue;
        }
        size_t end = at + 1;
        while (end < text.size() && text[end] != '\'' && text[end] != '\\' && text[end] != '\0') ++end;
        out.append(text.data() + at, end - at);
        at = end;
    }
    if (quoted) out.push_back('\'');
    if (!written) out.append("''", 2);
}

// The literal of a text, as its own string.
inline std::string textLiteral(std::string_view text) {
    std::string out;
    appendTextLiteral(out, text);
    return out;
}

// A UTC time as the host gives a reading's, "YYYY-MM-DD HH:MM:SS.ffffff"
// with no zone, as the literal a TIMESTAMPTZ column reads without doubt.
inline std::string timestampLiteral(const std::string& utc) { return "'" + utc + "+00:00'"; }

// A moment of the plugin's own (a commit, a refusal) in the host's form. The
// host's library offers a plugin no clock, so the standard one is formatted here.
inline std::string utcText(std::chrono::system_clock::time_point when) {
    const auto second = std::chrono::floor<std::chrono::seconds>(when);
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(when - second).count();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(second);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06lld", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<long long>(micros));
    return text;
}
