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

// One run per state file: takes an exclusive flock on PATH.lock, kept until
// the process ends, and writes this process's id into it. The lock is on a
// file of its own because saving replaces the state file by a rename, and a
// lock on the file replaced would hold nothing; the lock file is never
// replaced or removed. Throws pluginhost::SetupError, naming the process that
// holds the lock when another one does.
void lockState(const std::string& path);

}  // namespace northrun
