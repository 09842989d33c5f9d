#pragma once
// A configuration category: named items, each a set of string attributes.
// An item's current value is its "value" attribute, or its "default" when it
// has no value yet.
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

class ConfigItemNotFound : public std::runtime_error {
public:
    explicit ConfigItemNotFound(const std::string& item)
        : std::runtime_error("configuration item '" + item + "' not found") {}
};

class ConfigCategory {
public:
    // json is one object of item name to item object (as a plugin describes its
    // default configuration). Throws std::invalid_argument, with the reason,
    // when the text is not such an object.
    ConfigCategory(const std::string& name, const std::string& json);

    const std::string& getName() const { return m_name; }
    bool itemExists(const std::string& item) const;
    // Throws ConfigItemNotFound.
    std::string getValue(const std::string& item) const;
    // Throws ConfigItemNotFound.
    void setValue(const std::string& item, const std::string& value);
    // Item names in the order of the text.
    std::vector<std::string> getItemNames() const;

private:
    struct Item {
        std::string name;
        std::string defaultValue;
        std::string value;
        bool hasValue = false;
    };
    const Item* find(const std::string& item) const;

    std::string m_name;
    std::vector<Item> m_items;
};
