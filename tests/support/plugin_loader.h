#pragma once
// The plugin library loaded with dlopen, as the host loads it.
#include <dlfcn.h>

#include <stdexcept>

#include "plugin_api.h"

namespace testsupport {

struct PluginLibrary {
    PluginLibrary() : library(dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL)) {
        if (!library) throw std::runtime_error(dlerror());
    }
    ~PluginLibrary() { dlclose(library); }
    template <typename F>
    F entry(const char* name) const {
        return reinterpret_cast<F>(dlsym(library, name));
    }
    void* library;
    plugin_info_fn info = entry<plugin_info_fn>("plugin_info");
    plugin_init_fn init = entry<plugin_init_fn>("plugin_init");
    plugin_start_fn start = entry<plugin_start_fn>("plugin_start");
    plugin_send_fn send = entry<plugin_send_fn>("plugin_send");
    plugin_shutdown_fn shutdown = entry<plugin_shutdown_fn>("plugin_shutdown");
};

}  // namespace testsupport
