#pragma once
// Whole files read at once, and errno as text.
#include <cstdint>
#include <string>

namespace pluginhost {

std::string errnoText(int err);

// The file's bytes. Throws SetupError ("cannot open|read WHAT PATH: reason"),
// also for a directory and for a file of more than limit bytes.
std::string readWholeFile(const std::string& path, const std::string& what, size_t limit = SIZE_MAX);

}  // namespace pluginhost
