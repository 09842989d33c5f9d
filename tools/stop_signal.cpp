#include "stop_signal.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "console.h"
#include "rules/request_timeout.h"

using std::chrono::steady_clock;

namespace northrun {

volatile sig_atomic_t g_stopSignal = 0;

namespace {

// The handler's only way to wake the answering thread. Never closed: a
// signal may still come while the process ends.
int g_wake[2] = {-1, -1};

std::mutex g_callMutex;
const char* g_call = nullptr;  // the plugin's entry point under way, or none
steady_clock::time_point g_callStart;

extern "C" void onStopSignal(int sig) {
    const int saved = errno;
    g_stopSignal = sig;
    if (g_wake[1] >= 0) {
        ssize_t n = ::write(g_wake[1], "", 1);
        (void)n;
    }
    errno = saved;
}

void answer(int sig) {
    const std::string name = signalName(sig);
    std::string text = "stopping on " + name + ": ";
    {
        std::lock_guard<std::mutex> lock(g_callMutex);
        if (g_call)
            text += std::string(g_call) + " cannot be cut short and may take up to " +
                    secondsText(g_callStart + pluginCallBound() - steady_clock::now()) +
                    " s more (twice CIRRANT_REQUEST_TIMEOUT); ";
    }
    say(text + "what was read is still sent, without trying again; a second " + name +
        " ends north-run at once");
}

}  // namespace

StopSignals::StopSignals() {
    // The handler's write never blocks; the thread's read does.
    if (g_wake[0] < 0 && (::pipe2(g_wake, O_CLOEXEC) != 0 || ::fcntl(g_wake[1], F_SETFL, O_NONBLOCK) != 0))
        g_wake[0] = g_wake[1] = -1;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read() waiting on a pipe must return so the flag is
    // seen. SA_RESETHAND: a second signal takes the default action, for a
    // user who does not want to wait for the call under way.
    action.sa_flags = SA_RESETHAND;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    if (g_wake[0] < 0) return;  // no answer at once, but the stop itself still works
    // The signals stay with the thread that reads the input, whose read()
    // they must end; this one only waits for the handler's byte.
    sigset_t stop, previous;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, &previous);
    m_answer = std::thread([] {
        char byte;
        while (::read(g_wake[0], &byte, 1) < 0 && errno == EINTR) {
        }
        if (g_stopSignal) answer(g_stopSignal);
    });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

StopSignals::~StopSignals() {
    if (!m_answer.joinable()) return;
    ssize_t n = ::write(g_wake[1], "", 1);
    (void)n;
    m_answer.join();
}

PluginCall::PluginCall(const char* name) {
    std::lock_guard<std::mutex> lock(g_callMutex);
    g_call = name;
    g_callStart = steady_clock::now();
}

PluginCall::~PluginCall() {
    std::lock_guard<std::mutex> lock(g_callMutex);
    g_call = nullptr;
}

// The plugin reads its request deadline when it is initialised; a call
// takes at most twice that. Only the plugin enforces it.
std::chrono::milliseconds pluginCallBound() { return 2 * requestTimeoutSetting(); }

const char* signalName(int sig) { return sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "a signal"; }

}  // namespace northrun
