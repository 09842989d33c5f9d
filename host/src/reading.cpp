#include "reading.h"

#include <chrono>
#include <cstdio>

Reading::Reading(const std::string& asset, std::vector<Datapoint*> values, int64_t userTsMicros, int64_t tsMicros)
    : m_asset(asset), m_values(std::move(values)), m_userTs(userTsMicros), m_ts(tsMicros) {}

Reading::Reading(const std::string& asset, std::vector<Datapoint*> values)
    : m_asset(asset), m_values(std::move(values)), m_userTs(nowMicros()), m_ts(m_userTs) {}

Reading::~Reading() {
    for (Datapoint* dp : m_values) delete dp;
}

Datapoint* Reading::getDatapoint(const std::string& name) const {
    for (Datapoint* dp : m_values)
        if (dp->getName() == name) return dp;
    return nullptr;
}

std::string Reading::getAssetDateTime(dateTimeFormat fmt, bool addMs) const { return formatTime(m_ts, fmt, addMs); }

std::string Reading::getAssetDateUserTime(dateTimeFormat fmt, bool addMs) const {
    return formatTime(m_userTs, fmt, addMs);
}

int64_t Reading::nowMicros() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

namespace {

// Floor division and its non-negative remainder (b > 0): -1 µs is
// 1969-12-31 23:59:59.999999, not 1970-01-01. Computed without multiplying
// back, which could overflow near INT64_MIN.
int64_t floorDiv(int64_t a, int64_t b) { return a / b - (a % b < 0 ? 1 : 0); }
int64_t floorMod(int64_t a, int64_t b) { return a % b + (a % b < 0 ? b : 0); }

// Proleptic Gregorian date of a day count since 1970-01-01. Pure arithmetic,
// so it never consults the time zone and works for any int64 microsecond value
// (time_t and gmtime would need range checks of their own).
void civilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;  // shift the epoch to 0000-03-01
    const int64_t era = floorDiv(days, 146097);
    const unsigned doe = static_cast<unsigned>(floorMod(days, 146097));            // [0, 146096]
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;    // [0, 399]
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                  // [0, 365]
    const unsigned mp = (5 * doy + 2) / 153;                                       // [0, 11], March first
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
}

}  // namespace

std::string Reading::formatTime(int64_t micros, dateTimeFormat fmt, bool addMs) {
    const int64_t seconds = floorDiv(micros, 1000000);
    const auto fraction = static_cast<unsigned>(floorMod(micros, 1000000));
    const int64_t days = floorDiv(seconds, 86400);
    const auto secondOfDay = static_cast<unsigned>(floorMod(seconds, 86400));

    int64_t year;
    unsigned month, day;
    civilFromDays(days, year, month, day);

    // Written digit by digit: every row of every insert carries two of these,
    // and printf costs more than the rest of the row.
    char buf[64];
    char* out = buf;
    auto digits = [&out](unsigned value, int width) {
        for (int i = width - 1; i >= 0; --i, value /= 10) out[i] = static_cast<char>('0' + value % 10);
        out += width;
    };
    if (year >= 0 && year <= 9999) {
        digits(static_cast<unsigned>(year), 4);
    } else {
        out += std::snprintf(out, 24, "%04lld", static_cast<long long>(year));
    }
    *out++ = '-';
    digits(month, 2);
    *out++ = '-';
    digits(day, 2);
    *out++ = fmt == FMT_ISO8601 ? 'T' : ' ';
    digits(secondOfDay / 3600, 2);
    *out++ = ':';
    digits(secondOfDay / 60 % 60, 2);
    *out++ = ':';
    digits(secondOfDay % 60, 2);
    if (addMs) {
        *out++ = '.';
        digits(fraction, 6);
    }
    if (fmt == FMT_ISO8601) *out++ = 'Z';
    return std::string(buf, static_cast<size_t>(out - buf));
}
