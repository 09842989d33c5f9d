// north-run: drives the north plugin from the command line the way the host
// does (dlopen, plugin_info, plugin_init, plugin_start, plugin_send in blocks,
// plugin_shutdown), with readings taken from a file of JSON lines. This file
// reads the command line and runs the steps in order; the plugin host, the
// state file and the run itself live in files of their own.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "config_category.h"
#include "console.h"
#include "input_position.h"
#include "line_reader.h"
#include "logger.h"
#include "rules/names.h"
#include "plugin_configuration.h"
#include "plugin_host.h"
#include "runner.h"
#include "state_file.h"
#include "stop_signal.h"
#include "text_file.h"

using namespace northrun;
using pluginhost::PluginHost;
using pluginhost::SetupError;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitIncomplete = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

const char* const kUsage =
    "Usage: north-run [OPTION]...\n"
    "Sends readings (JSON lines) through the north plugin, as the host would.\n"
    "\n"
    "  --plugin PATH        the plugin library (default: ../lib/libcirrant.so.1 beside\n"
    "                       this program, else the installed\n"
    "                       ../lib/vantrel/plugins/north/cirrant/, else the same\n"
    "                       directory)\n"
    "  --config FILE        a JSON object of configuration item name to value\n"
    "  --set ITEM=VALUE     set one configuration item; repeatable, applied after\n"
    "                       --config (e.g. --set host=127.0.0.1 --set port=5439)\n"
    "  --readings FILE|-    the readings, one JSON object per line (default: -,\n"
    "                       standard input)\n"
    "  --block-size N       readings per plugin_send call (default 500, at least 1)\n"
    "  --max-tries N        tries of one block before north-run gives up (default:\n"
    "                       5 until the plugin has taken a block, then no limit)\n"
    "  --state FILE         give the file's text to plugin_start and save the text\n"
    "                       plugin_shutdown returns back into it (atomically); for\n"
    "                       a readings file, also keep in FILE.pos where the first\n"
    "                       reading not yet sent stands\n"
    "  --resume             go on from the position in FILE.pos (needs --state; the\n"
    "                       readings default to the file it names); with no\n"
    "                       FILE.pos yet, start at the beginning of --readings\n"
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
    "A block the plugin does not take is offered again, with newer readings after\n"
    "it, after a wait of 1 s doubling up to 60 s.\n"
    "\n"
    "At the end one line goes to standard output:\n"
    "  read R sent S not-sent N rejected J blocks B tables T rate X/s [first-unsent L]\n"
    "read counts the readings parsed, rejected the bad lines, blocks the\n"
    "plugin_send calls, rate the readings sent per second, first-unsent the line\n"
    "of the first reading not sent, when there is one. tables counts the distinct\n"
    "tables the readings read were meant for, named as the plugin names them:\n"
    "the \"tablename\" of a RedshiftHint datapoint (a JSON object, usually held\n"
    "in a string), else the asset; every byte outside [A-Za-z0-9_] made '_', 'X_'\n"
    "before a leading digit, letters in lower case as the database keeps them,\n"
    "and names over Redshift's 127 bytes shortened as the plugin shortens them\n"
    "there. A table counts whether or not its readings reached it.\n"
    "\n"
    "SIGINT or SIGTERM: north-run says at once that it stops, and how long the\n"
    "plugin call under way may still take (up to twice CIRRANT_REQUEST_TIMEOUT;\n"
    "it cannot be cut short); the readings already read are sent (a wait to send\n"
    "again ends at once), the plugin is shut down, the state and position are\n"
    "saved, and north-run exits 130. A second signal ends it at once.\n"
    "\n"
    "One run per state file: a run holds FILE.lock (flock) while it lasts; a\n"
    "second run on the same state exits 2 naming the first one's pid. A last\n"
    "line without a line end is sent when it is valid JSON; else it is reported\n"
    "and a resume reads it again, whole by then.\n"
    "\n"
    "Exit status: 0 every reading sent; 1 some lines rejected, some readings not\n"
    "sent, or the state or position not saved; 2 usage or configuration error,\n"
    "a file --resume cannot go on in, or a state file in use by another run;\n"
    "130 interrupted.\n";

