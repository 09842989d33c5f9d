#pragma once
// The plugin as the host sees it: a library loaded with dlopen, its
// description, and its four calls. north-run drives the plugin through this,
// and tests can too.
//
//   pluginhost::PluginHost plugin("lib/libcirrant.so.1");
//   auto config = plugin.defaultConfiguration();
//   config->setValue("port", "5439");
//   PLUGIN_HANDLE handle = plugin.init(*config);
//   plugin.start(handle, "");
//   uint32_t sent = plugin.send(handle, readings);
//   std::string state = plugin.shutdown(handle);
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "plugin_api.h"

class ConfigCategory;
class Reading;

namespace pluginhost {

// A failure found before any reading is sent: the library cannot be loaded or
// is not a north plugin, or the configuration or a file is unusable.
struct SetupError : std::runtime_error {
    explicit SetupError(const std::string& what) : std::runtime_error(what) {}
};

// The plugin's file name.
extern const char* const kPluginFile;

// The installed plugin, relative to the directory of the installed north-run:
// where a host installation keeps its north plugins, in a directory named
// after the plugin.
extern const char* const kInstalledPluginDir;

// Where the plugin is when nobody says: beside the build's bin/ (../lib/),
// then the installed plugin directory, then the program's own directory. The
// first candidate when none exists.
std::string defaultPluginPath();

class PluginHost {
public:
    // Loads the library and looks up its five entry points and its
    // description. A path without '/' is the file in the current directory,
    // not a search of the library path. Throws SetupError; openHint is added
    // to the message when the library cannot be opened at all.
    //
    // The library is never closed: its static destructors run at exit and
    // may still log.
    explicit PluginHost(const std::string& path, const std::string& openHint = "");

    const std::string& path() const { return m_path; }
    const PluginInformation& info() const { return *m_info; }

    // The description as one indented JSON object: name, version, options,
    // type, interface and config (the default configuration, as an object).
    // Throws SetupError when the default configuration is not a JSON object.
    std::string infoJson() const;

    // The plugin's default configuration as a category. Throws SetupError.
    std::unique_ptr<ConfigCategory> defaultConfiguration(const std::string& name = "north-run") const;

    // The entry points, called as the host calls them; what they throw
    // passes through.
    PLUGIN_HANDLE init(ConfigCategory& config) const { return m_init(&config); }
    int start(PLUGIN_HANDLE handle, const std::string& state) const { return m_start(handle, state); }
    uint32_t send(PLUGIN_HANDLE handle, const std::vector<Reading*>& readings) const {
        return m_send(handle, readings);
    }
    std::string shutdown(PLUGIN_HANDLE handle) const { return m_shutdown(handle); }

private:
    template <typename Fn>
    Fn entryPoint(const char* name) const;

    std::string m_path;
    void* m_library = nullptr;
    const PluginInformation* m_info = nullptr;
    plugin_init_fn m_init = nullptr;
    plugin_start_fn m_start = nullptr;
    plugin_send_fn m_send = nullptr;
    plugin_shutdown_fn m_shutdown = nullptr;
};

}  // namespace pluginhost
