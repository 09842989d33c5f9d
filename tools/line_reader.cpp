#include "line_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "plugin_host.h"
#include "stop_signal.h"
#include "text_file.h"

namespace northrun {

LineReader::Result LineReader::next(std::string& line) {
    for (;;) {
        const char* begin = m_buffer.data() + m_start;
        const char* scanFrom = m_buffer.data() + m_scanned;
        const char* stop = m_buffer.data() + m_buffer.size();
        const void* nl = std::memchr(scanFrom, '\n', static_cast<size_t>(stop - scanFrom));
        if (nl) {
            const char* end = static_cast<const char*>(nl);
            take(line, begin, end);
            m_lineOffset = m_dropped + m_start;
            m_start = m_scanned = static_cast<size_t>(end + 1 - m_buffer.data());
            m_ended = true;
            return Line;
        }
        m_scanned = m_buffer.size();
        if (m_eof) {
            if (m_start == m_buffer.size()) return End;
            take(line, begin, stop);  // a last line without a line end
            m_lineOffset = m_dropped + m_start;
            m_start = m_scanned = m_buffer.size();
            m_ended = false;
            return Line;
        }
        // Drop what was handed out, then read more.
        m_buffer.erase(0, m_start);
        m_dropped += m_start;
        m_scanned -= m_start;
        m_start = 0;
        char chunk[65536];
        ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n > 0) {
            m_buffer.append(chunk, static_cast<size_t>(n));
        } else if (n == 0) {
            m_eof = true;
        } else if (errno == EINTR) {
            if (g_stopSignal) return Interrupted;
        } else {
            m_error = errno;
            return Failed;
        }
    }
}

void LineReader::take(std::string& line, const char* begin, const char* end) {
    if (end > begin && end[-1] == '\r') --end;  // CRLF files
    line.assign(begin, end);
}

int openReadings(const std::string& path) {
    if (path == "-") return STDIN_FILENO;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw pluginhost::SetupError("cannot open the readings " + path + ": " + pluginhost::errnoText(errno));
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        throw pluginhost::SetupError("cannot read the readings " + path + ": it is a directory");
    }
    return fd;
}

}  // namespace northrun
