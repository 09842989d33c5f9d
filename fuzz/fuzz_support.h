#pragma once
// Shared by the fuzz targets: a property check that survives NDEBUG builds,
// and a logger that keeps quiet so that the fuzzer's own output stays
// readable and logging costs nothing per input.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "logger.h"
#include "rules/names.h"

// Not assert(): a broken property must abort so that libFuzzer keeps the
// input, whatever NDEBUG says in the build at hand.
#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

inline void silenceLogger() {
    Logger* logger = Logger::getLogger();
    logger->setMinLevel(Logger::Level::Error);
    // Errors are expected for bad inputs too; they are not findings.
    logger->setSink([](Logger::Level, const std::string&) {});
}

// A name the plugin can put in a statement bare: only [A-Za-z0-9_], and no
// leading digit. The empty name passes; callers decide whether it may occur.
inline bool isValidSqlName(const std::string& name) {
    if (!name.empty() && name[0] >= '0' && name[0] <= '9') return false;
    for (char c : name)
        if (!names::isNameByte(c)) return false;
    return true;
}

// Shows a string with the bytes a terminal would mangle escaped.
inline std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}
