#pragma once
// Readings carry named values; a value is a tagged 8-byte payload. Nested values
// own a vector of child datapoints, so copies are deep.
#include <cstdint>
#include <string>
#include <vector>

class Datapoint;

// Type codes as the plugin reads them. Codes 4 and 5 both hold child datapoints,
// 6 and 7 are binary payloads the plugin does not store.
enum DatapointType : uint32_t {
    DP_STRING = 0,
    DP_INTEGER = 1,
    DP_FLOAT = 2,
    DP_FLOAT_ARRAY = 3,
    DP_DICT = 4,
    DP_LIST = 5,
    DP_IMAGE = 6,
    DP_DATABUFFER = 7,
    DP_FLOAT_ARRAY_2D = 8,
};

class DatapointValue {
public:
    explicit DatapointValue(const std::string& text);
    explicit DatapointValue(const char* text);
    explicit DatapointValue(long value);
    explicit DatapointValue(int value) : DatapointValue(static_cast<long>(value)) {}
    explicit DatapointValue(double value);
    // Takes ownership of the children; isDict selects DP_DICT over DP_LIST.
    DatapointValue(std::vector<Datapoint*>* children, bool isDict);
    // A value of a kind without a payload this library models (arrays, images,
    // data buffers, unknown codes): only its type code is kept.
    static DatapointValue opaque(uint32_t typeCode);

    DatapointValue(const DatapointValue& other);
    DatapointValue(DatapointValue&& other) noexcept;
    DatapointValue& operator=(const DatapointValue& other);
    DatapointValue& operator=(DatapointValue&& other) noexcept;
    ~DatapointValue();

    uint32_t getType() const { return m_type; }
    long toInt() const { return m_value.i; }        // DP_INTEGER only
    double toDouble() const { return m_value.f; }   // DP_FLOAT only
    const std::string& stringValue() const { return *m_value.str; }  // DP_STRING only
    std::vector<Datapoint*>* getDpVec() const { return m_value.dps; } // DP_DICT / DP_LIST only

    // Strings as they are (no quotes), integers in decimal, floats as the
    // shortest text that reads back as the same double, nested values as JSON.
    std::string toString() const;

private:
    DatapointValue() : m_type(DP_FLOAT_ARRAY) { m_value.i = 0; }
    void release() noexcept;
    void copyFrom(const DatapointValue& other);

    union {
        std::string* str;
        long i;
        double f;
        std::vector<Datapoint*>* dps;
    } m_value;
    uint32_t m_type;
};

class Datapoint {
public:
    Datapoint(const std::string& name, const DatapointValue& value) : m_name(name), m_value(value) {}
    Datapoint(const std::string& name, DatapointValue&& value) : m_name(name), m_value(std::move(value)) {}

    const std::string& getName() const { return m_name; }
    void setName(const std::string& name) { m_name = name; }
    const DatapointValue& getData() const { return m_value; }
    DatapointValue& getData() { return m_value; }

private:
    std::string m_name;
    DatapointValue m_value;
};
