// What the host sees of the library before any database is involved: the
// exported symbols, the description record, and configuration handling.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <set>
#include <stdexcept>

#include "builders.h"
#include "log_capture.h"
#include "plugin_api.h"
#include "redshift.h"

using namespace testsupport;

namespace {

class PluginLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        library = dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
    }
    void TearDown() override { dlclose(library); }
    template <typename F>
    F entry(const char* name) {
        return reinterpret_cast<F>(dlsym(library, name));
    }
    void* library = nullptr;
};

std::set<std::string> exportedSymbols(const std::string& path) {
    std::set<std::string> symbols;
    FILE* nm = popen(("nm -D --defined-only " + path).c_str(), "r");
    char line[512];
    while (nm && fgets(line, sizeof line, nm)) {
        char address[64], type[8], name[400];
        if (sscanf(line, "%63s %7s %399s", address, type, name) == 3) symbols.insert(name);
    }
    if (nm) pclose(nm);
    return symbols;
}

}  // namespace

TEST_F(PluginLibrary, ExportsExactlyTheFiveEntryPoints) {
    for (const char* name : {"plugin_info", "plugin_init", "plugin_start", "plugin_send", "plugin_shutdown"})
        EXPECT_NE(dlsym(library, name), nullptr) << name;
    std::set<std::string> expected = {"plugin_info", "plugin_init", "plugin_start", "plugin_send",
                                      "plugin_shutdown"};
    EXPECT_EQ(exportedSymbols(PLUGIN_PATH), expected);
}

TEST_F(PluginLibrary, DescribesItselfWithTheSameRecordEveryTime) {
    auto info = entry<plugin_info_fn>("plugin_info");
    PluginInformation* record = info();
    ASSERT_EQ(record, info());
    EXPECT_STREQ(record->name, "cirrant");
    EXPECT_STREQ(record->version, "3.1.0-1-g1a752dc");
    EXPECT_EQ(record->options, 0x0008u);
    EXPECT_STREQ(record->type, "north");
    EXPECT_STREQ(record->interface, "1.0.0");
}

TEST_F(PluginLibrary, DefaultConfigurationHasTheEightItemsInOrderWithStringAttributes) {
    rapidjson::Document doc;
    doc.Parse(entry<plugin_info_fn>("plugin_info")()->config);
    ASSERT_FALSE(doc.HasParseError());
    ASSERT_TRUE(doc.IsObject());

    struct Expected {
        const char* item;
        std::vector<std::pair<const char*, const char*>> attributes;  // options: value ignored
    };
    const std::vector<Expected> expected = {
        {"plugin", {{"description", "Amazon Redshift north plugin"}, {"type", "string"}, {"default", "cirrant"},
                    {"readonly", "true"}}},
        {"host", {{"description", "Amazon Redshift host"}, {"type", "string"}, {"default", "localhost"},
                  {"order", "1"}, {"displayName", "Hostname"}, {"mandatory", "true"}}},
        {"port", {{"description", "Amazon Redshift port"}, {"type", "integer"}, {"default", "5439"},
                  {"order", "2"}, {"displayName", "Port"}, {"mandatory", "true"}}},
        {"dbName", {{"description", "Database Name"}, {"type", "string"}, {"default", "vantrel"}, {"order", "3"},
                    {"displayName", "Database Name"}, {"mandatory", "true"}}},
        {"dbUser", {{"description", "Database User"}, {"type", "string"}, {"default", "redshift"}, {"order", "4"},
                    {"displayName", "Database User"}, {"mandatory", "true"}}},
        {"dbPass", {{"description", "Database Password"}, {"type", "password"}, {"default", "kvbn"},
                    {"order", "5"}, {"displayName", "Database Password"}, {"mandatory", "true"}}},
        {"vantrelInstance", {{"description", "Vantrel instance name"}, {"type", "string"}, {"default", "Vantrel"},
                             {"order", "6"}, {"displayName", "Vantrel Name"}, {"mandatory", "true"}}},
        {"source", {{"description", "The source of the data to send"}, {"type", "enumeration"},
                    {"default", "readings"}, {"options", nullptr}, {"displayName", "Data Source"}}},
    };

    ASSERT_EQ(doc.MemberCount(), expected.size());
    auto item = doc.MemberBegin();
    for (const Expected& want : expected) {
        EXPECT_STREQ(item->name.GetString(), want.item);
        ASSERT_TRUE(item->value.IsObject());
        ASSERT_EQ(item->value.MemberCount(), want.attributes.size()) << want.item;
        auto attribute = item->value.MemberBegin();
        for (const auto& pair : want.attributes) {
            EXPECT_STREQ(attribute->name.GetString(), pair.first) << want.item;
            if (pair.second) {
                ASSERT_TRUE(attribute->value.IsString()) << want.item << "." << pair.first;
                EXPECT_STREQ(attribute->value.GetString(), pair.second);
            } else {
                ASSERT_TRUE(attribute->value.IsArray());
                ASSERT_EQ(attribute->value.Size(), 2u);
                EXPECT_STREQ(attribute->value[0].GetString(), "readings");
                EXPECT_STREQ(attribute->value[1].GetString(), "statistics");
            }
            ++attribute;
        }
        ++item;
    }
}

TEST_F(PluginLibrary, UnusablePortPropagatesFromInitWithoutAHandle) {
    auto init = entry<plugin_init_fn>("plugin_init");
    // Nothing may be left allocated: the sanitizer's leak check at exit covers it.
    for (const char* port : {"", "abc", " x5439"})
        EXPECT_THROW(init(pluginConfig({{"port", port}}).get()), std::invalid_argument) << port;
    EXPECT_THROW(init(pluginConfig({{"port", "99999999999"}}).get()), std::out_of_range);
}

TEST(Configure, PortTextFollowsStoiRules) {
    LogCapture quiet(Logger::Level::Error);
    struct Case {
        const char* text;
        const char* port;
    };
    // A closed port on loopback keeps every attempt short.
    for (const Case& c : {Case{" 1", "port=1 "}, Case{"+1", "port=1 "}, Case{"1x", "port=1 "},
                          Case{"0", "port=0 "}, Case{"-7", "port=-7 "}}) {
        Redshift redshift;
        redshift.configure(pluginConfig({{"host", "127.0.0.1"}, {"port", c.text}}).get());
        EXPECT_NE(redshift.connectString.find(c.port), std::string::npos) << c.text;
        EXPECT_EQ(redshift.connection, nullptr);
    }
}

TEST(Configure, RejectedPortLeavesTheObjectAsItWas) {
    LogCapture quiet(Logger::Level::Error);
    Redshift redshift;
    redshift.configure(pluginConfig({{"host", "127.0.0.1"}, {"port", "1"}, {"vantrelInstance", "first"}}).get());
    std::string before = redshift.connectString;
    for (const char* port : {"", "abc", "12345678901"}) {
        EXPECT_ANY_THROW(redshift.configure(
            pluginConfig({{"host", "otherhost"}, {"port", port}, {"vantrelInstance", "second"}}).get()));
        EXPECT_EQ(redshift.connectString, before);
        EXPECT_EQ(redshift.instanceName, "first");
    }
    // The mutex was released on the way out.
    EXPECT_TRUE(redshift.mutex.try_lock());
    redshift.mutex.unlock();
}
