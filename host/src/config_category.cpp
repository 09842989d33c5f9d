#include "config_category.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <stdexcept>

class ConfigItemNotFound : public std::runtime_error {
public:
    explicit ConfigItemNotFound(const std::string& item)
        : std::runtime_error("configuration item '" + item + "' not found") {}
};

namespace {

std::string text(const rapidjson::Value& v) { return std::string(v.GetString(), v.GetStringLength()); }

}  // namespace

ConfigCategory::ConfigCategory(const std::string& name, const std::string& json) : m_name(name) {
    auto fail = [&](const std::string& reason) {
        throw std::invalid_argument("configuration category '" + name + "': " + reason);
    };

    rapidjson::Document doc;
    doc.Parse(json.data(), json.size());
    if (doc.HasParseError())
        fail(std::string("invalid JSON at offset ") + std::to_string(doc.GetErrorOffset()) + ": " +
             rapidjson::GetParseError_En(doc.GetParseError()));
    if (!doc.IsObject()) fail("the text is not a JSON object");

    m_items.reserve(doc.MemberCount());
    for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
        Item item;
        item.name = text(it->name);
        if (!it->value.IsObject()) fail("item '" + item.name + "' is not a JSON object");
        // A second item of the same name would be unreachable: reject it
        // rather than silently ignore part of the configuration.
        if (find(item.name)) fail("item '" + item.name + "' appears twice");

        // Only "default" and "value" matter here; the other attributes
        // (description, type, options, ...) describe the item to a user. The
        // two kept must be strings, as every attribute but "options" is.
        auto stringAttribute = [&](const char* attr, std::string& out) {
            auto member = it->value.FindMember(attr);
            if (member == it->value.MemberEnd()) return false;
            if (!member->value.IsString())
                fail("attribute '" + std::string(attr) + "' of item '" + item.name + "' is not a string");
            out = text(member->value);
            return true;
        };
        stringAttribute("default", item.defaultValue);
        item.hasValue = stringAttribute("value", item.value);
        m_items.push_back(std::move(item));
    }
}

const ConfigCategory::Item* ConfigCategory::find(const std::string& item) const {
    for (const Item& i : m_items)
        if (i.name == item) return &i;
    return nullptr;
}

bool ConfigCategory::itemExists(const std::string& item) const { return find(item) != nullptr; }

std::string ConfigCategory::getValue(const std::string& item) const {
    const Item* i = find(item);
    if (!i) throw ConfigItemNotFound(item);
    return i->hasValue ? i->value : i->defaultValue;
}

void ConfigCategory::setValue(const std::string& item, const std::string& value) {
    // find() is const; the item itself belongs to this non-const object.
    Item* i = const_cast<Item*>(find(item));
    if (!i) throw ConfigItemNotFound(item);
    i->value = value;
    i->hasValue = true;
}

std::vector<std::string> ConfigCategory::getItemNames() const {
    std::vector<std::string> names;
    names.reserve(m_items.size());
    for (const Item& i : m_items) names.push_back(i.name);
    return names;
}
