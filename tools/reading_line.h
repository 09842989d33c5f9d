#pragma once
// What north-run reads: one reading per line of JSON, and the table each
// reading lands in.
//
//   {"asset": "pump 1", "user_ts": "2026-12-06 10:00:00.123456", "ts": "...",
//    "datapoints": {"speed": 1200, "temp": 21.5, "motor": {"rpm": 3}}}
//
// Kept apart from north-run's main so that the unit tests and a fuzzer can
// call it on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "reading.h"

// Objects nested deeper than this (the reading itself is level 1) are
// rejected: the conversion below recurses once per level.
constexpr int kMaxReadingNesting = 64;

// Parses one line (without its line end) into a Reading. On failure returns
// null and sets error to a one-line reason; never throws for any input bytes.
//
// asset (string) and datapoints (object) are required; user_ts and ts are
// optional UTC timestamps (absent or null: the current time). Other members
// are ignored. Datapoints keep their order; a JSON integer that fits int64 is
// an integer, every other number a float, a string a string, an object a
// nested datapoint, true/false the integers 1/0, an array a datapoint the
// plugin skips; a null member is left out.
std::unique_ptr<Reading> parseReadingLine(const char* data, size_t size, std::string& error);

// "YYYY-MM-DD HH:MM:SS" (or with "T"), up to six fraction digits, then
// optionally "Z" or "+00:00"; years 0001 to 9999. Microseconds since the
// epoch (negative before 1970), or false with a reason.
bool parseUtcTimestamp(const std::string& text, int64_t& micros, std::string& error);

// True for a line of nothing but blanks (space, tab, carriage return).
bool isBlankLine(const char* data, size_t size);

// The table the plugin writes a reading to, by the plugin's own rule, with
// letters in lower case as the database keeps them.
std::string targetTableName(const Reading& reading);
