#pragma once
// A reading as JSON text, as it was sent: what the rejects table keeps of it,
// and what tells two sendings of one reading apart from two readings.
#include <cstdint>
#include <string>

class Reading;

// {"asset":..., "user_ts":..., "ts":..., "datapoints":{...}} with nested
// values as objects; numbers a JSON number cannot hold are written as text.
std::string readingJson(const Reading& reading);
// The same for equal readings (asset, timestamps and values), and almost
// surely different for different ones.
uint64_t readingFingerprint(const Reading& reading);
