// Unit tests of the host stand-in libraries the plugin is built against.
#include <gtest/gtest.h>

#include <cfloat>
#include <charconv>
#include <climits>
#include <clocale>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config_category.h"
#include "datapoint.h"
#include "logger.h"
#include "reading.h"
#include "sql_buffer.h"
#include "string_utils.h"

namespace {

// {"n":1,"s":"x","inner":{"deep":"text"}}
DatapointValue nestedValue() {
    auto* inner = new std::vector<Datapoint*>{new Datapoint("deep", DatapointValue("text"))};
    auto* outer = new std::vector<Datapoint*>{new Datapoint("n", DatapointValue(1)), new Datapoint("s", DatapointValue("x")),
                                              new Datapoint("inner", DatapointValue(inner, true))};
    return DatapointValue(outer, true);
}

std::string contents(const SQLBuffer& sql) {
    std::unique_ptr<const char[]> text(sql.coalesce());
    EXPECT_EQ(text[sql.length()], '\0');
    return std::string(text.get(), sql.length());
}

bool sameDouble(const std::string& text, double expected) {
    double parsed = 0;
    auto res = std::from_chars(text.data(), text.data() + text.size(), parsed);
    return res.ec == std::errc() && res.ptr == text.data() + text.size() &&
           std::memcmp(&parsed, &expected, sizeof parsed) == 0;  // bitwise, so -0.0 counts
}

}  // namespace

TEST(DatapointValue, CopyIsDeepAtEveryLevelAndOutlivesTheOriginal) {
    auto original = std::make_unique<DatapointValue>(nestedValue());
    DatapointValue copy(*original);
    Datapoint* copiedInner = (*copy.getDpVec())[2];
    EXPECT_NE(copiedInner, (*original->getDpVec())[2]);
    (*copiedInner->getData().getDpVec())[0]->getData() = DatapointValue("changed");
    copiedInner->setName("renamed");
    EXPECT_EQ(original->toString(), R"({"n":1,"s":"x","inner":{"deep":"text"}})");
    original.reset();
    EXPECT_EQ(copy.toString(), R"({"n":1,"s":"x","renamed":{"deep":"changed"}})");
}

TEST(DatapointValue, MovedFromValueIsPayloadFreeAndReusable) {
    DatapointValue source(nestedValue());
    DatapointValue target(std::move(source));
    EXPECT_EQ(source.getType(), DP_FLOAT_ARRAY);
    EXPECT_EQ(source.toString(), "");
    DatapointValue text("overwritten");
    text = std::move(target);  // the old string must be freed (ASan reports a leak otherwise)
    EXPECT_EQ(text.getDpVec()->size(), 3u);
    source = DatapointValue("again");
    EXPECT_EQ(source.toString(), "again");
}

TEST(DatapointValue, ScalarTextIsExactAndFloatsReadBackUnchanged) {
    for (double d : {0.1, 1e-300, 1e300, -0.0, 21.5, 5e-324, DBL_MAX, 1.0 / 3})
        EXPECT_TRUE(sameDouble(DatapointValue(d).toString(), d)) << DatapointValue(d).toString();
    EXPECT_EQ(DatapointValue(0.1).toString(), "0.1");
    EXPECT_EQ(DatapointValue(-0.0).toString(), "-0");
    EXPECT_EQ(DatapointValue(LONG_MIN).toString(), "-9223372036854775808");
    EXPECT_EQ(DatapointValue(-7).toString(), "-7");
    EXPECT_EQ(DatapointValue(std::string("say \"hi\"\n")).toString(), "say \"hi\"\n");
}

TEST(DatapointValue, NestedValuesRenderAsJsonWithEscapedStrings) {
    const std::string awkward("q\"b\\n\n\x01", 8);  // ends in a NUL
    auto* list = new std::vector<Datapoint*>{
        new Datapoint("a", DatapointValue(awkward)), new Datapoint("b", DatapointValue(7)),
        new Datapoint("c", DatapointValue(0.5)), new Datapoint("d", DatapointValue(new std::vector<Datapoint*>, false)),
        new Datapoint("e", DatapointValue::opaque(DP_IMAGE))};
    auto* dict = new std::vector<Datapoint*>{new Datapoint("k\"ey", DatapointValue(list, false))};
    EXPECT_EQ(DatapointValue(dict, true).toString(), R"({"k\"ey":["q\"b\\n\n\u0001\u0000",7,0.5,[],null]})");
}

