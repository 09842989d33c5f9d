#pragma once
#include <string>

// Replaces every occurrence of from in s by to, in place. An empty from
// changes nothing.
void StringReplaceAll(std::string& s, const std::string& from, const std::string& to);
