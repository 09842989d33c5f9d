#include "builders.h"

#include <dlfcn.h>

#include <stdexcept>

#include "plugin_api.h"

namespace testsupport {

std::unique_ptr<ConfigCategory> pluginConfig(std::initializer_list<std::pair<std::string, std::string>> items) {
    // The default text comes from the built library, as the host gets it.
    static const std::string defaults = [] {
        void* library = dlopen(PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!library) throw std::runtime_error(dlerror());
        auto info = reinterpret_cast<plugin_info_fn>(dlsym(library, "plugin_info"));
        if (!info) throw std::runtime_error("plugin_info not found");
        return std::string(info()->config);
    }();
    auto config = std::make_unique<ConfigCategory>("Redshift", defaults);
    for (const auto& item : items) config->setValue(item.first, item.second);
    return config;
}

std::unique_ptr<ConfigCategory> serverConfig(int port, const std::string& password, const std::string& instance) {
    return pluginConfig({{"host", "127.0.0.1"},
                         {"port", std::to_string(port)},
                         {"dbPass", password},
                         {"vantrelInstance", instance}});
}

}  // namespace testsupport
