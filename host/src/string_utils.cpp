#include "string_utils.h"

void StringReplaceAll(std::string& s, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    size_t pos = s.find(from);
    if (pos == std::string::npos) return;

    // Build the result in one pass instead of replace() at each match, which
    // would shift the tail every time (quadratic on long texts). Scanning the
    // source, never the result, keeps the replacement text from being rescanned.
    std::string result;
    result.reserve(s.size());
    size_t start = 0;
    do {
        result.append(s, start, pos - start);
        result += to;
        start = pos + from.size();
        pos = s.find(from, start);
    } while (pos != std::string::npos);
    result.append(s, start, std::string::npos);
    s.swap(result);
}
