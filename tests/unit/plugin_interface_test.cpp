// What the host sees of the library before any database is involved: the
// exported symbols, what it imports from the host's library, and an unusable
// port. (north_run.sh checks the description.)
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>

#include "builders.h"
#include "log_capture.h"
#include "plugin_host.h"

using namespace testsupport;

namespace {

// nm's dynamic symbols for these options, demangled, with std::string written short.
std::set<std::string> dynamicSymbols(const std::string& options) {
    const std::string longString = "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >";
    std::set<std::string> symbols;
    FILE* nm = popen(("nm -D --format=just-symbols --demangle " + options).c_str(), "r");
    char line[1024];
    while (nm && fgets(line, sizeof line, nm)) {
        std::string name(line, strcspn(line, "\n"));
        for (size_t at; (at = name.find(longString)) != std::string::npos;)
            name.replace(at, longString.size(), "std::string");
        symbols.insert(name);
    }
    EXPECT_TRUE(nm && pclose(nm) == 0) << options;
    return symbols;
}

}  // namespace

TEST(PluginLibrary, ExportsExactlyTheFiveEntryPoints) {
    EXPECT_EQ(dynamicSymbols("--defined-only " PLUGIN_PATH),
              (std::set<std::string>{"plugin_info", "plugin_init", "plugin_start", "plugin_send", "plugin_shutdown"}));
}

// The real host's library offers a plugin no more than these; anything else
// the stand-in defines would leave the plugin unloadable there.
TEST(PluginLibrary, ImportsFromTheHostLibraryOnlyWhatTheRealHostOffers) {
    const std::set<std::string> offered = {
        "Reading::getDatapoint(std::string const&) const",
        "Reading::getAssetDateTime[abi:cxx11](Reading::dateTimeFormat, bool) const",
        "Reading::getAssetDateUserTime[abi:cxx11](Reading::dateTimeFormat, bool) const",
        "DatapointValue::DatapointValue(DatapointValue const&)", "DatapointValue::~DatapointValue()",
        "DatapointValue::toString[abi:cxx11]() const", "ConfigCategory::getValue(std::string const&) const",
        "Logger::getLogger()", "Logger::debug(char const*, ...)", "Logger::info(char const*, ...)",
        "Logger::error(char const*, ...)", "StringReplaceAll(std::string&, std::string const&, std::string const&)"};
    const std::set<std::string> host = dynamicSymbols("--defined-only " HOST_LIBRARY_PATH);
    ASSERT_TRUE(host.count("Logger::getLogger()"));
    std::set<std::string> beyond;
    for (const std::string& name : dynamicSymbols("--undefined-only " PLUGIN_PATH))
        if (host.count(name) && !offered.count(name)) beyond.insert(name);
    EXPECT_EQ(beyond, std::set<std::string>{});
}

TEST(PluginLibrary, UnusablePortThrowsFromInitAndLeavesAConfiguredObjectAsItWas) {
    pluginhost::PluginHost plugin(PLUGIN_PATH);
    // Nothing may be left allocated: the sanitizer's leak check at exit covers it.
    for (const char* port : {"", "abc", " x5439"})
        EXPECT_THROW(plugin.init(*pluginConfig({{"port", port}})), std::invalid_argument) << port;
    EXPECT_THROW(plugin.init(*pluginConfig({{"port", "99999999999"}})), std::out_of_range);

    LogCapture quiet(Logger::Level::Error);
    Redshift redshift;
    redshift.configure(pluginConfig({{"host", "127.0.0.1"}, {"port", "1"}, {"vantrelInstance", "first"}}).get());
    EXPECT_ANY_THROW(redshift.configure(
        pluginConfig({{"host", "otherhost"}, {"port", "x"}, {"vantrelInstance", "second"}}).get()));
    EXPECT_EQ(redshift.instanceName(), "first");
}
