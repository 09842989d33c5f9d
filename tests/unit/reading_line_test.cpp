// north-run's reading-line parser: what a line becomes, what it refuses, and
// the table name north-run counts for it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "reading_line.h"

namespace {

std::unique_ptr<Reading> parse(const std::string& line, std::string& error) {
    return parseReadingLine(line.data(), line.size(), error);
}

std::unique_ptr<Reading> parseOk(const std::string& line) {
    std::string error;
    auto reading = parse(line, error);
    EXPECT_NE(reading, nullptr) << line << " -> " << error;
    return reading;
}

std::string rejection(const std::string& line) {
    std::string error;
    auto reading = parse(line, error);
    EXPECT_EQ(reading, nullptr) << line;
    EXPECT_FALSE(error.empty()) << line;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    return error;
}

std::string withDatapoints(const std::string& datapoints) {
    return R"({"asset": "pump 1", "user_ts": "2026-12-06 10:00:00", "datapoints": )" + datapoints + "}";
}

// The independent oracle for timestamps: the C library's own UTC conversion.
int64_t utcMicros(int y, int mo, int d, int h, int mi, int s, int64_t micros = 0) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return static_cast<int64_t>(timegm(&tm)) * 1000000 + micros;
}

std::vector<std::string> names(const std::vector<Datapoint*>& dps) {
    std::vector<std::string> out;
    for (const Datapoint* dp : dps) out.push_back(dp->getName());
    return out;
}

std::string nested(int levels) {
    std::string open, close;
    for (int i = 0; i < levels; ++i) {
        open += R"({"n": )";
        close += "}";
    }
    return open + "1" + close;
}

}  // namespace

TEST(ReadingLineValues, EachJsonTypeBecomesTheDatapointTypeThePluginExpects) {
    auto reading = parseOk(withDatapoints(
        R"({"speed": 1200, "negative": -7, "temp": 21.5, "whole float": 3.0, "huge": 18446744073709551615,
            "state": "on", "on": true, "off": false, "gone": null, "samples": [1, 2, 3]})"));
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->getAssetName(), "pump 1");
    auto dp = [&](const char* name) { return reading->getDatapoint(name); };

    ASSERT_TRUE(dp("speed"));
    EXPECT_EQ(dp("speed")->getData().getType(), DP_INTEGER);
    EXPECT_EQ(dp("speed")->getData().toInt(), 1200);
    EXPECT_EQ(dp("negative")->getData().toInt(), -7);
    EXPECT_EQ(dp("temp")->getData().getType(), DP_FLOAT);
    EXPECT_DOUBLE_EQ(dp("temp")->getData().toDouble(), 21.5);
    // Written with a fraction, it stays a float column.
    EXPECT_EQ(dp("whole float")->getData().getType(), DP_FLOAT);
    // Beyond int64 only a float can hold it.
    EXPECT_EQ(dp("huge")->getData().getType(), DP_FLOAT);
    EXPECT_DOUBLE_EQ(dp("huge")->getData().toDouble(), 18446744073709551615.0);
    EXPECT_EQ(dp("state")->getData().getType(), DP_STRING);
    EXPECT_EQ(dp("state")->getData().stringValue(), "on");
    EXPECT_EQ(dp("on")->getData().getType(), DP_INTEGER);
    EXPECT_EQ(dp("on")->getData().toInt(), 1);
    EXPECT_EQ(dp("off")->getData().toInt(), 0);
    EXPECT_EQ(dp("gone"), nullptr);
    EXPECT_EQ(dp("samples")->getData().getType(), DP_FLOAT_ARRAY);
}

TEST(ReadingLineValues, IntegerLimitsAndEscapedStringsSurviveExactly) {
    auto reading = parseOk(withDatapoints(
        R"({"max": 9223372036854775807, "min": -9223372036854775808, "just over": 9223372036854775808, "zero": 0e300,
            "text": "say \"hi\" to C:\\temp\n", "unicode": "\u00e9\u20ac"})"));
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->getDatapoint("max")->getData().toInt(), INT64_MAX);
    EXPECT_EQ(reading->getDatapoint("min")->getData().toInt(), INT64_MIN);
    EXPECT_EQ(reading->getDatapoint("just over")->getData().getType(), DP_FLOAT);
    EXPECT_EQ(reading->getDatapoint("zero")->getData().toDouble(), 0.0);
    EXPECT_EQ(reading->getDatapoint("text")->getData().stringValue(), "say \"hi\" to C:\\temp\n");
    EXPECT_EQ(reading->getDatapoint("unicode")->getData().stringValue(), "\xc3\xa9\xe2\x82\xac");
}

