#pragma once
// The category plugin_init gets: the plugin's defaults, then a JSON file of
// item name to value, then ITEM=VALUE settings, each naming an item the
// plugin has. Every failure is a pluginhost::SetupError naming its origin.
#include <memory>
#include <string>
#include <vector>

#include "config_category.h"
#include "plugin_host.h"

namespace pluginhost {

// configFile may be empty (none); each of sets is "ITEM=VALUE", the value
// everything after the first '='. The port is checked (checkPort).
std::unique_ptr<ConfigCategory> buildConfiguration(const PluginHost& plugin, const std::string& configFile,
                                                   const std::vector<std::string>& sets);

// Sets an item the category has; origin says where the value came from.
void setItem(ConfigCategory& category, const std::string& item, const std::string& value, const std::string& origin);

// A JSON object of item name to value: strings, or whole numbers and
// booleans taken as the text they would have been written as.
void applyConfigFile(ConfigCategory& category, const std::string& path);

// The "port" item, when there is one, read like std::stoi, must be 1 to 65535.
void checkPort(const ConfigCategory& category);

}  // namespace pluginhost
