#include "logger.h"

#include <cstdio>

Logger* Logger::getLogger() {
    // The object is deliberately leaked: plugins and static destructors may
    // still log while the process exits, after a static Logger object would
    // already have been destroyed.
    static Logger* const instance = new Logger();
    return instance;
}

void Logger::setSink(Sink sink) {
    std::lock_guard<std::mutex> lock(m_sinkMutex);
    m_sink = std::move(sink);
}

// The level check comes before va_start, so a disabled line costs one relaxed
// load and never formats its arguments.
#define LOGGER_LEVEL_METHOD(method, level)         \
    void Logger::method(const char* fmt, ...) {    \
        if (!isEnabled(level)) return;             \
        va_list args;                              \
        va_start(args, fmt);                       \
        write(level, fmt, args);                   \
        va_end(args);                              \
    }

LOGGER_LEVEL_METHOD(error, Level::Error)
LOGGER_LEVEL_METHOD(warn, Level::Warning)
LOGGER_LEVEL_METHOD(info, Level::Info)
LOGGER_LEVEL_METHOD(debug, Level::Debug)

#undef LOGGER_LEVEL_METHOD

void Logger::write(Level level, const char* fmt, va_list args) {
    if (!fmt) return;
    // Measure first, then format into a string of exactly that size: lines of
    // any length (SQL statements, say) arrive whole.
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);

    std::string message;
    if (needed < 0) {
        message = fmt;  // the format itself is broken; the raw text still says where
    } else {
        message.resize(static_cast<size_t>(needed));
        std::vsnprintf(message.data(), message.size() + 1, fmt, args);
    }
    // The sink adds line ends; a caller's own trailing newline would double them.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();

    std::lock_guard<std::mutex> lock(m_sinkMutex);
    if (m_sink) {
        // Logging must never make the caller fail.
        try {
            m_sink(level, message);
        } catch (...) {
        }
        return;
    }
    std::string line;
    switch (level) {
    case Level::Error: line = "ERROR: "; break;
    case Level::Warning: line = "WARNING: "; break;
    case Level::Info: line = "INFO: "; break;
    case Level::Debug: line = "DEBUG: "; break;
    }
    line += message;
    line += '\n';
    // One fwrite per line, so lines from other writers to stderr do not interleave within it.
    std::fwrite(line.data(), 1, line.size(), stderr);
}

const char* Logger::levelName(Level level) {
    switch (level) {
    case Level::Error: return "error";
    case Level::Warning: return "warning";
    case Level::Info: return "info";
    case Level::Debug: return "debug";
    }
    return "unknown";
}

bool Logger::parseLevel(const std::string& text, Level& level) {
    for (Level l : {Level::Error, Level::Warning, Level::Info, Level::Debug}) {
        if (text == levelName(l)) {
            level = l;
            return true;
        }
    }
    return false;
}
