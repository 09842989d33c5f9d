// The five entry points the host calls. Each is a thin shim over Redshift.
#include <memory>
#include <sstream>

#include "description.h"
#include "redshift.h"

#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

PLUGIN_EXPORT PluginInformation* plugin_info() { return &g_pluginInformation; }

PLUGIN_EXPORT PLUGIN_HANDLE plugin_init(ConfigCategory* config) {
    // A configure that throws (an unusable port) takes the object with it.
    Redshift::Options options;
    options.requestTimeout = requestTimeoutFromEnvironment();
    auto redshift = std::make_unique<Redshift>(options);
    redshift->configure(config);
    return redshift.release();
}

PLUGIN_EXPORT int plugin_start(PLUGIN_HANDLE handle, const std::string& storedData) {
    return static_cast<Redshift*>(handle)->deserializeCache(storedData);
}

PLUGIN_EXPORT uint32_t plugin_send(PLUGIN_HANDLE handle, const std::vector<Reading*>& readings) {
    return static_cast<Redshift*>(handle)->send(readings);
}

PLUGIN_EXPORT std::string plugin_shutdown(PLUGIN_HANDLE handle) {
    std::unique_ptr<Redshift> redshift(static_cast<Redshift*>(handle));
    std::ostringstream stored;
    stored << redshift->serializeCache();
    redshift->endRun();
    redshift.reset();
    return stored.str();
}
