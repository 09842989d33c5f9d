#pragma once
// Whole files read at once, and errno as text.
#include <string>

namespace pluginhost {

std::string errnoText(int err);

// The file's bytes. Throws SetupError ("cannot open|read WHAT PATH: reason"),
// also for a directory.
std::string readWholeFile(const std::string& path, const std::string& what);

}  // namespace pluginhost
