#pragma once
// Records what the code under test logs while the object lives, instead of
// writing it to standard error; the logger's default sink and previous level
// come back on destruction. Captures do not nest.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logger.h"

namespace testsupport {

class LogCapture {
public:
    explicit LogCapture(Logger::Level minLevel = Logger::Level::Debug) {
        // Shared with the sink, so a line written during destruction has a home.
        std::shared_ptr<State> state = m_state;
        Logger::getLogger()->setSink([state](Logger::Level level, const std::string& message) {
            static const char* const names[] = {"error: ", "warning: ", "info: ", "debug: "};
            std::lock_guard<std::mutex> lock(state->mutex);
            state->lines.push_back(names[static_cast<int>(level)] + message);
        });
        Logger::getLogger()->setMinLevel(minLevel);
    }
    ~LogCapture() {
        Logger::getLogger()->setSink({});
        Logger::getLogger()->setMinLevel(m_previousLevel);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // "error: ...", "warning: ...", "info: ...", "debug: ..."
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        return m_state->lines;
    }
    // Number of lines that contain `text`.
    size_t count(const std::string& text) const {
        size_t n = 0;
        for (const std::string& line : lines()) n += line.find(text) != std::string::npos;
        return n;
    }
    // The statements the plugin ran, from its "** Execute Query ==> " lines.
    std::vector<std::string> statements() const {
        static const std::string marker = "debug: ** Execute Query ==> ";
        std::vector<std::string> out;
        for (const std::string& line : lines())
            if (line.rfind(marker, 0) == 0) out.push_back(line.substr(marker.size()));
        return out;
    }
    // Where those that start with `start` stand among them.
    std::vector<size_t> statementsAt(const std::string& start) const {
        std::vector<size_t> at;
        std::vector<std::string> all = statements();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].rfind(start, 0) == 0) at.push_back(i);
        return at;
    }
    // Every line, for failure messages.
    std::string dump() const {
        std::string out;
        for (const std::string& line : lines()) out += line + "\n";
        return out;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->lines.clear();
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<std::string> lines;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
    Logger::Level m_previousLevel = Logger::getLogger()->getMinLevel();
};

}  // namespace testsupport
