// north-run: drives the north plugin from the command line the way the host
// does (dlopen, plugin_info, plugin_init, plugin_start, plugin_send in blocks,
// plugin_shutdown), with readings taken from a file of JSON lines.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "config_category.h"
#include "logger.h"
#include "plugin_api.h"
#include "reading.h"
#include "reading_line.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitIncomplete = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

const char* const kPluginFile = "libcirrant.so.1";

const char* const kUsage =
    "Usage: north-run [OPTION]...\n"
    "Sends readings (JSON lines) through the north plugin, as the host would.\n"
    "\n"
    "  --plugin PATH        the plugin library (default: ../lib/libcirrant.so.1 beside\n"
    "                       this program, else the same directory)\n"
    "  --config FILE        a JSON object of configuration item name to value\n"
    "  --set ITEM=VALUE     set one configuration item; repeatable, applied after\n"
    "                       --config (e.g. --set host=127.0.0.1 --set port=5439)\n"
    "  --readings FILE|-    the readings, one JSON object per line (default: -,\n"
    "                       standard input)\n"
    "  --block-size N       readings per plugin_send call (default 500, at least 1)\n"
    "  --state FILE         give the file's text to plugin_start and save the text\n"
    "                       plugin_shutdown returns back into it (atomically)\n"
    "  --log-level LEVEL    the plugin's log lines on standard error from this\n"
    "                       level on: error, warning, info (default) or debug\n"
    "  --progress           show the progress line on standard error (shown by\n"
    "                       default when it is a terminal and the readings are\n"
    "                       not typed at one)\n"
    "  --info               print the plugin's description, default configuration\n"
    "                       included, as JSON and exit\n"
    "  -h, --help           print this help and exit\n"
    "\n"
    "A reading line:\n"
    "  {\"asset\": \"pump 1\", \"user_ts\": \"2026-12-06 10:00:00.123456\",\n"
    "   \"datapoints\": {\"speed\": 1200, \"temp\": 21.5, \"motor\": {\"rpm\": 3}}}\n"
    "asset and datapoints are required; user_ts and ts are UTC (\"Z\" or \"+00:00\"\n"
    "may follow, \"T\" may separate date and time) and default to the current time.\n"
    "Integers that fit 64 bits stay integers, other numbers are floats, true/false\n"
    "are 1/0, objects nest, null datapoints are left out, arrays are passed on as a\n"
    "type the plugin skips. Blank lines are skipped; a bad line is reported as\n"
    "'north-run: line N: reason' and not sent.\n"
    "\n"
    "At the end one line goes to standard output:\n"
    "  read R sent S not-sent N rejected J blocks B tables T rate X/s\n"
    "read counts the readings parsed, rejected the bad lines, rate the readings\n"
    "sent per second. tables counts the distinct tables the readings read\n"
    "were meant for, named as the plugin names them: the \"tablename\" of a\n"
    "RedshiftHint datapoint (a JSON object, usually held in a string), else the\n"
    "asset; every byte outside [A-Za-z0-9_] made '_', 'X_' before a leading\n"
    "digit, letters in lower case as the database keeps them. A table counts\n"
    "whether or not its readings reached it.\n"
    "\n"
    "SIGINT or SIGTERM: the readings already read are sent, the plugin is shut\n"
    "down, the state is saved, and north-run exits 130; a second signal ends it\n"
    "at once.\n"
    "\n"
    "Exit status: 0 every reading sent; 1 some lines rejected, some readings not\n"
    "sent, or the state not saved; 2 usage or configuration error; 130\n"
    "interrupted.\n";

// Set by the signal handler, read between lines and between blocks.
volatile sig_atomic_t g_stopSignal = 0;

extern "C" void onStopSignal(int sig) { g_stopSignal = sig; }

// A failure that ends the run before any reading is sent.
struct Fatal : std::runtime_error {
    explicit Fatal(const std::string& what) : std::runtime_error(what) {}
};

