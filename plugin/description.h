#pragma once
#include "plugin_api.h"

// The description record that plugin_info returns; filled when the library is
// loaded.
extern PluginInformation g_pluginInformation;
// The default configuration category, as one JSON text.
extern const char* const DEFAULT_CONFIG;
