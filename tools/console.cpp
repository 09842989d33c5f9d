#include "console.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace northrun {

void Console::enableProgress() {
    m_progress = true;
    m_terminal = ::isatty(STDERR_FILENO) == 1;
}

void Console::message(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    wipe();
    std::string line = text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    draw();
}

void Console::progress(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_progress) return;
    m_last = text;
    draw();
}

void Console::endProgress() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_shown) std::fputs("\n", stderr);
    m_shown = false;
    m_progress = false;
}

void Console::wipe() {
    if (!m_shown) return;
    // A terminal may have echoed "^C" past the end of the line: erase to
    // the end of the line there; elsewhere blanks will do.
    std::string blank = m_terminal ? "\r\033[K" : "\r" + std::string(m_width, ' ') + "\r";
    std::fwrite(blank.data(), 1, blank.size(), stderr);
    m_shown = false;
}

void Console::draw() {
    if (!m_progress || m_last.empty()) return;
    std::string line = "\r" + m_last;
    // Pad over the tail of a longer line drawn before.
    if (m_last.size() < m_width) line.append(m_width - m_last.size(), ' ');
    m_width = std::max(m_width, m_last.size());
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    m_shown = true;
}

Console& console() {
    // Leaked on purpose: see the header.
    static Console* const instance = new Console();
    return *instance;
}

void say(const std::string& text) { console().message("north-run: " + text); }

std::string secondsText(std::chrono::steady_clock::duration d) {
    double s = std::max(0.0, std::chrono::duration<double>(d).count());
    char text[32];
    std::snprintf(text, sizeof text, s < 1 ? "%.2f" : s < 10 ? "%.1f" : "%.0f", s);
    return text;
}

}  // namespace northrun
