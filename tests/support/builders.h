#pragma once
// Short ways to build what tests feed the plugin: datapoints, blocks of
// readings, configuration categories and the columns every table starts with.
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config_category.h"
#include "datapoint.h"
#include "description.h"
#include "reading.h"
#include "rows/batch_builder.h"
#include "redshift.h"

namespace testsupport {

inline Datapoint* dpString(const std::string& name, const std::string& value) {
    return new Datapoint(name, DatapointValue(value));
}
inline Datapoint* dpInt(const std::string& name, long value) { return new Datapoint(name, DatapointValue(value)); }
inline Datapoint* dpFloat(const std::string& name, double value) { return new Datapoint(name, DatapointValue(value)); }
inline Datapoint* dpNested(const std::string& name, std::initializer_list<Datapoint*> children) {
    return new Datapoint(name, DatapointValue(new std::vector<Datapoint*>(children), true));
}
inline Datapoint* dpOpaque(const std::string& name, uint32_t type) {
    return new Datapoint(name, DatapointValue::opaque(type));
}
inline Datapoint* dpHint(const std::string& json) { return dpString("RedshiftHint", json); }

// 2026-12-06 10:00:00.123456 UTC, the timestamp of every built reading.
constexpr int64_t kTestTime = 1796551200123456;

// A block of readings that owns them, handed to the plugin as the host does.
class Block {
public:
    Block() = default;
    // A reading of each asset with its datapoints, in order.
    Block(std::initializer_list<std::pair<std::string, std::vector<Datapoint*>>> readings) {
        for (const auto& reading : readings) add(reading.first, reading.second);
    }
    Reading* add(const std::string& asset, std::vector<Datapoint*> datapoints, int64_t userTs = kTestTime,
                 int64_t ts = kTestTime) {
        m_owned.push_back(std::make_unique<Reading>(asset, std::move(datapoints), userTs, ts));
        m_readings.push_back(m_owned.back().get());
        return m_readings.back();
    }
    const std::vector<Reading*>& readings() const { return m_readings; }
    Reading* operator[](size_t i) const { return m_readings[i]; }
    size_t size() const { return m_readings.size(); }

private:
    std::vector<std::unique_ptr<Reading>> m_owned;
    std::vector<Reading*> m_readings;
};

// The plugin's default category with the given items set.
inline std::unique_ptr<ConfigCategory> pluginConfig(std::initializer_list<std::pair<std::string, std::string>> items) {
    auto config = std::make_unique<ConfigCategory>("Redshift", DEFAULT_CONFIG);
    for (const auto& item : items) config->setValue(item.first, item.second);
    return config;
}

// The four columns every table the plugin makes starts with, then `more`.
inline ColumnList withFixed(const ColumnList& more = {}) {
    ColumnList columns = {{"asset_code", " VARCHAR(256) "}, {"user_ts", " TIMESTAMPTZ "}, {"ts", " TIMESTAMPTZ "},
                          {"vantrel", " VARCHAR(256) "}};
    columns.insert(columns.end(), more.begin(), more.end());
    return columns;
}

}  // namespace testsupport
