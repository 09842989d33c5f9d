#include "runner.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <thread>

#include "console.h"
#include "line_reader.h"
#include "reading_line.h"
#include "stop_signal.h"
#include "text_file.h"

using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace northrun {
namespace {

constexpr unsigned kTriesBeforeFirstBlock = 5;

double secondsSince(steady_clock::time_point start) {
    return std::chrono::duration<double>(steady_clock::now() - start).count();
}

}  // namespace

uint64_t ratePerSecond(uint64_t count, double seconds) {
    return static_cast<uint64_t>(static_cast<double>(count) / std::max(seconds, 1e-6) + 0.5);
}

milliseconds backoffDelay(milliseconds base, unsigned failures) {
    static std::mt19937 random{std::random_device{}()};
    const double ms = static_cast<double>(base.count());
    double full = std::min(ms * std::ldexp(1.0, static_cast<int>(std::min(failures, 10u)) - 1), 60 * ms);
    return milliseconds(static_cast<int64_t>(full * std::uniform_real_distribution<double>(0.75, 1.0)(random)));
}

bool Runner::run(int fd, const InputPosition& from) {
    m_start = steady_clock::now();
    m_readTo = from;
    // Signals stay with the reading thread, whose read() they must end.
    sigset_t stop, previous;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, &previous);
    std::thread sender([this] { sendAll(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    bool complete = readInput(fd, from);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_inputDone = true;
    }
    m_changed.notify_all();
    sender.join();
    m_seconds = secondsSince(m_start);
    tick(true);
    return complete;
}

bool Runner::readInput(int fd, const InputPosition& from) {
    LineReader reader(fd, from.offset);
    std::string line;
    uint64_t lineNumber = from.line - 1;
    while (waitForRoom()) {
        LineReader::Result result = reader.next(line);
        if (result == LineReader::End || result == LineReader::Interrupted) break;
        if (result == LineReader::Failed) {
            say("cannot read the readings after line " + std::to_string(lineNumber) + ": " +
                pluginhost::errnoText(reader.error()));
            return false;
        }
        ++lineNumber;
        takeLine(line, {reader.lineOffset(), lineNumber}, reader.endOffset(), reader.ended());
        tick(false);
    }
    return true;
}

// At most two blocks wait in memory, as before: the one the plugin has and
// the next. False when reading should stop: a stop signal (what was read is
// still sent), or a sender that gave up.
bool Runner::waitForRoom() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (g_stopSignal || m_sendingDone) return false;
        if (m_queue.size() / 2 < m_settings.blockSize) return true;
        // A signal does not wake a condition variable: look again soon.
        m_changed.wait_for(lock, milliseconds(100));
    }
}

void Runner::takeLine(const std::string& line, const InputPosition& at, uint64_t endOffset, bool ended) {
    const bool blank = isBlankLine(line.data(), line.size());
    std::string error;
    std::unique_ptr<Reading> reading = blank ? nullptr : parseReadingLine(line.data(), line.size(), error);
    const bool rejected = !blank && !reading;
    if (reading) m_counts.tables.insert(targetTableName(*reading));
    if (rejected && !ended) error += "; the line has no end yet: a resume reads it again";
    bool blockFull = false;
    {
        // The line and the position past it move together, so the position
        // recorded for a resume never skips a reading still on its way. A
        // last line without its end may still be being written: past it only
        // once it is a reading, and then still in the same line, whose end is
        // to come; else a resume starts before it and reads it again whole.
        std::lock_guard<std::mutex> lock(m_mutex);
        if (ended || reading) m_readTo = {endOffset, ended ? at.line + 1 : at.line};
        if (reading) {
            ++m_counts.read;
            m_queue.push_back({std::move(reading), at});
            blockFull = m_queue.size() == m_settings.blockSize;
        } else if (rejected) {
            ++m_counts.rejected;
        }
    }
    if (blockFull) m_changed.notify_all();
    if (rejected) say("line " + std::to_string(at.line) + ": " + error);
}

void Runner::sendAll() {
    unsigned failures = 0;  // tries in a row the plugin did not take whole
    Try attempt;
    while (nextTry(attempt, failures > 0)) {
        const uint32_t sent = deliver(attempt.readings);
        acknowledge(sent);
        if (sent == attempt.readings.size()) {
            failures = 0;
            continue;
        }
        failures = sent > 0 ? 1 : failures + 1;
        if (!waitBeforeTry(attempt, sent, failures)) break;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sendingDone = true;
    }
    m_changed.notify_all();
}

