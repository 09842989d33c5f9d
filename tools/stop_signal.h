#pragma once
// SIGINT and SIGTERM ask north-run to stop: what was read is still sent.
#include <chrono>
#include <csignal>
#include <thread>

namespace northrun {

// The signal that asked to stop, or 0. Read between lines and between blocks.
extern volatile sig_atomic_t g_stopSignal;

// While it lives, a first signal sets g_stopSignal, ends a read() waiting for
// input on the thread that made it, and is answered on standard error at
// once by a thread of its own, whatever north-run waits for. A call into the
// plugin cannot be cut short (the host's interface has no cancel), so the
// answer says how long the one under way may still take. A second signal
// takes the default action: the end, at once.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    std::thread m_answer;
};

// Marks a call into the plugin for the answer to a stop signal.
class PluginCall {
public:
    explicit PluginCall(const char* name);
    ~PluginCall();
    PluginCall(const PluginCall&) = delete;
    PluginCall& operator=(const PluginCall&) = delete;
};

// The longest one call into the plugin may take: twice its request deadline.
std::chrono::milliseconds pluginCallBound();

// "SIGINT", "SIGTERM" or "a signal".
const char* signalName(int sig);

}  // namespace northrun