std::string errnoText(int err) { return std::strerror(err); }

// Everything north-run and the plugin write to standard error goes through
// here, so a message never lands in the middle of the progress line: the line
// is wiped, the message written, and the line drawn again.
class Console {
public:
    void enableProgress() {
        m_progress = true;
        m_terminal = ::isatty(STDERR_FILENO) == 1;
    }
    bool progressEnabled() const { return m_progress; }

    void message(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        wipe();
        std::string line = text + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        draw();
    }

    void progress(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_progress) return;
        m_last = text;
        draw();
    }

    // Leaves the last progress line standing and moves past it.
    void endProgress() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_shown) std::fputs("\n", stderr);
        m_shown = false;
        m_progress = false;
    }

private:
    void wipe() {
        if (!m_shown) return;
        // A terminal may have echoed "^C" past the end of the line: erase to
        // the end of the line there; elsewhere blanks will do.
        std::string blank = m_terminal ? "\r\033[K" : "\r" + std::string(m_width, ' ') + "\r";
        std::fwrite(blank.data(), 1, blank.size(), stderr);
        m_shown = false;
    }
    void draw() {
        if (!m_progress || m_last.empty()) return;
        std::string line = "\r" + m_last;
        // Pad over the tail of a longer line drawn before.
        if (m_last.size() < m_width) line.append(m_width - m_last.size(), ' ');
        m_width = std::max(m_width, m_last.size());
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
        m_shown = true;
    }

    std::mutex m_mutex;
    bool m_progress = false;
    bool m_terminal = false;
    bool m_shown = false;
    size_t m_width = 0;
    std::string m_last;
};

// Leaked on purpose: the plugin may log from static destructors after main
// returns, and the logger's sink points here.
Console& console() {
    static Console* const instance = new Console();
    return *instance;
}

void say(const std::string& text) { console().message("north-run: " + text); }

struct Options {
    std::string plugin;
    std::string configFile;
    std::vector<std::string> sets;
    std::string readings = "-";
    size_t blockSize = 500;
    std::string stateFile;
    Logger::Level logLevel = Logger::Level::Info;
    bool progress = false;
    bool info = false;
    bool help = false;
};

Options parseArguments(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            continue;
        }
        if (arg == "--progress") {
            options.progress = true;
            continue;
        }
        if (arg == "--info") {
            options.info = true;
            continue;
        }
        // Options with a value accept "--name value" and "--name=value".
        std::string name = arg, value;
        bool inlineValue = false;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        static const std::set<std::string> withValue = {"--plugin",     "--config", "--set",      "--readings",
                                                        "--block-size", "--state",  "--log-level"};
        if (!withValue.count(name)) {
            if (arg.size() > 1 && arg[0] == '-') throw Fatal("unknown option '" + arg + "' (see north-run --help)");
            throw Fatal("unexpected argument '" + arg + "' (see north-run --help)");
        }
        if (!inlineValue) {
            if (i + 1 >= argc) throw Fatal(name + " needs a value (see north-run --help)");
            value = argv[++i];
        }

        if (name == "--plugin") {
            options.plugin = value;
        } else if (name == "--config") {
            options.configFile = value;
        } else if (name == "--set") {
            if (value.find('=') == std::string::npos)
                throw Fatal("--set expects ITEM=VALUE, got '" + value + "'");
            options.sets.push_back(value);
        } else if (name == "--readings") {
            options.readings = value;
        } else if (name == "--block-size") {
            errno = 0;
            char* end = nullptr;
            unsigned long long n = value.empty() || value[0] < '0' || value[0] > '9'
                                       ? 0
                                       : std::strtoull(value.c_str(), &end, 10);
            if (n < 1 || errno == ERANGE || !end || *end != '\0' || n > SIZE_MAX)
                throw Fatal("--block-size must be a whole number of at least 1, got '" + value + "'");
            options.blockSize = static_cast<size_t>(n);
        } else if (name == "--state") {
            if (value.empty()) throw Fatal("--state needs a file name");
            options.stateFile = value;
        } else if (name == "--log-level") {
            if (!Logger::parseLevel(value, options.logLevel))
                throw Fatal("--log-level must be error, warning, info or debug, got '" + value + "'");
        }
    }
    return options;
}

