#pragma once
// The readings file, line by line.
#include <string>

namespace northrun {

// Lines from a file descriptor. Not stdio: a signal must be able to end a
// read() that waits on a pipe, and stdio would hide whether it did.
class LineReader {
public:
    explicit LineReader(int fd) : m_fd(fd) {}

    enum Result { Line, End, Interrupted, Failed };

    // The next line without its line end ("\n" or "\r\n"); a last line
    // without one counts. Interrupted: a stop signal ended a wait for input.
    // Failed: see error().
    Result next(std::string& line);

    int error() const { return m_error; }

private:
    static void take(std::string& line, const char* begin, const char* end);

    int m_fd;
    std::string m_buffer;
    size_t m_start = 0;    // first byte not yet handed out
    size_t m_scanned = 0;  // bytes before this hold no '\n' past m_start
    bool m_eof = false;
    int m_error = 0;
};

// A file descriptor for the readings: standard input for "-". Throws
// pluginhost::SetupError when the file cannot be opened or is a directory.
int openReadings(const std::string& path);

}  // namespace northrun
