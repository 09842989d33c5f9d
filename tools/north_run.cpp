// north-run: drives the north plugin from the command line the way the host
// does (dlopen, plugin_info, plugin_init, plugin_start, plugin_send in blocks,
// plugin_shutdown), with readings taken from a file of JSON lines. This file
// reads the command line and runs the steps in order; the plugin host, the
// state file and the run itself live in files of their own.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "config_category.h"
#include "console.h"
#include "line_reader.h"
#include "logger.h"
#include "names.h"
#include "plugin_configuration.h"
#include "plugin_host.h"
#include "runner.h"
#include "state_file.h"
#include "stop_signal.h"

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
            if (arg.size() > 1 && arg[0] == '-')
                throw SetupError("unknown option '" + arg + "' (see north-run --help)");
            throw SetupError("unexpected argument '" + arg + "' (see north-run --help)");
        }
        if (!inlineValue) {
            if (i + 1 >= argc) throw SetupError(name + " needs a value (see north-run --help)");
            value = argv[++i];
        }

        if (name == "--plugin") {
            options.plugin = value;
        } else if (name == "--config") {
            options.configFile = value;
        } else if (name == "--set") {
            if (value.find('=') == std::string::npos)
                throw SetupError("--set expects ITEM=VALUE, got '" + value + "'");
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
                throw SetupError("--block-size must be a whole number of at least 1, got '" + value + "'");
            options.blockSize = static_cast<size_t>(n);
        } else if (name == "--state") {
            if (value.empty()) throw SetupError("--state needs a file name");
            options.stateFile = value;
        } else if (name == "--log-level") {
            if (!Logger::parseLevel(value, options.logLevel))
                throw SetupError("--log-level must be error, warning, info or debug, got '" + value + "'");
        }
    }
    return options;
}

int runNorthRun(int argc, char** argv) {
    Options options = parseArguments(argc, argv);
    if (options.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }

    Logger* logger = Logger::getLogger();
    logger->setMinLevel(options.logLevel);
    logger->setSink([](Logger::Level level, const std::string& message) {
        console().message(names::upperCased(Logger::levelName(level)) + ": " + message);
    });

    PluginHost plugin(options.plugin.empty() ? pluginhost::defaultPluginPath() : options.plugin,
                      options.plugin.empty() ? " (use --plugin PATH)" : "");
    if (options.info) {
        std::printf("%s\n", plugin.infoJson().c_str());
        return kExitOk;
    }

    // Everything that can be checked without the database is checked first.
    std::unique_ptr<ConfigCategory> category =
        pluginhost::buildConfiguration(plugin, options.configFile, options.sets);
    int fd = openReadings(options.readings);
    std::string state = options.stateFile.empty() ? std::string() : loadState(options.stateFile);

    installStopSignalHandlers();
    // Someone typing readings at a terminal needs that line for the typing.
    const bool typing = fd == STDIN_FILENO && ::isatty(STDIN_FILENO);
    if (options.progress || (::isatty(STDERR_FILENO) && !typing)) console().enableProgress();
    if (typing) say("reading JSON lines from standard input (end with Ctrl-D)");

    PLUGIN_HANDLE handle = nullptr;
    try {
        handle = plugin.init(*category);
    } catch (const std::exception& e) {
        throw SetupError(std::string("the plugin rejected the configuration: ") + e.what());
    }
    if (!handle) throw SetupError("the plugin rejected the configuration (plugin_init returned no handle)");

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
