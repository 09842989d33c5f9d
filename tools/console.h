#pragma once
// Standard error, shared by north-run's messages, the plugin's log lines and
// the progress line.
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

namespace northrun {

// Everything north-run and the plugin write to standard error goes through
// here, so a message never lands in the middle of the progress line: the line
// is wiped, the message written, and the line drawn again.
class Console {
public:
    void enableProgress();
    bool progressEnabled() const { return m_progress; }

    // One line of text, then the progress line again.
    void message(const std::string& text);
    // Replaces the progress line (when it is enabled).
    void progress(const std::string& text);
    // Leaves the last progress line standing and moves past it.
    void endProgress();

private:
    void wipe();
    void draw();

    std::mutex m_mutex;
    bool m_progress = false;
    bool m_terminal = false;
    bool m_shown = false;
    size_t m_width = 0;
    std::string m_last;
};

// The one console; it outlives main, since the plugin may log from static
// destructors and the logger's sink points here.
Console& console();

// "north-run: " + text, as a message.
void say(const std::string& text);

// A wait in seconds, as short as it reads well: "0.25", "3.7", "57"; never
// below 0.
std::string secondsText(std::chrono::steady_clock::duration d);

}  // namespace northrun
