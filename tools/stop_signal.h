#pragma once
// SIGINT and SIGTERM ask north-run to stop: what was read is still sent.
#include <csignal>

namespace northrun {

// The signal that asked to stop, or 0. Read between lines and between blocks.
extern volatile sig_atomic_t g_stopSignal;

// A first signal sets g_stopSignal and ends a read() waiting for input; a
// second one takes the default action.
void installStopSignalHandlers();

// "SIGINT", "SIGTERM" or "a signal".
const char* signalName(int sig);

}  // namespace northrun
