#pragma once
// One reading: an asset name, two timestamps (microseconds since the epoch, UTC)
// and an ordered list of datapoints that the reading owns.
#include <cstdint>
#include <string>
#include <vector>

#include "datapoint.h"

class Reading {
public:
    enum dateTimeFormat { FMT_DEFAULT = 0, FMT_ISO8601 = 1 };

    // Takes ownership of the datapoints.
    Reading(const std::string& asset, std::vector<Datapoint*> values, int64_t userTsMicros, int64_t tsMicros);
    // Both timestamps are the current time.
    Reading(const std::string& asset, std::vector<Datapoint*> values);
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;
    ~Reading();

    const std::string& getAssetName() const { return m_asset; }
    const std::vector<Datapoint*>& getReadingData() const { return m_values; }
    // The first datapoint of that name, or null.
    Datapoint* getDatapoint(const std::string& name) const;
    void addDatapoint(Datapoint* dp) { m_values.push_back(dp); }

    int64_t getUserTimestamp() const { return m_userTs; }
    int64_t getTimestamp() const { return m_ts; }
    void setUserTimestamp(int64_t micros) { m_userTs = micros; }
    void setTimestamp(int64_t micros) { m_ts = micros; }

    // FMT_DEFAULT gives "YYYY-MM-DD HH:MM:SS", followed by ".ffffff" when addMs
    // is true; FMT_ISO8601 gives "YYYY-MM-DDTHH:MM:SS[.ffffff]Z". Always UTC.
    std::string getAssetDateTime(dateTimeFormat fmt = FMT_DEFAULT, bool addMs = true) const;
    std::string getAssetDateUserTime(dateTimeFormat fmt = FMT_DEFAULT, bool addMs = true) const;

    static int64_t nowMicros();
    static std::string formatTime(int64_t micros, dateTimeFormat fmt, bool addMs);

private:
    std::string m_asset;
    std::vector<Datapoint*> m_values;
    int64_t m_userTs;
    int64_t m_ts;
};
