#pragma once
// The state file: the text plugin_shutdown returned last time, given to
// plugin_start the next time, as the host keeps it.
#include <string>

namespace northrun {

// The text to give plugin_start: the file's content, or nothing when there is
// no file yet. Also makes sure the file can be written at the end, so a long
// run does not lose its state to a typo in the directory name. Throws
// pluginhost::SetupError.
std::string loadState(const std::string& path);

// Replaces the file's text atomically: a reader (or the next run) sees the old
// text or the new, never a torn one, whenever the process dies. durable: on
// disk before the call returns, so that the new text also outlives a crash of
// the machine; that waits for the disk. The mode of the file replaced is
// kept. False, with the reason in error, on failure.
bool saveState(const std::string& path, const std::string& text, std::string& error, bool durable = true);

}  // namespace northrun
