#include "datapoint.h"

#include <charconv>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <system_error>

// The plugin copies values around in bulk; keep them as small as the host's.
static_assert(sizeof(DatapointValue) == 16, "DatapointValue must stay a 16-byte tagged payload");

namespace {

bool ownsString(uint32_t type) { return type == DP_STRING; }
bool ownsChildren(uint32_t type) { return type == DP_DICT || type == DP_LIST; }

void appendInteger(std::string& out, long value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

// Shortest text that reads back as the same double. std::to_chars ignores the
// C locale, so a comma-decimal locale cannot leak into SQL or JSON.
void appendDouble(std::string& out, double value) {
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

void appendJsonString(std::string& out, const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xf];
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

void appendJson(std::string& out, const DatapointValue& value);

void appendJsonChildren(std::string& out, const DatapointValue& value) {
    const bool dict = value.getType() == DP_DICT;
    out += dict ? '{' : '[';
    bool first = true;
    for (const Datapoint* child : *value.getDpVec()) {
        if (!first) out += ',';
        first = false;
        if (dict) {
            appendJsonString(out, child->getName());
            out += ':';
        }
        appendJson(out, child->getData());
    }
    out += dict ? '}' : ']';
}

// Inside JSON every value must be a JSON token: strings are quoted, and values
// JSON cannot express (NaN, infinities, opaque payloads) become null.
void appendJson(std::string& out, const DatapointValue& value) {
    switch (value.getType()) {
    case DP_STRING: appendJsonString(out, value.stringValue()); break;
    case DP_INTEGER: appendInteger(out, value.toInt()); break;
    case DP_FLOAT:
        if (std::isfinite(value.toDouble()))
            appendDouble(out, value.toDouble());
        else
            out += "null";
        break;
    case DP_DICT:
    case DP_LIST: appendJsonChildren(out, value); break;
    default: out += "null"; break;
    }
}

}  // namespace

DatapointValue::DatapointValue(const std::string& text) : m_type(DP_STRING) {
    m_value.str = new std::string(text);
}

DatapointValue::DatapointValue(const char* text) : m_type(DP_STRING) {
    m_value.str = new std::string(text ? text : "");
}

DatapointValue::DatapointValue(long value) : m_type(DP_INTEGER) { m_value.i = value; }

DatapointValue::DatapointValue(double value) : m_type(DP_FLOAT) { m_value.f = value; }

DatapointValue::DatapointValue(std::vector<Datapoint*>* children, bool isDict) : m_type(isDict ? DP_DICT : DP_LIST) {
    // A null vector is taken as "no children" so getDpVec() is never null.
    m_value.dps = children ? children : new std::vector<Datapoint*>();
}

DatapointValue DatapointValue::opaque(uint32_t typeCode) {
    if (typeCode == DP_STRING || typeCode == DP_INTEGER || typeCode == DP_FLOAT || ownsChildren(typeCode))
        throw std::invalid_argument("type code " + std::to_string(typeCode) + " carries a payload; it cannot be opaque");
    DatapointValue value;
    value.m_type = typeCode;
    return value;
}

DatapointValue::DatapointValue(const DatapointValue& other) : m_type(DP_FLOAT_ARRAY) {
    m_value.i = 0;
    copyFrom(other);
}

DatapointValue::DatapointValue(DatapointValue&& other) noexcept : m_value(other.m_value), m_type(other.m_type) {
    other.m_type = DP_FLOAT_ARRAY;
    other.m_value.i = 0;
}

DatapointValue& DatapointValue::operator=(const DatapointValue& other) {
    if (this != &other) {
        // Build the copy first: if allocation fails, *this is untouched.
        DatapointValue copy(other);
        *this = std::move(copy);
    }
    return *this;
}

DatapointValue& DatapointValue::operator=(DatapointValue&& other) noexcept {
    if (this != &other) {
        release();
        m_value = other.m_value;
        m_type = other.m_type;
        other.m_type = DP_FLOAT_ARRAY;
        other.m_value.i = 0;
    }
    return *this;
}

DatapointValue::~DatapointValue() { release(); }

void DatapointValue::release() noexcept {
    if (ownsString(m_type)) {
        delete m_value.str;
    } else if (ownsChildren(m_type)) {
        for (Datapoint* child : *m_value.dps) delete child;
        delete m_value.dps;
    }
    m_type = DP_FLOAT_ARRAY;
    m_value.i = 0;
}

// Only called on a payload-free *this; on failure *this stays payload-free.
void DatapointValue::copyFrom(const DatapointValue& other) {
    if (ownsString(other.m_type)) {
        m_value.str = new std::string(*other.m_value.str);
    } else if (ownsChildren(other.m_type)) {
        auto children = std::make_unique<std::vector<Datapoint*>>();
        children->reserve(other.m_value.dps->size());
        try {
            for (const Datapoint* child : *other.m_value.dps) children->push_back(new Datapoint(*child));
        } catch (...) {
            for (Datapoint* child : *children) delete child;
            throw;
        }
        m_value.dps = children.release();
    } else {
        m_value = other.m_value;
    }
    m_type = other.m_type;
}

std::string DatapointValue::toString() const {
    std::string out;
    switch (m_type) {
    case DP_STRING: out = *m_value.str; break;
    case DP_INTEGER: appendInteger(out, m_value.i); break;
    case DP_FLOAT: appendDouble(out, m_value.f); break;
    case DP_DICT:
    case DP_LIST: appendJsonChildren(out, *this); break;
    default: break;  // opaque payloads have no text
    }
    return out;
}