struct Options {
    std::string plugin;
    std::string configFile;
    std::vector<std::string> sets;
    std::string readings;  // empty: standard input, or with --resume the file the position names
    size_t blockSize = 500;
    unsigned maxTries = 0;
    std::string stateFile;
    Logger::Level logLevel = Logger::Level::Info;
    bool resume = false;
    bool progress = false;
    bool info = false;
    bool help = false;
};

// A whole number from 1 to max, for option `name`.
uint64_t parseCount(const std::string& name, const std::string& value, uint64_t max) {
    errno = 0;
    char* end = nullptr;
    unsigned long long n =
        value.empty() || value[0] < '0' || value[0] > '9' ? 0 : std::strtoull(value.c_str(), &end, 10);
    if (n < 1 || errno == ERANGE || !end || *end != '\0' || n > max)
        throw SetupError(name + " must be a whole number of at least 1, got '" + value + "'");
    return n;
}

void setValueOption(Options& options, const std::string& name, const std::string& value) {
    if (name == "--plugin") {
        options.plugin = value;
    } else if (name == "--config") {
        options.configFile = value;
    } else if (name == "--set") {
        if (value.find('=') == std::string::npos) throw SetupError("--set expects ITEM=VALUE, got '" + value + "'");
        options.sets.push_back(value);
    } else if (name == "--readings") {
        if (value.empty()) throw SetupError("--readings needs a file name, or - for standard input");
        options.readings = value;
    } else if (name == "--block-size") {
        options.blockSize = static_cast<size_t>(parseCount(name, value, SIZE_MAX));
    } else if (name == "--max-tries") {
        options.maxTries = static_cast<unsigned>(parseCount(name, value, UINT_MAX));
    } else if (name == "--state") {
        if (value.empty()) throw SetupError("--state needs a file name");
        options.stateFile = value;
    } else if (name == "--log-level") {
        if (!Logger::parseLevel(value, options.logLevel))
            throw SetupError("--log-level must be error, warning, info or debug, got '" + value + "'");
    }
}

// True for an option without a value, which it sets.
bool setFlag(Options& options, const std::string& arg) {
    if (arg == "-h" || arg == "--help") return options.help = true;
    if (arg == "--progress") return options.progress = true;
    if (arg == "--info") return options.info = true;
    if (arg == "--resume") return options.resume = true;
    return false;
}

Options parseArguments(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (setFlag(options, arg)) continue;
        // Options with a value accept "--name value" and "--name=value".
        std::string name = arg, value;
        bool inlineValue = false;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        static const std::set<std::string> withValue = {"--plugin",     "--config",    "--set",   "--readings",
                                                        "--block-size", "--max-tries", "--state", "--log-level"};
        if (!withValue.count(name)) {
            if (arg.size() > 1 && arg[0] == '-')
                throw SetupError("unknown option '" + arg + "' (see north-run --help)");
            throw SetupError("unexpected argument '" + arg + "' (see north-run --help)");
        }
        if (!inlineValue) {
            if (i + 1 >= argc) throw SetupError(name + " needs a value (see north-run --help)");
            value = argv[++i];
        }
        setValueOption(options, name, value);
    }
    return options;
}

// The first wait before a block is sent again; tests make it short.
std::chrono::milliseconds backoffBase() {
    const char* text = std::getenv("CIRRANT_BACKOFF_MS");
    if (!text || !*text) return std::chrono::milliseconds(1000);
    char* end = nullptr;
    unsigned long ms = std::strtoul(text, &end, 10);
    if (*end != '\0' || text[0] < '0' || text[0] > '9' || ms < 1 || ms > 3600000)
        throw SetupError(std::string("CIRRANT_BACKOFF_MS must be milliseconds from 1 to 3600000, got '") + text + "'");
    return std::chrono::milliseconds(ms);
}

