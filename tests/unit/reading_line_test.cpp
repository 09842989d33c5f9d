// north-run's reading-line parser: what a line becomes and what it refuses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "reading_line.h"

namespace {

std::unique_ptr<Reading> parseOk(const std::string& line) {
    std::string error;
    auto reading = parseReadingLine(line.data(), line.size(), error);
    EXPECT_NE(reading, nullptr) << line << " -> " << error;
    return reading;
}

// The one-line reason a line is refused for.
std::string rejection(const std::string& line) {
    std::string error;
    EXPECT_EQ(parseReadingLine(line.data(), line.size(), error), nullptr) << line;
    EXPECT_FALSE(error.empty()) << line;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    return error;
}

std::string withDatapoints(const std::string& datapoints) {
    return R"({"asset": "pump 1", "user_ts": "2026-12-06 10:00:00", "datapoints": )" + datapoints + "}";
}

// The independent oracle for timestamps: the C library's own UTC conversion.
int64_t utcMicros(int y, int mo, int d, int h, int mi, int s, int64_t micros = 0) {
    std::tm tm{s, mi, h, d, mo - 1, y - 1900, 0, 0, 0, 0, nullptr};
    return static_cast<int64_t>(timegm(&tm)) * 1000000 + micros;
}

std::vector<std::string> names(const std::vector<Datapoint*>& dps) {
    std::vector<std::string> out;
    for (const Datapoint* dp : dps) out.push_back(dp->getName());
    return out;
}

}  // namespace

TEST(ReadingLine, EachJsonValueBecomesTheDatapointThePluginExpectsInDocumentOrder) {
    auto reading = parseOk(withDatapoints(
        R"({"zeta": 1200, "max": 9223372036854775807, "min": -9223372036854775808, "over": 9223372036854775808,
            "whole float": 3.0, "temp": 21.5, "gone": null, "text": "say \"hi\" to C:\\temp\n", "unicode": "\u00e9",
            "on": true, "off": false, "samples": [1, 2], "motor": {"rpm": 3, "off": null, "coil": {"b": "x", "a": 2}}})"));
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->getAssetName(), "pump 1");
    EXPECT_EQ(names(reading->getReadingData()), (std::vector<std::string>{"zeta", "max", "min", "over", "whole float",
                                                                          "temp", "text", "unicode", "on", "off",
                                                                          "samples", "motor"}));
    auto value = [&](const char* name) -> const DatapointValue& { return reading->getDatapoint(name)->getData(); };
    EXPECT_EQ(value("zeta").toInt(), 1200);
    EXPECT_EQ(value("max").toInt(), INT64_MAX);
    EXPECT_EQ(value("min").toInt(), INT64_MIN);
    // Beyond int64, or written with a fraction, a number is a float.
    EXPECT_EQ(value("over").getType(), DP_FLOAT);
    EXPECT_EQ(value("whole float").getType(), DP_FLOAT);
    EXPECT_EQ(value("temp").toDouble(), 21.5);
    EXPECT_EQ(value("text").stringValue(), "say \"hi\" to C:\\temp\n");
    EXPECT_EQ(value("unicode").stringValue(), "\xc3\xa9");
    EXPECT_EQ(value("on").getType(), DP_INTEGER);
    EXPECT_EQ(value("on").toInt(), 1);
    EXPECT_EQ(value("off").toInt(), 0);
    EXPECT_EQ(value("samples").getType(), DP_FLOAT_ARRAY);
    ASSERT_EQ(value("motor").getType(), DP_DICT);
    const std::vector<Datapoint*>& motor = *value("motor").getDpVec();
    ASSERT_EQ(names(motor), (std::vector<std::string>{"rpm", "coil"}));
    EXPECT_EQ(names(*motor[1]->getData().getDpVec()), (std::vector<std::string>{"b", "a"}));
}

