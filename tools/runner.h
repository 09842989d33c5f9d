#pragma once
// The run itself: lines read and parsed into a queue of readings on the main
// thread, and a sender thread that hands them to plugin_send in blocks while
// the next ones are parsed. What the plugin does not take is offered again,
// at the head of the next call, as the host does.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "input_position.h"
#include "plugin_host.h"
#include "reading.h"

namespace northrun {

struct Counts {
    uint64_t read = 0;
    uint64_t sent = 0;
    uint64_t rejected = 0;
    uint64_t blocks = 0;  // plugin_send calls
    std::set<std::string> tables;
};

// count / seconds, rounded.
uint64_t ratePerSecond(uint64_t count, double seconds);

struct RunSettings {
    size_t blockSize = 500;
    // Tries of one block before the run gives up. 0: five until the plugin
    // has taken a block of this run (a server that is not there, or a wrong
    // password, ends the run), then no limit (an outage only delays it).
    unsigned maxTries = 0;
    // The wait after the first failed try; it doubles up to 60 times this.
    std::chrono::milliseconds backoff{1000};
};

// The wait before try number failures + 1 of a block: base, doubled for each
// failed try, at most 60 times base, less up to a quarter at random so that
// senders cut off together do not all come back at the same moment.
std::chrono::milliseconds backoffDelay(std::chrono::milliseconds base, unsigned failures);

class Runner {
public:
    // Called on the sender's thread after each call in which the plugin took
    // readings, with where the first reading not yet taken stands.
    using Acknowledged = std::function<void(const InputPosition&)>;

    Runner(const pluginhost::PluginHost& plugin, PLUGIN_HANDLE handle, const RunSettings& settings,
           Acknowledged acknowledged = nullptr)
        : m_plugin(plugin), m_handle(handle), m_settings(settings), m_acknowledged(std::move(acknowledged)) {}

    // Reads fd, which stands at `from`, to its end or to a stop signal,
    // sending every reading read, unless a block runs out of tries. Returns
    // false when the input could not be read to its end.
    bool run(int fd, const InputPosition& from);

    const Counts& counts() const { return m_counts; }
    double seconds() const { return m_seconds; }
    // The line of the first reading the plugin has not taken, or 0.
    uint64_t firstUnsentLine() const { return m_queue.empty() ? 0 : m_queue.front().at.line; }

private:
    struct Queued {
        std::unique_ptr<Reading> reading;
        InputPosition at;
    };
    struct Try {
        std::vector<Reading*> readings;
        uint64_t firstLine = 0, lastLine = 0;
    };

    bool readInput(int fd, const InputPosition& from);
    bool waitForRoom();
    void takeLine(const std::string& line, const InputPosition& at, uint64_t endOffset, bool ended);

    void sendAll();
    bool nextTry(Try& attempt, bool again);
    uint32_t deliver(const std::vector<Reading*>& readings);
    void acknowledge(uint32_t sent);
    bool waitBeforeTry(const Try& attempt, uint32_t sent, unsigned failures);
    bool sleepUntil(std::chrono::steady_clock::time_point until);

    void tick(bool force);

    const pluginhost::PluginHost& m_plugin;
    PLUGIN_HANDLE m_handle;
    const RunSettings m_settings;
    const Acknowledged m_acknowledged;
    bool m_anyTaken = false;  // the sender's own

    // Shared by the two threads, under m_mutex.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Queued> m_queue;  // read and not yet taken by the plugin, in file order
    InputPosition m_readTo;      // the line after the last one read
    bool m_inputDone = false;    // no more readings will come
    bool m_sendingDone = false;  // the sender has stopped, maybe early
    std::string m_waiting;       // why the sender waits, for the progress line
    std::chrono::steady_clock::time_point m_nextTry;
    Counts m_counts;
    std::chrono::steady_clock::time_point m_start, m_lastTick;
    double m_seconds = 0;
};

}  // namespace northrun