TEST(Reading, OwnsItsDatapointsAndFindsTheFirstOfAName) {
    Reading reading("asset", {new Datapoint("x", DatapointValue(1)), new Datapoint("x", DatapointValue(2))}, 0, 0);
    reading.addDatapoint(new Datapoint("y", DatapointValue("v")));
    EXPECT_EQ(reading.getDatapoint("x")->getData().toInt(), 1);
    EXPECT_EQ(reading.getDatapoint("y")->getData().toString(), "v");
    EXPECT_EQ(reading.getDatapoint("X"), nullptr);
}

TEST(Reading, FormatsTimestampsInUtcFlooringNegativeTimes) {
    struct Case { int64_t micros; const char* text; };
    for (const Case& c : std::vector<Case>{{0, "1970-01-01 00:00:00.000000"},
                                           {1700000000123456, "2023-11-14 22:13:20.123456"},
                                           {-1, "1969-12-31 23:59:59.999999"},
                                           {-1500000, "1969-12-31 23:59:58.500000"},
                                           {951782400000000, "2000-02-29 00:00:00.000000"},
                                           {-62135596800000000, "0001-01-01 00:00:00.000000"},
                                           {INT64_MAX, "294247-01-10 04:00:54.775807"},
                                           {INT64_MIN, "-290308-12-21 19:59:05.224192"}})
        EXPECT_EQ(Reading::formatTime(c.micros, Reading::FMT_DEFAULT, true), c.text) << c.micros;
    EXPECT_EQ(Reading::formatTime(-1, Reading::FMT_DEFAULT, false), "1969-12-31 23:59:59");
    EXPECT_EQ(Reading::formatTime(1700000000123456, Reading::FMT_ISO8601, true), "2023-11-14T22:13:20.123456Z");
    EXPECT_EQ(Reading::formatTime(1700000000123456, Reading::FMT_ISO8601, false), "2023-11-14T22:13:20Z");

    Reading reading("asset", {}, 0, 1000000);
    EXPECT_EQ(reading.getAssetDateUserTime(), "1970-01-01 00:00:00.000000");
    EXPECT_EQ(reading.getAssetDateTime(Reading::FMT_ISO8601, false), "1970-01-01T00:00:01Z");
}

TEST(ConfigCategory, ValueOverridesDefaultAndItemOrderIsKept) {
    ConfigCategory config("cat", R"({
        "zeta": {"description": "a host", "type": "string", "default": "localhost"},
        "alpha": {"type": "integer", "default": "5439", "value": "5440"},
        "mode": {"type": "enumeration", "options": ["a", "b"], "default": "a"},
        "bare": {"type": "string"}})");
    EXPECT_EQ(config.getItemNames(), (std::vector<std::string>{"zeta", "alpha", "mode", "bare"}));
    EXPECT_EQ(config.getValue("zeta"), "localhost");
    EXPECT_EQ(config.getValue("alpha"), "5440");
    EXPECT_EQ(config.getValue("bare"), "");
    config.setValue("zeta", "");
    EXPECT_EQ(config.getValue("zeta"), "");  // an empty value still overrides the default
    EXPECT_FALSE(config.itemExists("nope"));
    EXPECT_THROW(config.getValue("nope"), ConfigItemNotFound);
    EXPECT_THROW(config.setValue("nope", "x"), ConfigItemNotFound);
}

class LoggerTest : public ::testing::Test {
protected:
    using Line = std::pair<Logger::Level, std::string>;
    void SetUp() override {
        logger->setSink([this](Logger::Level level, const std::string& text) { lines.emplace_back(level, text); });
    }
    void TearDown() override {
        logger->setSink(nullptr);
        logger->setMinLevel(Logger::Level::Info);
    }
    Logger* logger = Logger::getLogger();
    std::vector<Line> lines;
};