TEST(ReadingLine, FloatsArriveAsTheNearestDoubleToTheirText) {
    for (const char* text : {"0.1", "0.30000000000000004", "9007199254740993.0", "2.2250738585072014e-308", "4.9e-324",
                             "1.7976931348623157e308", "123456789012345678901234567890", "-0.0", "1e-400"}) {
        auto reading = parseOk(withDatapoints(std::string(R"({"x": )") + text + "}"));
        ASSERT_NE(reading, nullptr);
        const DatapointValue& value = reading->getReadingData()[0]->getData();
        ASSERT_EQ(value.getType(), DP_FLOAT) << text;
        double expected = std::strtod(text, nullptr), got = value.toDouble();
        EXPECT_EQ(std::memcmp(&expected, &got, sizeof expected), 0) << text << " read as " << got;  // -0 too
    }
}

TEST(ReadingLine, NestingIsLimitedWhereverItIs) {
    // The reading is level 1 and its datapoints level 2, so 63 more objects reach level 64.
    std::string deep = "1";
    for (int i = 0; i < 63; ++i) deep = R"({"n": )" + deep + "}";
    EXPECT_TRUE(parseOk(withDatapoints(deep)));
    EXPECT_NE(rejection(withDatapoints(R"({"n": )" + deep + "}")).find("nesting deeper than 64"), std::string::npos);
    // Arrays count the same, and an ignored member is no place to hide a stack-sized tree.
    const std::string deepArray = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_NE(rejection(withDatapoints(R"({"a": )" + deepArray + "}")).find("nesting"), std::string::npos);
    EXPECT_NE(rejection(R"({"asset": "a", "datapoints": {}, "x": )" + deepArray + "}").find("nesting"),
              std::string::npos);
    rejection(withDatapoints(std::string(200000, '{')));
}

TEST(ReadingLine, BadLinesGiveAOneLineReasonThatSaysWhatIsWrong) {
    const std::pair<std::string, const char*> cases[] = {
        {"this is not json", "invalid JSON"},
        {R"({"asset": "a", "datapoints": {"x": 1})", "invalid JSON"},
        {R"({"asset": "a", "datapoints": {}} trailing)", "invalid JSON"},
        {R"({"asset": "a", "datapoints": {}}{"asset": "b", "datapoints": {}})", "invalid JSON"},
        {"42", "not a JSON object"},
        {R"({"datapoints": {"x": 1}})", "missing \"asset\""},
        {R"({"asset": 7, "datapoints": {}})", "\"asset\" is not a string"},
        {R"({"asset": "", "datapoints": {}})", "\"asset\" is empty"},
        {R"({"asset": "a"})", "missing \"datapoints\""},
        {R"({"asset": "a", "datapoints": [1, 2]})", "\"datapoints\" is not an object"},
        {R"({"asset": "a", "datapoints": {"x": 1, "x": 2}})", "\"x\" appears twice"},
        {R"({"asset": "a", "datapoints": {"m": {"r": 1, "r": 2}}})", "\"m.r\" appears twice"},
        {R"({"asset": "a", "datapoints": {"": 1}})", "empty name"},
        {std::string(R"({"asset": "a", "datapoints": {}})") + '\0' + "garbage", "NUL"},
        {"{\"asset\": \"\xff\xfe\", \"datapoints\": {}}", "invalid JSON"},
        {R"({"asset": "a", "datapoints": {"x": "\udc80"}})", "surrogate"},
        {R"({"asset": "a", "datapoints": {"x": -68eee}})", "invalid JSON"},
        {R"({"asset": "a", "datapoints": {"x": 1e400}})", "too big"},
        {R"({"asset": "a", "datapoints": {"x": -1.0000000000000000000e309}})", "too big"},
        {R"({"asset": "a", "user_ts": 1765000000, "datapoints": {}})", "not a string"},
        {R"({"asset": "a", "ts": "2026-02-30 00:00:00", "datapoints": {}})", "\"ts\""},
    };
    for (const auto& [line, reason] : cases)
        EXPECT_NE(rejection(line).find(reason), std::string::npos) << line << " -> " << rejection(line);
}