struct Input {
    int fd = STDIN_FILENO;
    std::unique_ptr<PositionFile> positions;  // with --state, for a file that can be read again
    InputPosition from;
    std::optional<InputPosition> reached;  // where the plugin stopped taking readings, if it took any
    bool positionsSaved = true;

    // After each block the plugin took. Waiting for the disk here would hold
    // up the next block, so only the last position is made durable (finish);
    // until then, a crash of the machine, not of north-run, may leave an
    // older one. A failure is reported once and the run goes on: the readings
    // themselves are safe.
    void save(const InputPosition& at, bool durable = false) {
        std::string error;
        reached = at;
        if (positions && !positions->save(at, durable, error) && positionsSaved) {
            say("cannot save the position: " + error);
            positionsSaved = false;
        }
    }
    void finish() {
        if (reached) save(*reached, true);
    }
};

Input openInput(const Options& options) {
    Input input;
    std::string path = options.readings;
    const std::string posPath = options.stateFile + ".pos";
    if (options.resume) {
        if (options.stateFile.empty())
            throw SetupError("--resume needs --state FILE, whose FILE.pos holds the position");
        if (path.empty()) path = PositionFile::recordedInput(posPath);
        if (path == "-") throw SetupError("--resume cannot go back into standard input; name the file with --readings");
    }
    input.fd = openReadings(path.empty() ? "-" : path);
    if (options.stateFile.empty() || input.fd == STDIN_FILENO || !isRegularFile(input.fd)) {
        if (options.resume) throw SetupError("--resume needs a regular file, which " + path + " is not");
        return input;
    }
    input.positions = std::make_unique<PositionFile>(posPath, input.fd, path);
    // A run stopped before the plugin took anything left no position: its
    // resume is a first run. (A block the plugin committed just before the
    // stop is recognised by its ledger.)
    if (options.resume && ::access(posPath.c_str(), F_OK) != 0 && errno == ENOENT) {
        say("no position recorded in " + posPath + " yet: starting at the beginning of " + path);
    } else if (options.resume) {
        input.from = input.positions->recorded();
        if (::lseek(input.fd, static_cast<off_t>(input.from.offset), SEEK_SET) < 0)
            throw SetupError("cannot resume in " + path + ": " + pluginhost::errnoText(errno));
        say("resuming " + path + " at line " + std::to_string(input.from.line));
    }
    // The file is written once the plugin has taken readings: until then the
    // position of an earlier run over the same file still holds.
    return input;
}

PLUGIN_HANDLE startPlugin(const PluginHost& plugin, ConfigCategory& category, const std::string& state) {
    PLUGIN_HANDLE handle = nullptr;
    try {
        PluginCall call("plugin_init");  // it connects
        handle = plugin.init(category);
    } catch (const std::exception& e) {
        throw SetupError(std::string("the plugin rejected the configuration: ") + e.what());
    }
    if (!handle) throw SetupError("the plugin rejected the configuration (plugin_init returned no handle)");
    try {
        int restored = plugin.start(handle, state);
        Logger::getLogger()->debug("north-run: plugin_start returned %d for %zu bytes of state", restored,
                                   state.size());
    } catch (const std::exception& e) {
        say(std::string("plugin_start failed: ") + e.what() + "; going on without the saved state");
    }
    return handle;
}

// Shuts the plugin down and keeps what it returns. False when the state
// file could not be written.
bool shutDownPlugin(const PluginHost& plugin, PLUGIN_HANDLE handle, const std::string& stateFile) {
    try {
        std::string stored;
        {
            PluginCall call("plugin_shutdown");  // it records the run's end
            stored = plugin.shutdown(handle);
        }
        if (stateFile.empty()) return true;
        std::string error;
        if (saveState(stateFile, stored, error)) return true;
        say("cannot save the state: " + error);
        return false;
    } catch (const std::exception& e) {
        say(std::string("plugin_shutdown failed: ") + e.what() + "; the state file is left as it was");
        return stateFile.empty();
    }
}

