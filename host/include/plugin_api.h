#pragma once
// What the host expects of a north plugin library.
#include <cstdint>
#include <string>
#include <vector>

class ConfigCategory;
class Reading;

typedef void* PLUGIN_HANDLE;

// Option bit: the host keeps the text that plugin_shutdown returns and passes
// it to plugin_start at the next start.
constexpr uint32_t SP_PERSIST_DATA = 0x0008;

struct PluginInformation {
    const char* name;
    const char* version;
    uint32_t options;
    const char* type;
    const char* interface;
    const char* config;
};

// The entry point signatures, for hosts that look them up with dlsym.
using plugin_info_fn = PluginInformation* (*)();
using plugin_init_fn = PLUGIN_HANDLE (*)(ConfigCategory*);
using plugin_start_fn = int (*)(PLUGIN_HANDLE, const std::string&);
using plugin_send_fn = uint32_t (*)(PLUGIN_HANDLE, const std::vector<Reading*>&);
using plugin_shutdown_fn = std::string (*)(PLUGIN_HANDLE);
