#pragma once
// Readings carry named values; a value is a tagged 8-byte payload. Nested values
// own a vector of child datapoints, so copies are deep.
//
// This is what the host offers a plugin and no more: the data laid out as the
// host keeps it and the calls a plugin may make. What only our stand-in has
// (constructors, setters, ...) is in standin/include, which the plugin's
// sources never see.
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
    DatapointValue(const DatapointValue& other);
    ~DatapointValue();

    uint32_t getType() const { return m_type; }
    long toInt() const { return m_value.i; }                           // DP_INTEGER only
    double toDouble() const { return m_value.f; }                      // DP_FLOAT only
    std::vector<Datapoint*>* getDpVec() const { return m_value.dps; }  // DP_DICT / DP_LIST only

    // Strings as they are (no quotes), integers in decimal, floats as the
    // shortest text that reads back as the same double, nested values as JSON.
    std::string toString() const;

private:
    union {
        std::string* str;
        long i;
        double f;
        std::vector<Datapoint*>* dps;
    } m_value;
    uint32_t m_type;

#if __has_include("datapoint_value_standin.h")
#include "datapoint_value_standin.h"
#else
    // Assigning would copy the payload's pointer: the host offers no assignment.
    DatapointValue& operator=(const DatapointValue&) = delete;
#endif
};

class Datapoint {
public:
    const std::string& getName() const { return m_name; }
    const DatapointValue& getData() const { return m_value; }

private:
    std::string m_name;
    DatapointValue m_value;

#if __has_include("datapoint_standin.h")
#include "datapoint_standin.h"
#else
    // The host makes and frees datapoints; a plugin only reads them.
    ~Datapoint() = delete;
#endif
};