// The readings to offer next: those the plugin has not taken, from the first
// on, up to a block. A first try waits for a full block or the end of the
// input; a try again goes with what there is.
bool Runner::nextTry(Try& attempt, bool again) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!again) m_changed.wait(lock, [this] { return m_queue.size() >= m_settings.blockSize || m_inputDone; });
    if (m_queue.empty()) return false;
    const size_t n = std::min(m_settings.blockSize, m_queue.size());
    attempt.readings.clear();
    for (size_t i = 0; i < n; ++i) attempt.readings.push_back(m_queue[i].reading.get());
    attempt.firstLine = m_queue.front().at.line;
    attempt.lastLine = m_queue[n - 1].at.line;
    return true;
}

uint32_t Runner::deliver(const std::vector<Reading*>& readings) {
    uint32_t sent = 0;
    try {
        PluginCall call("plugin_send");
        sent = m_plugin.send(m_handle, readings);
    } catch (const std::exception& e) {
        say(std::string("plugin_send failed: ") + e.what());
    } catch (...) {
        say("plugin_send failed with an unknown exception");
    }
    return static_cast<uint32_t>(std::min<size_t>(sent, readings.size()));
}

// The readings the plugin took leave the queue and are freed, as the host
// frees what was sent; the position of the rest is passed on.
void Runner::acknowledge(uint32_t sent) {
    std::vector<std::unique_ptr<Reading>> taken;
    InputPosition next;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_counts.blocks;
        m_counts.sent += sent;
        for (uint32_t i = 0; i < sent; ++i) {
            taken.push_back(std::move(m_queue.front().reading));
            m_queue.pop_front();
        }
        next = m_queue.empty() ? m_readTo : m_queue.front().at;
    }
    if (sent == 0) return;
    m_anyTaken = true;
    m_changed.notify_all();
    if (m_acknowledged) m_acknowledged(next);
}

// After a try the plugin did not take whole: false when the block has had
// its tries or a stop was asked for, else true after the backoff.
bool Runner::waitBeforeTry(const Try& attempt, uint32_t sent, unsigned failures) {
    const std::string what = "lines " + std::to_string(attempt.firstLine) + "-" + std::to_string(attempt.lastLine) +
                             ": the plugin sent " + std::to_string(sent) + " of " +
                             std::to_string(attempt.readings.size()) + " readings";
    const unsigned limit = m_settings.maxTries ? m_settings.maxTries : m_anyTaken ? 0 : kTriesBeforeFirstBlock;
    if (limit != 0 && failures >= limit) {
        say(what + "; giving up after " + std::to_string(failures) + (failures == 1 ? " try" : " tries"));
        return false;
    }
    if (g_stopSignal) {
        say(what);
        return false;
    }
    const milliseconds delay = backoffDelay(m_settings.backoff, failures);
    if (!console().progressEnabled()) say(what + "; trying again in " + secondsText(delay) + " s");
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waiting = what;
        m_nextTry = steady_clock::now() + delay;
    }
    const bool waited = sleepUntil(m_nextTry);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waiting.clear();
    }
    tick(true);
    return waited;
}

// Short sleeps, so that a stop signal ends the wait at once. False when one did.
bool Runner::sleepUntil(steady_clock::time_point until) {
    for (;;) {
        if (g_stopSignal) return false;
        const steady_clock::time_point now = steady_clock::now();
        if (now >= until) return true;
        std::this_thread::sleep_for(std::min<steady_clock::duration>(until - now, milliseconds(50)));
        tick(false);
    }
}

void Runner::tick(bool force) {
    if (!console().progressEnabled()) return;
    std::string text;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const steady_clock::time_point now = steady_clock::now();
        if (!force && now - m_lastTick < milliseconds(200)) return;
        m_lastTick = now;
        double seconds = std::chrono::duration<double>(now - m_start).count();
        text = "read " + std::to_string(m_counts.read) + " sent " + std::to_string(m_counts.sent) + " rejected " +
               std::to_string(m_counts.rejected) + " rate " + std::to_string(ratePerSecond(m_counts.sent, seconds)) +
               "/s";
        if (!m_waiting.empty())
            text += "; waiting: " + m_waiting + ", next try in " + secondsText(m_nextTry - now) + " s";
    }
    console().progress(text);
}

}  // namespace northrun
