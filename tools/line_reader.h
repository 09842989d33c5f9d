#pragma once
// The readings file, line by line.
#include <cstdint>
#include <string>

namespace northrun {

// Lines from a file descriptor. Not stdio: a signal must be able to end a
// read() that waits on a pipe, and stdio would hide whether it did.
class LineReader {
public:
    // offset: where fd stands in its file, so that the offsets below count
    // from the file's first byte when reading starts in the middle of it.
    explicit LineReader(int fd, uint64_t offset = 0) : m_fd(fd), m_dropped(offset) {}

    enum Result { Line, End, Interrupted, Failed };

    // The next line without its line end ("\n" or "\r\n"); a last line
    // without one counts. Interrupted: a stop signal ended a wait for input.
    // Failed: see error().
    Result next(std::string& line);

    int error() const { return m_error; }

    // False when the line next() returned last is a last line without a line
    // end, which its writer may not have finished.
    bool ended() const { return m_ended; }

    // Byte offsets in the file of the line next() returned last: its first
    // byte, and the byte after its line end (where the following line starts).
    uint64_t lineOffset() const { return m_lineOffset; }
    uint64_t endOffset() const { return m_dropped + m_start; }

private:
    static void take(std::string& line, const char* begin, const char* end);

    int m_fd;
    uint64_t m_dropped;  // file offset of m_buffer[0]
    uint64_t m_lineOffset = 0;
    std::string m_buffer;
    size_t m_start = 0;    // first byte not yet handed out
    size_t m_scanned = 0;  // bytes before this hold no '\n' past m_start
    bool m_eof = false;
    bool m_ended = true;
    int m_error = 0;
};

// A file descriptor for the readings: standard input for "-". Throws
// pluginhost::SetupError when the file cannot be opened or is a directory.
int openReadings(const std::string& path);

}  // namespace northrun
