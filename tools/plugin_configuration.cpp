#include "plugin_configuration.h"

#include <stdexcept>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "text_file.h"

namespace pluginhost {
namespace {

std::string itemList(const ConfigCategory& category) {
    std::string list;
    for (const std::string& name : category.getItemNames()) list += (list.empty() ? "" : ", ") + name;
    return list;
}

}  // namespace

void checkPort(const ConfigCategory& category) {
    if (!category.itemExists("port")) return;
    const std::string port = category.getValue("port");
    // Read as the plugin reads it, with std::stoi: leading blanks and a sign
    // are fine and trailing text is ignored, but there must be a number.
    int number = 0;
    try {
        number = std::stoi(port);
    } catch (const std::invalid_argument&) {
        throw SetupError("unusable port '" + port + "' in the configuration: not a number");
    } catch (const std::out_of_range&) {
        throw SetupError("unusable port '" + port + "' in the configuration: out of range (1 to 65535)");
    }
    // A TCP port is 1 to 65535; anything else could only fail at connection time.
    if (number < 1 || number > 65535)
        throw SetupError("unusable port '" + port + "' in the configuration: out of range (1 to 65535)");
}

void setItem(ConfigCategory& category, const std::string& item, const std::string& value, const std::string& origin) {
    // Only items the plugin describes: a misspelt one would be ignored silently.
    if (!category.itemExists(item))
        throw SetupError(origin + ": the plugin has no configuration item '" + item + "' (it has " +
                         itemList(category) + ")");
    category.setValue(item, value);
}

void applyConfigFile(ConfigCategory& category, const std::string& path) {
    std::string text = readWholeFile(path, "configuration file");
    rapidjson::Document doc;
    doc.Parse(text.data(), text.size());
    if (doc.HasParseError())
        throw SetupError(path + ": invalid JSON at offset " + std::to_string(doc.GetErrorOffset()) + ": " +
                         rapidjson::GetParseError_En(doc.GetParseError()));
    if (!doc.IsObject()) throw SetupError(path + ": expected a JSON object of item name to value");
    for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
        std::string item(it->name.GetString(), it->name.GetStringLength());
        const rapidjson::Value& v = it->value;
        // Items are strings to the plugin; whole numbers and booleans are
        // taken as the text they would have been written as.
        std::string value;
        if (v.IsString())
            value.assign(v.GetString(), v.GetStringLength());
        else if (v.IsInt64())
            value = std::to_string(v.GetInt64());
        else if (v.IsUint64())
            value = std::to_string(v.GetUint64());
        else if (v.IsBool())
            value = v.GetBool() ? "true" : "false";
        else
            throw SetupError(path + ": the value of '" + item + "' must be a string");
        setItem(category, item, value, path);
    }
}

std::unique_ptr<ConfigCategory> buildConfiguration(const PluginHost& plugin, const std::string& configFile,
                                                   const std::vector<std::string>& sets) {
    std::unique_ptr<ConfigCategory> category = plugin.defaultConfiguration();
    if (!configFile.empty()) applyConfigFile(*category, configFile);
    for (const std::string& set : sets) {
        size_t eq = set.find('=');
        setItem(*category, set.substr(0, eq), set.substr(eq + 1), "--set " + set);
    }
    checkPort(*category);
    return category;
}

}  // namespace pluginhost
