#include "text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "plugin_host.h"

namespace pluginhost {

std::string errnoText(int err) { return std::strerror(err); }

std::string readWholeFile(const std::string& path, const std::string& what, size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw SetupError("cannot open " + what + " " + path + ": " + errnoText(errno));
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        throw SetupError("cannot read " + what + " " + path + ": it is a directory");
    }
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0 && text.size() + static_cast<size_t>(n) > limit) {
            ::close(fd);
            throw SetupError("cannot read " + what + " " + path + ": it has more than " + std::to_string(limit) +
                             " bytes");
        } else if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            int err = errno;
            ::close(fd);
            throw SetupError("cannot read " + what + " " + path + ": " + errnoText(err));
        }
    }
    ::close(fd);
    return text;
}

}  // namespace pluginhost