void printSummary(const Runner& runner) {
    const Counts& c = runner.counts();
    // Appended, so that readers of the older line still find their fields.
    std::string unsent = runner.firstUnsentLine() ? " first-unsent " + std::to_string(runner.firstUnsentLine()) : "";
    std::printf("read %llu sent %llu not-sent %llu rejected %llu blocks %llu tables %zu rate %llu/s%s\n",
                static_cast<unsigned long long>(c.read), static_cast<unsigned long long>(c.sent),
                static_cast<unsigned long long>(c.read - c.sent), static_cast<unsigned long long>(c.rejected),
                static_cast<unsigned long long>(c.blocks), c.tables.size(),
                static_cast<unsigned long long>(ratePerSecond(c.sent, runner.seconds())), unsent.c_str());
    std::fflush(stdout);
}

void setUpLogger(Logger::Level minLevel) {
    Logger* logger = Logger::getLogger();
    logger->setMinLevel(minLevel);
    logger->setSink([](Logger::Level level, const std::string& message) {
        console().message(names::upperCased(Logger::levelName(level)) + ": " + message);
    });
}

void setUpProgress(const Options& options, int fd) {
    // Someone typing readings at a terminal needs that line for the typing.
    const bool typing = fd == STDIN_FILENO && ::isatty(STDIN_FILENO);
    if (options.progress || (::isatty(STDERR_FILENO) && !typing)) console().enableProgress();
    if (typing) say("reading JSON lines from standard input (end with Ctrl-D)");
}

int runNorthRun(int argc, char** argv) {
    Options options = parseArguments(argc, argv);
    if (options.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    setUpLogger(options.logLevel);
    PluginHost plugin(options.plugin.empty() ? pluginhost::defaultPluginPath() : options.plugin,
                      options.plugin.empty() ? " (use --plugin PATH)" : "");
    if (options.info) {
        std::printf("%s\n", plugin.infoJson().c_str());
        return kExitOk;
    }

    // Everything that can be checked without the database is checked first.
    std::unique_ptr<ConfigCategory> category = pluginhost::buildConfiguration(plugin, options.configFile, options.sets);
    const RunSettings settings{options.blockSize, options.maxTries, backoffBase()};
    // Before the state or the position is read: another run may be about to
    // replace them.
    if (!options.stateFile.empty()) lockState(options.stateFile);
    std::string state = options.stateFile.empty() ? std::string() : loadState(options.stateFile);
    Input input = openInput(options);

    StopSignals stopSignals;
    setUpProgress(options, input.fd);
    PLUGIN_HANDLE handle = startPlugin(plugin, *category, state);
    Runner runner(plugin, handle, settings, [&input](const InputPosition& at) { input.save(at); });
    bool inputComplete = runner.run(input.fd, input.from);
    input.finish();
    if (input.fd != STDIN_FILENO) ::close(input.fd);
    if (g_stopSignal) say(std::string("stopped by ") + signalName(g_stopSignal));

    bool stateSaved = shutDownPlugin(plugin, handle, options.stateFile);
    console().endProgress();
    printSummary(runner);

    if (g_stopSignal) return kExitInterrupted;
    const Counts& c = runner.counts();
    bool everythingSent = c.rejected == 0 && c.sent == c.read && runner.firstUnsentLine() == 0 && inputComplete;
    return everythingSent && stateSaved && input.positionsSaved ? kExitOk : kExitIncomplete;
}

}  // namespace

int main(int argc, char** argv) {
    int status;
    try {
        status = runNorthRun(argc, argv);
    } catch (const SetupError& e) {
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
