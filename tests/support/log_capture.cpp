#include "log_capture.h"

#include <algorithm>

namespace testsupport {

LogCapture::LogCapture(Logger::Level minLevel)
    : m_state(std::make_shared<State>()), m_previousLevel(Logger::getLogger()->getMinLevel()) {
    std::shared_ptr<State> state = m_state;
    Logger::getLogger()->setSink([state](Logger::Level level, const std::string& message) {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->entries.push_back({level, message});
    });
    Logger::getLogger()->setMinLevel(minLevel);
}

LogCapture::~LogCapture() {
    Logger::getLogger()->setSink({});
    Logger::getLogger()->setMinLevel(m_previousLevel);
}

std::string LogCapture::levelText(Logger::Level level) {
    switch (level) {
    case Logger::Level::Error:
        return "error";
    case Logger::Level::Warning:
        return "warning";
    case Logger::Level::Info:
        return "info";
    case Logger::Level::Debug:
        return "debug";
    }
    return "level" + std::to_string(static_cast<int>(level));
}

std::vector<LogCapture::Entry> LogCapture::entries() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->entries;
}

std::vector<std::string> LogCapture::lines() const {
    std::vector<std::string> out;
    for (const auto& e : entries()) out.push_back(levelText(e.level) + ": " + e.message);
    return out;
}

std::vector<std::string> LogCapture::messages(Logger::Level level) const {
    std::vector<std::string> out;
    for (const auto& e : entries())
        if (e.level == level) out.push_back(e.message);
    return out;
}

bool LogCapture::contains(const std::string& substring) const { return count(substring) > 0; }

size_t LogCapture::count(const std::string& substring) const {
    const auto all = lines();
    return static_cast<size_t>(std::count_if(all.begin(), all.end(), [&](const std::string& line) {
        return line.find(substring) != std::string::npos;
    }));
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->entries.clear();
}

std::string LogCapture::dump() const {
    std::string out;
    for (const auto& line : lines()) out += line + "\n";
    return out;
}

std::vector<std::string> LogCapture::statements() const {
    static const std::string marker = "** Execute Query ==> ";
    std::vector<std::string> out;
    for (const std::string& message : messages(Logger::Level::Debug))
        if (message.rfind(marker, 0) == 0) out.push_back(message.substr(marker.size()));
    return out;
}

}  // namespace testsupport