std::string readWholeFile(const std::string& path, const std::string& what) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Fatal("cannot open " + what + " " + path + ": " + errnoText(errno));
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        throw Fatal("cannot read " + what + " " + path + ": it is a directory");
    }
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            int err = errno;
            ::close(fd);
            throw Fatal("cannot read " + what + " " + path + ": " + errnoText(err));
        }
    }
    ::close(fd);
    return text;
}

// ---------------------------------------------------------------- the plugin

struct Plugin {
    std::string path;
    plugin_info_fn info = nullptr;
    plugin_init_fn init = nullptr;
    plugin_start_fn start = nullptr;
    plugin_send_fn send = nullptr;
    plugin_shutdown_fn shutdown = nullptr;
};

std::string defaultPluginPath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return kPluginFile;
    std::string exe(buf, static_cast<size_t>(n));
    std::string dir = exe.substr(0, exe.rfind('/'));
    // The build puts programs in bin/ and libraries in lib/; an install may
    // keep both in one directory.
    const std::string candidates[] = {dir + "/../lib/" + kPluginFile, dir + "/" + kPluginFile};
    for (const std::string& candidate : candidates)
        if (::access(candidate.c_str(), F_OK) == 0) return candidate;
    return candidates[0];
}

template <typename Fn>
Fn entryPoint(void* library, const Plugin& plugin, const char* name) {
    void* symbol = ::dlsym(library, name);
    if (!symbol) throw Fatal(plugin.path + " is not a north plugin: it has no entry point " + name);
    Fn fn;
    static_assert(sizeof fn == sizeof symbol, "function and data pointers differ in size");
    std::memcpy(&fn, &symbol, sizeof fn);
    return fn;
}

Plugin loadPlugin(const std::string& requested) {
    Plugin plugin;
    plugin.path = requested.empty() ? defaultPluginPath() : requested;
    // A bare file name means the file here, not a search of the library path.
    std::string openPath = plugin.path.find('/') == std::string::npos ? "./" + plugin.path : plugin.path;
    // Never closed: the plugin's own static destructors run at exit and may
    // still log.
    void* library = ::dlopen(openPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = ::dlerror();
        throw Fatal("cannot load the plugin: " + std::string(why ? why : plugin.path) +
                    (requested.empty() ? " (use --plugin PATH)" : ""));
    }
    plugin.info = entryPoint<plugin_info_fn>(library, plugin, "plugin_info");
    plugin.init = entryPoint<plugin_init_fn>(library, plugin, "plugin_init");
    plugin.start = entryPoint<plugin_start_fn>(library, plugin, "plugin_start");
    plugin.send = entryPoint<plugin_send_fn>(library, plugin, "plugin_send");
    plugin.shutdown = entryPoint<plugin_shutdown_fn>(library, plugin, "plugin_shutdown");
    return plugin;
}

const PluginInformation& describe(const Plugin& plugin) {
    const PluginInformation* info = plugin.info();
    if (!info) throw Fatal(plugin.path + ": plugin_info returned nothing");
    return *info;
}

void printInfo(const PluginInformation& info) {
    rapidjson::Document config;
    const char* configText = info.config ? info.config : "";
    config.Parse(configText);
    if (config.HasParseError() || !config.IsObject())
        throw Fatal("the plugin's default configuration is not a JSON object" +
                    (config.HasParseError() ? std::string(": ") + rapidjson::GetParseError_En(config.GetParseError()) +
                                                  " at offset " + std::to_string(config.GetErrorOffset())
                                            : std::string()));

    rapidjson::StringBuffer out;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(out);
    writer.SetIndent(' ', 2);
    auto field = [&writer](const char* key, const char* value) {
        writer.Key(key);
        if (value)
            writer.String(value);
        else
            writer.Null();
    };
    writer.StartObject();
    field("name", info.name);
    field("version", info.version);
    writer.Key("options");
    writer.Uint(info.options);
    field("type", info.type);
    field("interface", info.interface);
    writer.Key("config");
    config.Accept(writer);
    writer.EndObject();
    std::printf("%s\n", out.GetString());
}

