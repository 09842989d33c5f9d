#include "stop_signal.h"

#include <cstring>

namespace northrun {

volatile sig_atomic_t g_stopSignal = 0;

namespace {
extern "C" void onStopSignal(int sig) { g_stopSignal = sig; }
}  // namespace

void installStopSignalHandlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read() waiting on a pipe must return so the flag is
    // seen. SA_RESETHAND: a second signal takes the default action, for a
    // user who does not want to wait for the block under way.
    action.sa_flags = SA_RESETHAND;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

const char* signalName(int sig) { return sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "a signal"; }

}  // namespace northrun
