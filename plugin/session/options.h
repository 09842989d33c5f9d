#pragma once
// Limits and server rules, fixed for a plugin object's life. The defaults are
// the target server's; tests lower the size or take the paths that only some
// servers need.
#include <chrono>
#include <cstddef>

// The clock read to tell how long a failure has lasted; tests move it on.
using SteadyNow = std::chrono::steady_clock::time_point (*)();

struct RedshiftOptions {
    // The largest request the server takes, in bytes.
    size_t maxRequestBytes = 16 * 1024 * 1024;
    // Send one statement per request, as for a server that refuses several.
    bool oneStatementPerRequest = false;
    // How long one request may wait for the server.
    std::chrono::milliseconds requestTimeout{300000};
    // How often the ledger is searched for another run writing under the
    // same instance name.
    std::chrono::milliseconds lookForWritersEvery{60000};
    SteadyNow now = std::chrono::steady_clock::now;
};
