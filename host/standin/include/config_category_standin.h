// Members of ConfigCategory that only our stand-in has: north-run and the
// tests build a plugin's configuration. Included inside the class by
// config_category.h; adds no data.
public:
    // json is one object of item name to item object (as a plugin describes its
    // default configuration). Throws std::invalid_argument, with the reason,
    // when the text is not such an object.
    ConfigCategory(const std::string& name, const std::string& json);

    const std::string& getName() const { return m_name; }
    bool itemExists(const std::string& item) const;
    // Throws std::runtime_error naming the item when there is none of that name.
    void setValue(const std::string& item, const std::string& value);
    // Item names in the order of the text.
    std::vector<std::string> getItemNames() const;

private:
    const Item* find(const std::string& item) const;
