// What the host sees of the library before any database is involved: the
// exported symbols and an unusable port. (north_run.sh checks the description.)
#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "builders.h"
#include "log_capture.h"
#include "plugin_host.h"

using namespace testsupport;

TEST(PluginLibrary, ExportsExactlyTheFiveEntryPoints) {
    std::set<std::string> symbols;
    FILE* nm = popen("nm -D --defined-only " PLUGIN_PATH, "r");
    ASSERT_NE(nm, nullptr);
    char line[512], address[64], type[8], name[400];
    while (fgets(line, sizeof line, nm))
        if (sscanf(line, "%63s %7s %399s", address, type, name) == 3) symbols.insert(name);
    EXPECT_EQ(pclose(nm), 0);
    EXPECT_EQ(symbols, (std::set<std::string>{"plugin_info", "plugin_init", "plugin_start", "plugin_send",
                                              "plugin_shutdown"}));
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
