#pragma once
// The process-wide logger. A line below the set level is dropped before its
// arguments are formatted, so debug lines cost nothing when debug is off.
// Only what the host offers a plugin; levels and sinks are set through the
// stand-in's extras in standin/include.
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

    static Logger* getLogger();

    void error(const char* fmt, ...) HOST_PRINTF_FORMAT(2, 3);
    void info(const char* fmt, ...) HOST_PRINTF_FORMAT(2, 3);
    void debug(const char* fmt, ...) HOST_PRINTF_FORMAT(2, 3);

private:
    using Sink = std::function<void(Level, const std::string&)>;

    Logger() = default;

    std::atomic<int> m_level{static_cast<int>(Level::Info)};
    std::mutex m_sinkMutex;
    Sink m_sink;

#if __has_include("logger_standin.h")
#include "logger_standin.h"
#endif
};
