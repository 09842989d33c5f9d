#include "plugin_host.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "config_category.h"

namespace pluginhost {

const char* const kPluginFile = "libcirrant.so.1";
const char* const kInstalledPluginDir = "../lib/vantrel/plugins/north/cirrant";

std::string defaultPluginPath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return kPluginFile;
    std::string exe(buf, static_cast<size_t>(n));
    std::string dir = exe.substr(0, exe.rfind('/'));
    // The build puts programs in bin/ and libraries in lib/; an install puts
    // the plugin among the host's north plugins, or both in one directory.
    const std::string candidates[] = {dir + "/../lib/" + kPluginFile,
                                      dir + "/" + kInstalledPluginDir + "/" + kPluginFile, dir + "/" + kPluginFile};
    for (const std::string& candidate : candidates)
        if (::access(candidate.c_str(), F_OK) == 0) return candidate;
    return candidates[0];
}

template <typename Fn>
Fn PluginHost::entryPoint(const char* name) const {
    void* symbol = ::dlsym(m_library, name);
    if (!symbol) throw SetupError(m_path + " is not a north plugin: it has no entry point " + name);
    Fn fn;
    static_assert(sizeof fn == sizeof symbol, "function and data pointers differ in size");
    std::memcpy(&fn, &symbol, sizeof fn);
    return fn;
}

PluginHost::PluginHost(const std::string& path, const std::string& openHint) : m_path(path) {
    // A bare file name means the file here, not a search of the library path.
    std::string openPath = path.find('/') == std::string::npos ? "./" + path : path;
    m_library = ::dlopen(openPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_library) {
        const char* why = ::dlerror();
        throw SetupError("cannot load the plugin: " + std::string(why ? why : path) + openHint);
    }
    auto info = entryPoint<plugin_info_fn>("plugin_info");
    m_init = entryPoint<plugin_init_fn>("plugin_init");
    m_start = entryPoint<plugin_start_fn>("plugin_start");
    m_send = entryPoint<plugin_send_fn>("plugin_send");
    m_shutdown = entryPoint<plugin_shutdown_fn>("plugin_shutdown");
    m_info = info();
    if (!m_info) throw SetupError(m_path + ": plugin_info returned nothing");
}

std::string PluginHost::infoJson() const {
    rapidjson::Document config;
    config.Parse(m_info->config ? m_info->config : "");
    if (config.HasParseError() || !config.IsObject())
        throw SetupError("the plugin's default configuration is not a JSON object" +
                         (config.HasParseError() ? std::string(": ") +
                                                       rapidjson::GetParseError_En(config.GetParseError()) +
                                                       " at offset " + std::to_string(config.GetErrorOffset())
                                                 : std::string()));

    rapidjson::StringBuffer out;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(out);
    writer.SetIndent(' ', 2);
    auto field = [&writer](const char* key, const char* value) {
        writer.Key(key);
        if (value)
            writer.String(value);
        else
            writer.Null();
    };
    writer.StartObject();
    field("name", m_info->name);
    field("version", m_info->version);
    writer.Key("options");
    writer.Uint(m_info->options);
    field("type", m_info->type);
    field("interface", m_info->interface);
    writer.Key("config");
    config.Accept(writer);
    writer.EndObject();
    return out.GetString();
}

std::unique_ptr<ConfigCategory> PluginHost::defaultConfiguration(const std::string& name) const {
    try {
        return std::make_unique<ConfigCategory>(name, m_info->config ? m_info->config : "");
    } catch (const std::exception& e) {
        throw SetupError(std::string("the plugin's default configuration is unusable: ") + e.what());
    }
}

}  // namespace pluginhost
