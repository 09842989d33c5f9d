#pragma once
// The process-wide logger. A line below the set level is dropped before its
// arguments are formatted, so debug lines cost nothing when debug is off.
#include <atomic>
#include <cstdarg>
#include <functional>
#include <mutex>
#include <string>

#if defined(__GNUC__)
#define HOST_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define HOST_PRINTF_FORMAT(f, a)
#endif

class Logger {
public:
    enum class Level { Error = 0, Warning = 1, Info = 2, Debug = 3 };
    using Sink = std::function<void(Level, const std::string&)>;

    static Logger* getLogger();

    void setMinLevel(Level level) { m_level.store(static_cast<int>(level), std::memory_order_relaxed); }
    Level getMinLevel() const { return static_cast<Level>(m_level.load(std::memory_order_relaxed)); }
    bool isEnabled(Level level) const { return static_cast<int>(level) <= m_level.load(std::memory_order_relaxed); }
    // An empty sink restores the default: one line per message on standard error.
    void setSink(Sink sink);

    void error(const char* fmt, ...) HOST_PRINTF_FORMAT(2, 3);
    void warn(const char* fmt, ...) HOST_PRINTF_FORMAT(2, 3);
    void info(const char* fmt, ...) HOST_PRINTF_FORMAT(2, 3);
    void debug(const char* fmt, ...) HOST_PRINTF_FORMAT(2, 3);

    static const char* levelName(Level level);
    // Parses "error", "warning", "info" or "debug"; false for anything else.
    static bool parseLevel(const std::string& text, Level& level);

private:
    Logger() = default;
    void write(Level level, const char* fmt, va_list args);

    std::atomic<int> m_level{static_cast<int>(Level::Info)};
    std::mutex m_sinkMutex;
    Sink m_sink;
};
