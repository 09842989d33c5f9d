#pragma once
// One reading: an asset name, two timestamps (microseconds since the epoch, UTC)
// and an ordered list of datapoints that the reading owns. As in datapoint.h,
// only what the host offers a plugin; the stand-in's extras are in
// standin/include.
#include <cstdint>
#include <string>
#include <vector>

#include "datapoint.h"

class Reading {
public:
    enum dateTimeFormat { FMT_DEFAULT = 0, FMT_ISO8601 = 1 };

    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;

    const std::string& getAssetName() const { return m_asset; }
    const std::vector<Datapoint*>& getReadingData() const { return m_values; }
    // The first datapoint of that name, or null.
    Datapoint* getDatapoint(const std::string& name) const;

    // FMT_DEFAULT gives "YYYY-MM-DD HH:MM:SS", followed by ".ffffff" when addMs
    // is true; FMT_ISO8601 gives "YYYY-MM-DDTHH:MM:SS[.ffffff]Z". Always UTC.
    std::string getAssetDateTime(dateTimeFormat fmt = FMT_DEFAULT, bool addMs = true) const;
    std::string getAssetDateUserTime(dateTimeFormat fmt = FMT_DEFAULT, bool addMs = true) const;

private:
    std::string m_asset;
    std::vector<Datapoint*> m_values;
    int64_t m_userTs;
    int64_t m_ts;

#if __has_include("reading_standin.h")
#include "reading_standin.h"
#else
    // The host makes and frees readings; a plugin only reads them.
    ~Reading() = delete;
#endif
};
