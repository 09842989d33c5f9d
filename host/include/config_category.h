#pragma once
// A configuration category: named items, each a set of string attributes.
// An item's current value is its "value" attribute, or its "default" when it
// has no value yet. Only what the host offers a plugin; making and changing a
// category are the stand-in's extras in standin/include.
#include <string>
#include <vector>

class ConfigCategory {
public:
    // Throws std::runtime_error naming the item when there is none of that name.
    std::string getValue(const std::string& item) const;

private:
    struct Item {
        std::string name;
        std::string defaultValue;
        std::string value;
        bool hasValue = false;
    };

    std::string m_name;
    std::vector<Item> m_items;

#if __has_include("config_category_standin.h")
#include "config_category_standin.h"
#else
    // The host makes and frees categories; a plugin only reads them.
    ~ConfigCategory() = delete;
#endif
};
