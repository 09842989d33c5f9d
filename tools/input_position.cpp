#include "input_position.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "rules/fnv1a.h"
#include "plugin_host.h"
#include "state_file.h"
#include "text_file.h"

using pluginhost::SetupError;

namespace northrun {
namespace {

// Enough to tell two files apart; little enough to read at every start.
constexpr uint64_t kHeadBytes = 64 * 1024;
const char kMagic[] = "north-run position 1\n";

struct Record {
    uint64_t headBytes = 0, headHash = 0, size = 0;
    InputPosition at;
    std::string input;
};

uint64_t fileSize(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// The hash of the file's first `bytes` bytes; bytes becomes the number there
// were, fewer when the file is shorter.
uint64_t hashHead(int fd, uint64_t& bytes) {
    std::string head(bytes, '\0');
    uint64_t got = 0;
    while (got < bytes) {
        ssize_t n = ::pread(fd, &head[got], bytes - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<uint64_t>(n);
    }
    bytes = got;
    return fnv1a(std::string_view(head.data(), got));
}

bool readNumber(const std::string& text, int base, uint64_t& value) {
    if (text.empty() || !std::isxdigit(static_cast<unsigned char>(text[0]))) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long n = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0') return false;
    value = n;
    return true;
}

// Numbered "key value" lines in a fixed order; the input's name comes last
// and takes the rest of the text, so that any file name fits.
Record parseRecord(const std::string& text, const std::string& posPath) {
    Record r;
    const std::pair<std::string, uint64_t*> fields[] = {{"head-bytes", &r.headBytes},
                                                        {"head-fnv1a", &r.headHash},
                                                        {"size", &r.size},
                                                        {"offset", &r.at.offset},
                                                        {"line", &r.at.line}};
    bool ok = text.compare(0, sizeof kMagic - 1, kMagic) == 0;
    size_t at = sizeof kMagic - 1;
    for (const auto& field : fields) {
        if (!ok) break;
        size_t eol = text.find('\n', at);
        std::string prefix = field.first + " ";
        ok = eol != std::string::npos && text.compare(at, prefix.size(), prefix) == 0 &&
             readNumber(text.substr(at + prefix.size(), eol - at - prefix.size()),
                        field.first == "head-fnv1a" ? 16 : 10, *field.second);
        at = eol + 1;
    }
    ok = ok && r.at.line > 0 && text.compare(at, 6, "input ") == 0 && text.size() > at + 7 && text.back() == '\n';
    if (!ok) throw SetupError("cannot resume: " + posPath + " is not a north-run position file");
    // The head is read into memory to be compared: a damaged size must not
    // decide how much.
    if (r.headBytes > kHeadBytes)
        throw SetupError("cannot resume: " + posPath + " is damaged: head-bytes " + std::to_string(r.headBytes) +
                         " is more than the " + std::to_string(kHeadBytes) + " a position file records");
    r.input = text.substr(at + 6, text.size() - at - 7);
    return r;
}

std::string recordText(const Record& r) {
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(r.headHash));
    return std::string(kMagic) + "head-bytes " + std::to_string(r.headBytes) + "\nhead-fnv1a " + hash + "\nsize " +
           std::to_string(r.size) + "\noffset " + std::to_string(r.at.offset) + "\nline " + std::to_string(r.at.line) +
           "\ninput " + r.input + "\n";
}

Record loadRecord(const std::string& posPath) {
    if (::access(posPath.c_str(), F_OK) != 0)
        throw SetupError("cannot resume: there is no " + posPath + " (a run with --state over a file writes it)");
    // A few lines and a path: anything much larger is not a position file.
    return parseRecord(pluginhost::readWholeFile(posPath, "the position file", kHeadBytes), posPath);
}

// Absolute, so that a run started elsewhere finds the same file.
std::string absolutePath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

}  // namespace

bool isRegularFile(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

PositionFile::PositionFile(std::string posPath, int fd, const std::string& readingsPath)
    : m_posPath(std::move(posPath)), m_fd(fd), m_input(absolutePath(readingsPath)) {
    m_headBytes = std::min(kHeadBytes, fileSize(fd));
    m_headHash = hashHead(fd, m_headBytes);
}

InputPosition PositionFile::recorded() const {
    Record r = loadRecord(m_posPath);
    uint64_t size = fileSize(m_fd);
    if (size < r.at.offset)
        throw SetupError("cannot resume: " + m_input + " has " + std::to_string(size) + " bytes, fewer than the " +
                         std::to_string(r.at.offset) + " that " + m_posPath + " says were sent");
    uint64_t bytes = r.headBytes;
    uint64_t hash = hashHead(m_fd, bytes);
    if (bytes != r.headBytes || hash != r.headHash)
        throw SetupError("cannot resume: the first " + std::to_string(r.headBytes) + " bytes of " + m_input +
                         " are not those of the file " + m_posPath + " was written for");
    return r.at;
}

bool PositionFile::save(const InputPosition& at, bool durable, std::string& error) const {
    Record r;
    r.headBytes = m_headBytes;
    r.headHash = m_headHash;
    r.size = fileSize(m_fd);
    r.at = at;
    r.input = m_input;
    return saveState(m_posPath, recordText(r), error, durable);
}

std::string PositionFile::recordedInput(const std::string& posPath) { return loadRecord(posPath).input; }

}  // namespace northrun
