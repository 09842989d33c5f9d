#include "rules/request_timeout.h"

#include <cmath>
#include <cstdlib>

std::chrono::milliseconds requestTimeoutSetting(bool* refused) {
    constexpr std::chrono::milliseconds fallback{300000};
    const char* text = std::getenv("CIRRANT_REQUEST_TIMEOUT");
    if (refused) *refused = false;
    if (!text || !*text) return fallback;
    char* end = nullptr;
    double seconds = std::strtod(text, &end);
    // Below a second, every request would fail before the server could answer.
    if (*end || !std::isfinite(seconds) || seconds < 1 || seconds > 86400) {
        if (refused) *refused = true;
        return fallback;
    }
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}
