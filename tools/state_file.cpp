#include "state_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <thread>

#include "plugin_host.h"
#include "text_file.h"

using pluginhost::errnoText;

namespace northrun {
namespace {

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The process id in a lock file; empty when none is written yet.
std::string lockHolder(int fd) {
    char text[32] = {};
    ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    std::string pid(text, n > 0 ? static_cast<size_t>(n) : 0);
    return pid.substr(0, pid.find('\n'));
}

}  // namespace

void lockState(const std::string& path) {
    const std::string lockPath = path + ".lock";
    const std::string where = "cannot lock the state file " + path + ": " + lockPath + ": ";
    // Left open on purpose: closing it would let another run in.
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) throw pluginhost::SetupError(where + errnoText(errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        std::string holder = lockHolder(fd);
        // The holder writes its id just after it takes the lock: allow it a moment.
        for (int i = 0; err == EWOULDBLOCK && holder.empty() && i < 50; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            holder = lockHolder(fd);
        }
        ::close(fd);
        if (err != EWOULDBLOCK) throw pluginhost::SetupError(where + errnoText(err));
        throw pluginhost::SetupError("the state file " + path + " is in use by north-run pid " +
                                     (holder.empty() ? "(not yet written)" : holder) + ", which holds " + lockPath +
                                     "; this run sends nothing");
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size()))
        throw pluginhost::SetupError("cannot write this run's pid into " + lockPath + ": " + errnoText(errno));
}

std::string loadState(const std::string& path) {
    std::string dir = directoryOf(path);
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        throw pluginhost::SetupError("cannot write the state file " + path + ": " + dir + ": " + errnoText(errno));
    if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) return std::string();
    return pluginhost::readWholeFile(path, "the state file");
}

namespace {

// Temporary files of earlier runs of this file that were killed while
// saving it: their process is gone, so nothing will rename them.
void removeStaleTemporaries(const std::string& dir, const std::string& base) {
    static std::set<std::string> done;
    if (!done.insert(dir + "/" + base).second) return;
    const std::string prefix = "." + base + ".tmp.";
    DIR* entries = ::opendir(dir.c_str());
    if (!entries) return;
    while (const dirent* entry = ::readdir(entries)) {
        std::string name = entry->d_name;
        if (name.rfind(prefix, 0) != 0) continue;
        long pid = std::atol(name.c_str() + prefix.size());
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) ::unlink((dir + "/" + name).c_str());
    }
    ::closedir(entries);
}

}  // namespace

// Write to a temporary file beside the target, flush it to disk, then rename
// it over the target.
bool saveState(const std::string& path, const std::string& text, std::string& error, bool durable) {
    std::string dir = directoryOf(path);
    std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    std::string temp = dir + "/." + base + ".tmp." + std::to_string(::getpid());
    removeStaleTemporaries(dir, base);
    ::unlink(temp.c_str());  // the leftover of an earlier run that died with this pid
    // Keep the mode of the file being replaced; a new file gets 0666 less umask.
    mode_t mode = 0666;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        error = temp + ": " + errnoText(errno);
        return false;
    }
    if (::stat(path.c_str(), &st) == 0) (void)::fchmod(fd, mode);
    bool ok = writeAll(fd, text) && (!durable || ::fsync(fd) == 0);
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        error = path + ": " + errnoText(err);
        return false;
    }
    if (!durable) return true;
    // The rename itself lives in the directory.
    int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

}  // namespace northrun