TEST(ReadingLineValues, DatapointsKeepDocumentOrderNotAlphabetical) {
    auto reading = parseOk(withDatapoints(R"({"zeta": 1, "alpha": 2, "gone": null, "mid": 3, "beta": 4})"));
    ASSERT_TRUE(reading);
    EXPECT_EQ(names(reading->getReadingData()), (std::vector<std::string>{"zeta", "alpha", "mid", "beta"}));
}

TEST(ReadingLineNesting, ObjectsBecomeNestedDatapointsWithChildrenInOrder) {
    auto reading = parseOk(withDatapoints(
        R"({"speed": 5, "motor": {"rpm": 3, "temp": 40.5, "off": null, "coil": {"b": "x", "a": 2}}})"));
    ASSERT_TRUE(reading);
    ASSERT_EQ(names(reading->getReadingData()), (std::vector<std::string>{"speed", "motor"}));
    const DatapointValue& motor = reading->getDatapoint("motor")->getData();
    ASSERT_EQ(motor.getType(), DP_DICT);
    const std::vector<Datapoint*>& children = *motor.getDpVec();
    ASSERT_EQ(names(children), (std::vector<std::string>{"rpm", "temp", "coil"}));
    EXPECT_EQ(children[0]->getData().toInt(), 3);
    EXPECT_EQ(children[1]->getData().getType(), DP_FLOAT);
    const DatapointValue& coil = children[2]->getData();
    ASSERT_EQ(coil.getType(), DP_DICT);
    EXPECT_EQ(names(*coil.getDpVec()), (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ((*coil.getDpVec())[0]->getData().stringValue(), "x");
}

TEST(ReadingLineNesting, DepthIsLimitedWhereverTheNestingIs) {
    // The reading is level 1 and datapoints (the outermost object of
    // nested()) level 2, so nested(63) reaches level 64 exactly.
    EXPECT_TRUE(parseOk(withDatapoints(nested(63))));
    EXPECT_NE(rejection(withDatapoints(nested(64))).find("nesting deeper than 64"), std::string::npos);

    // Arrays are not converted, but their depth counts the same way; and a
    // member that is ignored is still no place to hide a stack-sized tree.
    std::string deepArray(100000, '[');
    deepArray += std::string(100000, ']');
    EXPECT_NE(rejection(withDatapoints(R"({"a": )" + deepArray + "}")).find("nesting"), std::string::npos);
    EXPECT_NE(rejection(R"({"asset": "a", "datapoints": {}, "extra": )" + deepArray + "}").find("nesting"),
              std::string::npos);
    // Unclosed nesting is a parse error, not a crash.
    rejection(withDatapoints(std::string(200000, '{')));
}

TEST(ReadingLineTimestamps, AcceptedFormsGiveTheSameInstantAsTheCLibrary) {
    struct Case {
        const char* text;
        int64_t expected;
    } cases[] = {
        {"2026-12-06 10:00:00", utcMicros(2026, 12, 6, 10, 0, 0)},
        {"2026-12-06 10:00:00.123456", utcMicros(2026, 12, 6, 10, 0, 0, 123456)},
        {"2026-12-06 10:00:00.1", utcMicros(2026, 12, 6, 10, 0, 0, 100000)},
        {"2026-12-06 10:00:00.000050", utcMicros(2026, 12, 6, 10, 0, 0, 50)},
        {"2026-12-06T10:00:00Z", utcMicros(2026, 12, 6, 10, 0, 0)},
        {"2026-12-06 10:00:00.5+00:00", utcMicros(2026, 12, 6, 10, 0, 0, 500000)},
        {"1970-01-01 00:00:00", 0},
        {"1969-12-31 23:59:59.5", -500000},
        {"0001-01-01 00:00:00", utcMicros(1, 1, 1, 0, 0, 0)},
        {"2028-02-29 23:59:59.999999", utcMicros(2028, 2, 29, 23, 59, 59, 999999)},
        {"2000-02-29 12:00:00", utcMicros(2000, 2, 29, 12, 0, 0)},
        {"9999-12-31 23:59:59", utcMicros(9999, 12, 31, 23, 59, 59)},
    };
    for (const Case& c : cases) {
        int64_t micros = -1;
        std::string error;
        EXPECT_TRUE(parseUtcTimestamp(c.text, micros, error)) << c.text << ": " << error;
        EXPECT_EQ(micros, c.expected) << c.text;
    }
}

TEST(ReadingLineTimestamps, ImpossibleOrMisshapenTimestampsAreRefused) {
    const char* bad[] = {
        "2026-02-30 10:00:00",           // no February 30
        "2027-02-29 10:00:00",           // not a leap year
        "2100-02-29 10:00:00",           // centuries are not, unless divisible by 400
        "2026-04-31 10:00:00",           // April has 30 days
        "2026-13-01 10:00:00", "2026-00-10 10:00:00", "2026-01-00 10:00:00",
        "2026-12-06 24:00:00", "2026-12-06 10:60:00", "2026-12-06 10:00:60",
        "2026-12-06 10:00:00.1234567",   // seven fraction digits
        "2026-12-06 10:00:00.",          // a point without digits
        "2026-12-06 10:00:00+01:00",     // not UTC
        "2026-12-06 10:00:00-00:00", "2026-12-06 10:00:00 ", "2026-12-06 10:00:00ZZ", "2026-12-06 10:00",
        "2026-12-06", "", "2026/12/06 10:00:00", "26-12-06 10:00:00", "0000-01-01 00:00:00",
        "2026-12-06x10:00:00", "2026-1a-06 10:00:00",
    };
    for (const char* text : bad) {
        int64_t micros = 0;
        std::string error;
        EXPECT_FALSE(parseUtcTimestamp(text, micros, error)) << text;
        EXPECT_NE(error.find(text), std::string::npos) << "the reason names the value: " << error;
    }
    std::string error;
    int64_t micros = 0;
    parseUtcTimestamp("2026-02-30 10:00:00", micros, error);
    EXPECT_NE(error.find("day 30"), std::string::npos) << error;
    parseUtcTimestamp("2026-12-06 10:00:00+02:00", micros, error);
    EXPECT_NE(error.find("not UTC"), std::string::npos) << error;
}

TEST(ReadingLineTimestamps, BothMembersAreReadAndAnAbsentOneIsNow) {
    auto both = parseOk(
        R"({"asset": "a", "user_ts": "2026-12-06 10:00:00.25", "ts": "2026-12-06T10:00:01Z", "datapoints": {}})");
    ASSERT_TRUE(both);
    EXPECT_EQ(both->getUserTimestamp(), utcMicros(2026, 12, 6, 10, 0, 0, 250000));
    EXPECT_EQ(both->getTimestamp(), utcMicros(2026, 12, 6, 10, 0, 1));

    int64_t before = Reading::nowMicros();
    auto none = parseOk(R"({"asset": "a", "ts": null, "datapoints": {}})");
    int64_t after = Reading::nowMicros();
    ASSERT_TRUE(none);
    EXPECT_GE(none->getUserTimestamp(), before);
    EXPECT_LE(none->getUserTimestamp(), after);
    EXPECT_EQ(none->getTimestamp(), none->getUserTimestamp());

    EXPECT_NE(rejection(R"({"asset": "a", "ts": "2026-02-30 00:00:00", "datapoints": {}})").find("\"ts\""),
              std::string::npos);
    EXPECT_NE(rejection(R"({"asset": "a", "user_ts": 1765000000, "datapoints": {}})").find("not a string"),
              std::string::npos);
}

TEST(ReadingLineRejections, BadLinesGiveAOneLineReasonThatSaysWhatIsWrong) {
    struct Case {
        std::string line;
        const char* reason;
    } cases[] = {
        {"this is not json", "invalid JSON"},
        {R"({"asset": "a", "datapoints": {"x": 1})", "invalid JSON"},
        {R"({"asset": "a", "datapoints": {}} trailing)", "invalid JSON"},
        {R"({"asset": "a", "datapoints": {}}{"asset": "b", "datapoints": {}})", "invalid JSON"},
        {R"([{"asset": "a", "datapoints": {}}])", "not a JSON object"},
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
        {R"({"asset": "a", "datapoints": {"x": 1e999}})", "invalid JSON"},
        {R"({"asset": "a", "datapoints": {"x": -68eee}})", "invalid JSON"},
    };
    for (const Case& c : cases) {
        std::string error = rejection(c.line);
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.line << " -> " << error;
    }
}

TEST(ReadingLine, FloatsArriveAsTheNearestDoubleToTheirText) {
    for (const char* text : {"21.5", "0.1", "0.30000000000000004", "9007199254740993.0", "2.2250738585072014e-308",
                             "4.9e-324", "1.7976931348623157e308", "123456789012345678901234567890", "-0.0",
                             "0e300", "1e-400"}) {
        auto reading = parseOk(withDatapoints(std::string(R"({"x": )") + text + "}"));
        ASSERT_NE(reading, nullptr);
        const DatapointValue& value = reading->getReadingData()[0]->getData();
        ASSERT_EQ(value.getType(), DP_FLOAT) << text;
        double expected = std::strtod(text, nullptr);
        double got = value.toDouble();
        // Bit for bit: the sign of zero counts too.
        EXPECT_EQ(std::memcmp(&expected, &got, sizeof expected), 0) << text << " read as " << got;
    }
}

TEST(ReadingLine, NumbersPastTheDoubleRangeAreRefused) {
    for (const char* text : {"1e400", "-1e400", "1.0000000000000000000e309"})
        EXPECT_NE(rejection(withDatapoints(std::string(R"({"x": )") + text + "}")).find("too big"), std::string::npos)
            << text;
}
