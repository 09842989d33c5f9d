#pragma once
// Records what the code under test logs, for the lifetime of the object.
// While it lives, Logger::getLogger() writes into it instead of standard
// error, at the level given (debug by default). On destruction the logger
// gets its default sink and its previous level back. Captures do not nest:
// the logger cannot report its current sink, so the inner one's destructor
// restores the default sink, not the outer capture.
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logger.h"

namespace testsupport {

class LogCapture {
public:
    struct Entry {
        Logger::Level level;
        std::string message;
    };

    explicit LogCapture(Logger::Level minLevel = Logger::Level::Debug);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Entry> entries() const;
    // "error: ...", "warning: ...", "info: ...", "debug: ..."
    std::vector<std::string> lines() const;
    std::vector<std::string> messages(Logger::Level level) const;
    // Both match against the formatted lines, so "warning: lost" and "lost" work.
    bool contains(const std::string& substring) const;
    // Number of lines that contain `substring`.
    size_t count(const std::string& substring) const;
    void clear();
    // The statements the plugin ran, from its "** Execute Query ==> " lines.
    std::vector<std::string> statements() const;
    // Every line, one per line of text, for failure messages.
    std::string dump() const;

    static std::string levelText(Logger::Level level);

private:
    struct State {
        mutable std::mutex mutex;
        std::vector<Entry> entries;
    };
    // Shared with the sink, so a line being written while the capture is
    // destroyed still has somewhere to go.
    std::shared_ptr<State> m_state;
    Logger::Level m_previousLevel;
};

}  // namespace testsupport
