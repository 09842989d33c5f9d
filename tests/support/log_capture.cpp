#include "log_capture.h"

namespace testsupport {

LogCapture::LogCapture(Logger::Level minLevel)
    : m_state(std::make_shared<State>()), m_previousLevel(Logger::getLogger()->getMinLevel()) {
    std::shared_ptr<State> state = m_state;
    Logger::getLogger()->setSink([state](Logger::Level level, const std::string& message) {
        static const char* const names[] = {"error: ", "warning: ", "info: ", "debug: "};
        std::lock_guard<std::mutex> lock(state->mutex);
        state->lines.push_back(names[static_cast<int>(level)] + message);
    });
    Logger::getLogger()->setMinLevel(minLevel);
}

LogCapture::~LogCapture() {
    Logger::getLogger()->setSink({});
    Logger::getLogger()->setMinLevel(m_previousLevel);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->lines;
}

size_t LogCapture::count(const std::string& text) const {
    size_t n = 0;
    for (const std::string& line : lines()) n += line.find(text) != std::string::npos;
    return n;
}

std::vector<std::string> LogCapture::statements() const {
    static const std::string marker = "debug: ** Execute Query ==> ";
    std::vector<std::string> out;
    for (const std::string& line : lines())
        if (line.rfind(marker, 0) == 0) out.push_back(line.substr(marker.size()));
    return out;
}

std::string LogCapture::dump() const {
    std::string out;
    for (const std::string& line : lines()) out += line + "\n";
    return out;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->lines.clear();
}

}  // namespace testsupport
