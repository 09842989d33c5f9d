#pragma once
// Where a run over a readings file stands, kept beside the state file (in
// STATE.pos) so that a run stopped for any reason can go on from there
// (--resume) instead of sending the whole file again.
#include <cstdint>
#include <string>

namespace northrun {

// A line of the readings file: the byte offset of its first byte and its
// number, counted from 1.
struct InputPosition {
    uint64_t offset = 0;
    uint64_t line = 1;
};

// The position file of one readings file. The file is recognised by a hash
// of its first 64 KiB: one that only grew at its end is the same file, one
// whose head changed is another, and a position in it means nothing.
class PositionFile {
public:
    // fd: the readings, open; readingsPath: their name, as given.
    PositionFile(std::string posPath, int fd, const std::string& readingsPath);

    // The position recorded for these readings. Throws pluginhost::SetupError,
    // one line, when there is none or it belongs to another file.
    InputPosition recorded() const;

    // Records the position of the first reading not yet acknowledged,
    // atomically, and durably if asked (see saveState). False, with the
    // reason in error, on failure.
    bool save(const InputPosition& at, bool durable, std::string& error) const;

    // The readings file named in posPath. Throws pluginhost::SetupError.
    static std::string recordedInput(const std::string& posPath);

private:
    std::string m_posPath;
    int m_fd;
    std::string m_input;
    uint64_t m_headBytes;
    uint64_t m_headHash;
};

// A regular file can be read again from a position; a pipe cannot.
bool isRegularFile(int fd);

}  // namespace northrun