// --------------------------------------------------------- the configuration

std::string itemList(const ConfigCategory& category) {
    std::string list;
    for (const std::string& name : category.getItemNames()) list += (list.empty() ? "" : ", ") + name;
    return list;
}

void setItem(ConfigCategory& category, const std::string& item, const std::string& value, const std::string& origin) {
    if (!category.itemExists(item))
        throw Fatal(origin + ": the plugin has no configuration item '" + item + "' (it has " + itemList(category) +
                    ")");
    category.setValue(item, value);
}

void applyConfigFile(ConfigCategory& category, const std::string& path) {
    std::string text = readWholeFile(path, "configuration file");
    rapidjson::Document doc;
    doc.Parse(text.data(), text.size());
    if (doc.HasParseError())
        throw Fatal(path + ": invalid JSON at offset " + std::to_string(doc.GetErrorOffset()) + ": " +
                    rapidjson::GetParseError_En(doc.GetParseError()));
    if (!doc.IsObject()) throw Fatal(path + ": expected a JSON object of item name to value");
    for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
        std::string item(it->name.GetString(), it->name.GetStringLength());
        const rapidjson::Value& v = it->value;
        // Items are strings to the plugin; whole numbers and booleans are
        // taken as the text they would have been written as.
        std::string value;
        if (v.IsString())
            value.assign(v.GetString(), v.GetStringLength());
        else if (v.IsInt64())
            value = std::to_string(v.GetInt64());
        else if (v.IsUint64())
            value = std::to_string(v.GetUint64());
        else if (v.IsBool())
            value = v.GetBool() ? "true" : "false";
        else
            throw Fatal(path + ": the value of '" + item + "' must be a string");
        setItem(category, item, value, path);
    }
}

ConfigCategory buildConfiguration(const PluginInformation& info, const Options& options) {
    std::unique_ptr<ConfigCategory> category;
    try {
        category = std::make_unique<ConfigCategory>("north-run", info.config ? info.config : "");
    } catch (const std::exception& e) {
        throw Fatal(std::string("the plugin's default configuration is unusable: ") + e.what());
    }
    if (!options.configFile.empty()) applyConfigFile(*category, options.configFile);
    for (const std::string& set : options.sets) {
        size_t eq = set.find('=');
        setItem(*category, set.substr(0, eq), set.substr(eq + 1), "--set " + set);
    }
    return std::move(*category);
}

// ------------------------------------------------------------- the state file

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The text to give plugin_start: the file's content, or nothing when there is
// no file yet. Also makes sure the file can be written at the end, so a long
// run does not lose its state to a typo in the directory name.
std::string loadState(const std::string& path) {
    std::string dir = directoryOf(path);
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        throw Fatal("cannot write the state file " + path + ": " + dir + ": " + errnoText(errno));
    if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) return std::string();
    return readWholeFile(path, "the state file");
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

