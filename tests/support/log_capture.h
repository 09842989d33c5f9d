#pragma once
// Records what the code under test logs while the object lives, instead of
// writing it to standard error; the logger's default sink and previous level
// come back on destruction. Captures do not nest.
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logger.h"

namespace testsupport {

class LogCapture {
public:
    explicit LogCapture(Logger::Level minLevel = Logger::Level::Debug);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // "error: ...", "warning: ...", "info: ...", "debug: ..."
    std::vector<std::string> lines() const;
    // Number of lines that contain `text`.
    size_t count(const std::string& text) const;
    // The statements the plugin ran, from its "** Execute Query ==> " lines.
    std::vector<std::string> statements() const;
    // Every line, for failure messages.
    std::string dump() const;
    void clear();

private:
    struct State {
        std::mutex mutex;
        std::vector<std::string> lines;
    };
    // Shared with the sink, so a line written during destruction has a home.
    std::shared_ptr<State> m_state;
    Logger::Level m_previousLevel;
};

}  // namespace testsupport