TEST_F(LoggerTest, LinesBelowTheLevelNeverReachTheSink) {
    EXPECT_EQ(logger->getMinLevel(), Logger::Level::Info);
    logger->setMinLevel(Logger::Level::Warning);
    EXPECT_FALSE(logger->isEnabled(Logger::Level::Info));
    EXPECT_TRUE(logger->isEnabled(Logger::Level::Error));
    logger->info("dropped %d", 1);
    logger->debug("dropped %s", "too");
    logger->warn("kept %s", "w");
    logger->error("kept %d\n", 2);  // a caller's trailing newline is not passed on
    EXPECT_EQ(lines, (std::vector<Line>{{Logger::Level::Warning, "kept w"}, {Logger::Level::Error, "kept 2"}}));
}

TEST_F(LoggerTest, VeryLongLinesArriveWhole) {
    const std::string big(200000, 'x');
    logger->info("[%s]", big.c_str());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].second, "[" + big + "]");
}

TEST(SQLBuffer, PiecesOfAnySizeCoalesceToTheirConcatenation) {
    SQLBuffer sql;
    EXPECT_EQ(contents(sql), "");
    std::string expected;
    auto add = [&](const std::string& piece) { sql.append(piece); expected += piece; };
    std::string big(150000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);  // includes NULs
    add(big);
    for (int i = 0; i < 70000; ++i) {
        sql.append(static_cast<char>('a' + i % 26));
        expected += static_cast<char>('a' + i % 26);
    }
    add(std::string(4 * 65536 - expected.size(), 'z'));  // ends exactly on a block boundary
    add("!");
    EXPECT_EQ(sql.length(), expected.size());
    EXPECT_EQ(contents(sql), expected);

    sql.clear();
    EXPECT_TRUE(sql.isEmpty());
    EXPECT_EQ(contents(sql), "");
    sql.append("again");
    sql.append(static_cast<const char*>(nullptr));
    EXPECT_EQ(contents(sql), "again");
}

TEST(SQLBuffer, NumbersUseShortestLocaleFreeText) {
    auto text = [](auto value) { SQLBuffer sql; sql.append(value); return contents(sql); };
    EXPECT_EQ(text(LONG_MIN), "-9223372036854775808");
    EXPECT_EQ(text(ULONG_MAX), "18446744073709551615");
    EXPECT_EQ(text(-5), "-5");
    EXPECT_EQ(text(7u), "7");
    EXPECT_EQ(text(21.5), "21.5");
    EXPECT_EQ(text(1e20), "1e+20");
    EXPECT_EQ(text(0.1), "0.1");
    EXPECT_EQ(text(-0.0), "-0");
    EXPECT_TRUE(sameDouble(text(1.0 / 3), 1.0 / 3));

    // Under a comma-decimal locale, printf would write "21,5".
    struct RestoreLocale { ~RestoreLocale() { std::setlocale(LC_ALL, "C"); } } restore;
    bool commaLocale = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "de_DE", "fr_FR"})
        if (std::setlocale(LC_ALL, name) && std::strcmp(std::localeconv()->decimal_point, ",") == 0) {
            commaLocale = true;
            break;
        }
    if (!commaLocale) GTEST_SKIP() << "no locale with a comma decimal point is installed";
    EXPECT_EQ(text(21.5), "21.5");
    EXPECT_EQ(DatapointValue(21.5).toString(), "21.5");
}

TEST(StringReplaceAll, ReplacesNonOverlappingMatchesLeftToRightWithoutRescanning) {
    struct Case { const char* s; const char* from; const char* to; const char* expected; };
    for (const Case& c : std::vector<Case>{{"a.b.c", ".", "::", "a::b::c"},
                                           {"aaaa", "aa", "b", "bb"},
                                           {"aaa", "aa", "b", "ba"},
                                           {"it's 'x'", "'", "''", "it''s ''x''"},  // replacement contains from
                                           {"abc", "", "x", "abc"},
                                           {"abc", "abc", "", ""},
                                           {"abc", "z", "y", "abc"},
                                           {"", "a", "b", ""}}) {
        std::string s = c.s;
        StringReplaceAll(s, c.from, c.to);
        EXPECT_EQ(s, c.expected) << c.s << " / " << c.from;
    }
}