// Write to a temporary file beside the target, flush it to disk, then rename
// it over the target: a reader (or the next run) sees the old text or the
// new, never a torn one, whenever the process dies.
bool saveState(const std::string& path, const std::string& text, std::string& error) {
    std::string dir = directoryOf(path);
    std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    std::string temp = dir + "/." + base + ".tmp." + std::to_string(::getpid());
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
    bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
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
    // The rename itself lives in the directory.
    int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

// ----------------------------------------------------------------- the input

// Lines from a file descriptor. Not stdio: a signal must be able to end a
// read() that waits on a pipe, and stdio would hide whether it did.
class LineReader {
public:
    explicit LineReader(int fd) : m_fd(fd) {}

    enum Result { Line, End, Interrupted, Failed };

    Result next(std::string& line) {
        for (;;) {
            const char* begin = m_buffer.data() + m_start;
            const char* scanFrom = m_buffer.data() + m_scanned;
            const char* stop = m_buffer.data() + m_buffer.size();
            const void* nl = std::memchr(scanFrom, '\n', static_cast<size_t>(stop - scanFrom));
            if (nl) {
                const char* end = static_cast<const char*>(nl);
                take(line, begin, end);
                m_start = m_scanned = static_cast<size_t>(end + 1 - m_buffer.data());
                return Line;
            }
            m_scanned = m_buffer.size();
            if (m_eof) {
                if (m_start == m_buffer.size()) return End;
                take(line, begin, stop);  // a last line without a line end
                m_start = m_scanned = m_buffer.size();
                return Line;
            }
            // Drop what was handed out, then read more.
            m_buffer.erase(0, m_start);
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

    int error() const { return m_error; }

private:
    static void take(std::string& line, const char* begin, const char* end) {
        if (end > begin && end[-1] == '\r') --end;  // CRLF files
        line.assign(begin, end);
    }

    int m_fd;
    std::string m_buffer;
    size_t m_start = 0;    // first byte not yet handed out
    size_t m_scanned = 0;  // bytes before this hold no '\n' past m_start
    bool m_eof = false;
    int m_error = 0;
};

int openReadings(const std::string& path) {
    if (path == "-") return STDIN_FILENO;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Fatal("cannot open the readings " + path + ": " + errnoText(errno));
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        throw Fatal("cannot read the readings " + path + ": it is a directory");
    }
    return fd;
}

// ------------------------------------------------------------------- the run

struct Counts {
    uint64_t read = 0;
    uint64_t sent = 0;
    uint64_t rejected = 0;
    uint64_t blocks = 0;
    std::set<std::string> tables;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

uint64_t ratePerSecond(uint64_t count, double seconds) {
    return static_cast<uint64_t>(static_cast<double>(count) / std::max(seconds, 1e-6) + 0.5);
}

class Runner {
public:
    Runner(const Plugin& plugin, PLUGIN_HANDLE handle, size_t blockSize)
        : m_plugin(plugin), m_handle(handle), m_blockSize(blockSize) {}

    // Returns false when the input could not be read to its end.
    bool run(int fd) {
        m_start = std::chrono::steady_clock::now();
        LineReader reader(fd);
        std::string line, error;
        uint64_t lineNumber = 0;
        bool complete = true;
        while (!g_stopSignal) {
            LineReader::Result result = reader.next(line);
            if (result == LineReader::End || result == LineReader::Interrupted) break;
            if (result == LineReader::Failed) {
                say("cannot read the readings after line " + std::to_string(lineNumber) + ": " +
                    errnoText(reader.error()));
                complete = false;
                break;
            }
            ++lineNumber;
            if (isBlankLine(line.data(), line.size())) continue;
            std::unique_ptr<Reading> reading = parseReadingLine(line.data(), line.size(), error);
            if (!reading) {
                ++m_counts.rejected;
                say("line " + std::to_string(lineNumber) + ": " + error);
            } else {
                ++m_counts.read;
                m_counts.tables.insert(targetTableName(*reading));
                if (m_block.empty()) m_firstLine = lineNumber;
                m_lastLine = lineNumber;
                m_block.push_back(std::move(reading));
                if (m_block.size() >= m_blockSize) sendBlock();
            }
            tick(false);
        }
        // On a signal too: what was read is sent before stopping.
        if (!m_block.empty()) sendBlock();
        finishSending();
        m_seconds = secondsSince(m_start);
        tick(true);
        return complete;
    }

    const Counts& counts() const { return m_counts; }
    double seconds() const { return m_seconds; }

private:
    // A full block goes to the plugin on a thread of its own, so the next one
    // is read and parsed while the database works on this one. The plugin
    // still sees one call at a time, and at most one block waits in memory.
    void sendBlock() {
        finishSending();
        auto block = std::make_shared<std::vector<std::unique_ptr<Reading>>>(std::move(m_block));
        m_block.clear();
        const uint64_t first = m_firstLine, last = m_lastLine;
        // Signals stay with the reading thread, whose read() they must end.
        sigset_t stop, previous;
        sigemptyset(&stop);
        sigaddset(&stop, SIGINT);
        sigaddset(&stop, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stop, &previous);
        m_sender = std::thread([this, block, first, last] { m_lastSent = deliver(*block, first, last); });
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        // The host owns the readings of a block and frees them once sent: the
        // block before this one is freed here, while the plugin works.
        m_sentBlock.reset();
        m_sentBlock = std::move(block);
    }

    void finishSending() {
        if (!m_sender.joinable()) return;
        m_sender.join();
        m_counts.sent += m_lastSent;
        ++m_counts.blocks;
    }

    uint32_t deliver(std::vector<std::unique_ptr<Reading>>& block, uint64_t firstLine, uint64_t lastLine) {
        std::vector<Reading*> readings;
        readings.reserve(block.size());
        for (auto& r : block) readings.push_back(r.get());
        uint32_t sent = 0;
        try {
            sent = m_plugin.send(m_handle, readings);
        } catch (const std::exception& e) {
            say(std::string("plugin_send failed: ") + e.what());
        } catch (...) {
            say("plugin_send failed with an unknown exception");
        }
        sent = static_cast<uint32_t>(std::min<size_t>(sent, readings.size()));
        if (sent < readings.size())
            say("lines " + std::to_string(firstLine) + "-" + std::to_string(lastLine) + ": the plugin sent " +
                std::to_string(sent) + " of " + std::to_string(readings.size()) + " readings");
        return sent;
    }

    void tick(bool force) {
        if (!console().progressEnabled()) return;
        auto now = std::chrono::steady_clock::now();
        if (!force && now - m_lastTick < std::chrono::milliseconds(200)) return;
        m_lastTick = now;
        double seconds = std::chrono::duration<double>(now - m_start).count();
        console().progress("read " + std::to_string(m_counts.read) + " sent " + std::to_string(m_counts.sent) +
                           " rejected " + std::to_string(m_counts.rejected) + " rate " +
                           std::to_string(ratePerSecond(m_counts.sent, seconds)) + "/s");
    }

    const Plugin& m_plugin;
    PLUGIN_HANDLE m_handle;
    size_t m_blockSize;
    std::vector<std::unique_ptr<Reading>> m_block;
    std::thread m_sender;
    std::shared_ptr<std::vector<std::unique_ptr<Reading>>> m_sentBlock;  // in the plugin's hands, or sent
    uint32_t m_lastSent = 0;  // written by the sender, read after joining it
    uint64_t m_firstLine = 0, m_lastLine = 0;
    Counts m_counts;
    std::chrono::steady_clock::time_point m_start, m_lastTick;
    double m_seconds = 0;
};

void installSignalHandlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read() waiting on a pipe must return so the flag is
    // seen. SA_RESETHAND: a second signal takes the default action, for a
    // user who does not want to wait for the block under way.
    action.sa_flags = SA_RESETHAND;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

const char* signalName(int sig) { return sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "a signal"; }

int runNorthRun(int argc, char** argv) {
    Options options = parseArguments(argc, argv);
    if (options.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }

    Logger* logger = Logger::getLogger();
    logger->setMinLevel(options.logLevel);
    logger->setSink([](Logger::Level level, const std::string& message) {
        std::string prefix = Logger::levelName(level);
        for (char& c : prefix) c = static_cast<char>(c - 'a' + 'A');
        console().message(prefix + ": " + message);
    });

    Plugin plugin = loadPlugin(options.plugin);
    const PluginInformation& info = describe(plugin);
    if (options.info) {
        printInfo(info);
        return kExitOk;
    }

    // Everything that can be checked without the database is checked first.
    ConfigCategory category = buildConfiguration(info, options);
    int fd = openReadings(options.readings);
    std::string state = options.stateFile.empty() ? std::string() : loadState(options.stateFile);

    installSignalHandlers();
    // Someone typing readings at a terminal needs that line for the typing.
    const bool typing = fd == STDIN_FILENO && ::isatty(STDIN_FILENO);
    if (options.progress || (::isatty(STDERR_FILENO) && !typing)) console().enableProgress();
    if (typing) say("reading JSON lines from standard input (end with Ctrl-D)");

    // The plugin reads the port with std::stoi: no number at all throws
    // invalid_argument, one too large out_of_range.
    const std::string port = category.itemExists("port") ? category.getValue("port") : std::string();
    PLUGIN_HANDLE handle = nullptr;
    try {
        handle = plugin.init(&category);
    } catch (const std::invalid_argument& e) {
        throw Fatal("unusable port '" + port + "' in the configuration: not a number (" + e.what() + ")");
    } catch (const std::out_of_range& e) {
        throw Fatal("unusable port '" + port + "' in the configuration: out of range (" + e.what() + ")");
    } catch (const std::exception& e) {
        throw Fatal(std::string("the plugin rejected the configuration: ") + e.what());
    }
    if (!handle) throw Fatal("the plugin rejected the configuration (plugin_init returned no handle)");

    try {
        int restored = plugin.start(handle, state);
        logger->debug("north-run: plugin_start returned %d for %zu bytes of state", restored, state.size());
    } catch (const std::exception& e) {
        say(std::string("plugin_start failed: ") + e.what() + "; going on without the saved state");
    }

    Runner runner(plugin, handle, options.blockSize);
    bool inputComplete = runner.run(fd);
    if (fd != STDIN_FILENO) ::close(fd);
    if (g_stopSignal) say(std::string("stopped by ") + signalName(g_stopSignal));

    bool stateSaved = true;
    try {
        std::string stored = plugin.shutdown(handle);
        if (!options.stateFile.empty()) {
            std::string error;
            stateSaved = saveState(options.stateFile, stored, error);
            if (!stateSaved) say("cannot save the state: " + error);
        }
    } catch (const std::exception& e) {
        say(std::string("plugin_shutdown failed: ") + e.what() + "; the state file is left as it was");
        stateSaved = options.stateFile.empty();
    }
    console().endProgress();

    const Counts& c = runner.counts();
    std::printf("read %llu sent %llu not-sent %llu rejected %llu blocks %llu tables %zu rate %llu/s\n",
                static_cast<unsigned long long>(c.read), static_cast<unsigned long long>(c.sent),
                static_cast<unsigned long long>(c.read - c.sent), static_cast<unsigned long long>(c.rejected),
                static_cast<unsigned long long>(c.blocks), c.tables.size(),
                static_cast<unsigned long long>(ratePerSecond(c.sent, runner.seconds())));
    std::fflush(stdout);

    if (g_stopSignal) return kExitInterrupted;
    bool everythingSent = c.rejected == 0 && c.sent == c.read && inputComplete;
    return everythingSent && stateSaved ? kExitOk : kExitIncomplete;
}

}  // namespace

int main(int argc, char** argv) {
    int status;
    try {
        status = runNorthRun(argc, argv);
    } catch (const Fatal& e) {
        console().endProgress();
        say(e.what());
        status = kExitUsage;
    } catch (const std::exception& e) {
        console().endProgress();
        say(std::string("unexpected error: ") + e.what());
        status = kExitUsage;
    }
    // The plugin may still log while the process exits; its lines then go
    // straight to standard error.
    Logger::getLogger()->setSink(nullptr);
    return status;
}
