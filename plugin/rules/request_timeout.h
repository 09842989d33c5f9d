#pragma once
// How long one request may wait for the server: CIRRANT_REQUEST_TIMEOUT
// seconds, from 1 to 86,400, read from the environment. The plugin enforces
// it; north-run reads it alike, to say how long a plugin call may still take.
#include <chrono>

// 300 s when the variable is unset; also when it holds anything else, and
// then `refused` is set.
std::chrono::milliseconds requestTimeoutSetting(bool* refused = nullptr);
