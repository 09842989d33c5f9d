#pragma once
// What the plugin did, for the operator: one info line a minute while blocks
// flow, and one when the plugin shuts down. The clock is read inside send;
// the plugin starts no thread or timer of its own.
#include <chrono>
#include <cstdint>
#include <string>

class Activity {
public:
    void written(size_t readings, size_t refused, size_t changed) {
        ++m_blocks, m_readings += readings, m_refused += refused, m_changed += changed;
    }
    void retried() { ++m_retries; }
    void reconnected() { ++m_reconnections; }
    void inDoubt() { ++m_inDoubt; }
    void failed(const std::string& what) { m_lastError = what; }
    using Clock = std::chrono::steady_clock;
    // Logs the line when a minute has passed since the last one.
    void tick(Clock::time_point now = Clock::now());
    // Logs the line now, whatever the clock says.
    void log(const char* when);

private:
    Clock::time_point m_since = Clock::now();
    uint64_t m_blocks = 0, m_readings = 0, m_refused = 0, m_changed = 0, m_retries = 0, m_reconnections = 0,
             m_inDoubt = 0;
    std::string m_lastError;
};