TEST(ReadingLineTimestamps, AcceptedFormsGiveTheSameInstantAsTheCLibrary) {
    const std::pair<const char*, int64_t> cases[] = {
        {"2026-12-06 10:00:00", utcMicros(2026, 12, 6, 10, 0, 0)},
        {"2026-12-06 10:00:00.123456", utcMicros(2026, 12, 6, 10, 0, 0, 123456)},
        {"2026-12-06 10:00:00.000050", utcMicros(2026, 12, 6, 10, 0, 0, 50)},
        {"2026-12-06T10:00:00Z", utcMicros(2026, 12, 6, 10, 0, 0)},
        {"2026-12-06 10:00:00.5+00:00", utcMicros(2026, 12, 6, 10, 0, 0, 500000)},
        {"1969-12-31 23:59:59.5", -500000},
        {"0001-01-01 00:00:00", utcMicros(1, 1, 1, 0, 0, 0)},
        {"2028-02-29 23:59:59.999999", utcMicros(2028, 2, 29, 23, 59, 59, 999999)},
        {"2000-02-29 12:00:00", utcMicros(2000, 2, 29, 12, 0, 0)},
        {"9999-12-31 23:59:59", utcMicros(9999, 12, 31, 23, 59, 59)},
    };
    for (auto [text, expected] : cases) {
        int64_t micros = -1;
        std::string error;
        EXPECT_TRUE(parseUtcTimestamp(text, micros, error)) << text << ": " << error;
        EXPECT_EQ(micros, expected) << text;
    }
    auto both = parseOk(R"({"asset": "a", "user_ts": "2026-12-06 10:00:00", "ts": "2026-12-06T10:00:01Z", "datapoints": {}})");
    ASSERT_TRUE(both);
    EXPECT_EQ(both->getTimestamp() - both->getUserTimestamp(), 1000000);
    // Absent or null: the current time, the same for both.
    int64_t before = Reading::nowMicros();
    auto none = parseOk(R"({"asset": "a", "ts": null, "datapoints": {}})");
    ASSERT_TRUE(none);
    EXPECT_GE(none->getUserTimestamp(), before);
    EXPECT_LE(none->getUserTimestamp(), Reading::nowMicros());
    EXPECT_EQ(none->getTimestamp(), none->getUserTimestamp());
}

TEST(ReadingLineTimestamps, ImpossibleOrMisshapenTimestampsAreRefusedByName) {
    for (const char* text : {"2026-02-30 10:00:00", "2027-02-29 10:00:00", "2100-02-29 10:00:00", "2026-04-31 10:00:00",
                             "2026-13-01 10:00:00", "2026-00-10 10:00:00", "2026-01-00 10:00:00", "2026-12-06 24:00:00",
                             "2026-12-06 10:60:00", "2026-12-06 10:00:60", "2026-12-06 10:00:00.1234567",
                             "2026-12-06 10:00:00.", "2026-12-06 10:00:00+01:00", "2026-12-06 10:00:00-00:00",
                             "2026-12-06 10:00:00 ", "2026-12-06 10:00:00ZZ", "2026-12-06 10:00", "2026-12-06", "",
                             "2026/12/06 10:00:00", "26-12-06 10:00:00", "0000-01-01 00:00:00", "2026-12-06x10:00:00",
                             "2026-1a-06 10:00:00"}) {
        int64_t micros = 0;
        std::string error;
        EXPECT_FALSE(parseUtcTimestamp(text, micros, error)) << text;
        EXPECT_NE(error.find(text), std::string::npos) << "the reason names the value: " << error;
    }
    int64_t micros = 0;
    std::string error;
    parseUtcTimestamp("2026-02-30 10:00:00", micros, error);
    EXPECT_NE(error.find("day 30"), std::string::npos) << error;
    parseUtcTimestamp("2026-12-06 10:00:00+02:00", micros, error);
    EXPECT_NE(error.find("not UTC"), std::string::npos) << error;
}
