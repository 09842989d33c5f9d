// The schema cache's text form: what is written, and what a stored text
// turns back into (or does not).
#include <gtest/gtest.h>

#include "log_capture.h"
#include "redshift.h"

using namespace testsupport;

namespace {
const char* kUnparsable = "error: Could not parse stored cache json";
const char* kInvalid = "info: Stored cache JSON is invalid. Continuing without reloading stored cache";
}  // namespace

TEST(CacheText, IsWrittenCompactInTableOrderWithColumnsInListOrder) {
    Redshift redshift;
    redshift.schemaCache["pump_7"] = {{"speed", " BIGINT "}, {"label", " VARCHAR(256) "}};
    EXPECT_EQ(redshift.serializeCache(),
              "{\"Items\":[{\"tablename\":\"pump_7\",\"col_0\":{\"Name\":\"speed\",\"Type\":\" BIGINT \"},"
              "\"col_1\":{\"Name\":\"label\",\"Type\":\" VARCHAR(256) \"}}]}");

    redshift.schemaCache.clear();
    EXPECT_EQ(redshift.serializeCache(), "{\"Items\":[]}");
    redshift.schemaCache["alpha"] = {};
    redshift.schemaCache["Zeta"] = {};
    EXPECT_EQ(redshift.serializeCache(), "{\"Items\":[{\"tablename\":\"Zeta\"},{\"tablename\":\"alpha\"}]}");
}

TEST(CacheText, EscapesQuotesBackslashesAndControlBytes) {
    Redshift redshift;
    redshift.schemaCache[std::string("q\"b\\n\nt\tr\rf\fb\bx\x01y\x1f\xc3\xa9\0z", 22)] = {};
    EXPECT_EQ(redshift.serializeCache(),
              "{\"Items\":[{\"tablename\":\"q\\\"b\\\\n\\nt\\tr\\rf\\fb\\bx\\u0001y\\u001F\xc3\xa9\\u0000z\"}]}");
}

TEST(CacheText, RoundTripsTablesColumnsAndTypesExactly) {
    Redshift writer;
    ColumnList eleven;
    for (int i = 0; i < 11; ++i) eleven.emplace_back("c" + std::to_string(10 - i), i % 2 ? " REAL " : " BIGINT ");
    writer.schemaCache["wide"] = eleven;
    writer.schemaCache["bare"] = {};
    writer.schemaCache["odd\"\nname"] = {{"x", " TIMESTAMPTZ "}};
    std::string text = writer.serializeCache();
    EXPECT_NE(text.find("\"col_9\":{\"Name\":\"c1\""), std::string::npos);
    EXPECT_NE(text.find("\"col_10\":{\"Name\":\"c0\""), std::string::npos);

    Redshift reader;
    EXPECT_EQ(reader.deserializeCache(text), 0);
    EXPECT_EQ(reader.schemaCache, writer.schemaCache);
    EXPECT_EQ(reader.serializeCache(), text);
}

TEST(CacheText, UnparsableTextIsRejectedWithAnErrorAndLeavesTheCacheEmpty) {
    for (const char* text : {" ", "{", "{\"Items\":[]} x", "{\"Items\":[],}", "/* c */{\"Items\":[]}", "nul"}) {
        LogCapture log;
        Redshift redshift;
        redshift.schemaCache["old"] = {};
        EXPECT_EQ(redshift.deserializeCache(text), -1) << text;
        EXPECT_TRUE(redshift.schemaCache.empty()) << text;
        EXPECT_EQ(log.lines(), std::vector<std::string>{kUnparsable}) << text;
    }
    // A NUL inside the text is not the end of it.
    Redshift redshift;
    EXPECT_EQ(redshift.deserializeCache(std::string("{\"Items\":[]}\0junk", 17)), -1);
}

TEST(CacheText, EmptyTextIsAFirstStartWithAnInfoLine) {
    LogCapture log;
    Redshift redshift;
    redshift.schemaCache["old"] = {};
    EXPECT_EQ(redshift.deserializeCache(""), -1);
    EXPECT_TRUE(redshift.schemaCache.empty());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"info: No stored schema cache: starting with an empty one"});
}

TEST(CacheText, WrongShapesGiveAnEmptyCacheSilently) {
    for (const char* text : {"{}", "{\"Items\":{}}", "[1,2]", "42", "\"s\"", "{\"Items\":[]}", " {\"Items\" : [] } "}) {
        LogCapture log;
        Redshift redshift;
        redshift.schemaCache["old"] = {};
        EXPECT_EQ(redshift.deserializeCache(text), 0) << text;
        EXPECT_TRUE(redshift.schemaCache.empty()) << text;
        EXPECT_TRUE(log.lines().empty()) << text;
    }
}

TEST(CacheText, ColumnsComeInTextOrderAndUnusableMembersAreSkipped) {
    Redshift redshift;
    EXPECT_EQ(redshift.deserializeCache(
                  "{\"Items\":[{\"tablename\":\"t\",\"col_1\":{\"Name\":\"b\",\"Type\":\" REAL \"},"
                  "\"col_0\":{\"Name\":\"a\",\"Type\":\" BIGINT \"},\"anything\":{\"Name\":\"c\",\"Type\":\"\"},"
                  "\"noType\":{\"Name\":\"d\"},\"scalar\":5,\"tablename\":\"second\"},"
                  "{\"tablename\":\"t\",\"col_0\":{\"Name\":\"dup\",\"Type\":\" REAL \"}}]}"),
              0);
    ASSERT_EQ(redshift.schemaCache.size(), 1u);
    EXPECT_EQ(redshift.schemaCache["t"], (ColumnList{{"b", " REAL "}, {"a", " BIGINT "}, {"c", ""}}));
}

TEST(CacheText, AnInvalidElementKeepsTheTablesBeforeIt) {
    const char* good = "{\"tablename\":\"good\",\"col_0\":{\"Name\":\"a\",\"Type\":\" BIGINT \"}}";
    for (std::string bad : {"{\"col_0\":{\"Name\":\"a\",\"Type\":\" REAL \"}}", "{\"tablename\":5}", "\"t\"",
                            "{\"tablename\":\"t\",\"col_0\":{\"Name\":1,\"Type\":\" REAL \"}}",
                            "{\"tablename\":\"t\",\"col_0\":{\"Name\":\"a\",\"Type\":null}}"}) {
        LogCapture log;
        Redshift redshift;
        EXPECT_EQ(redshift.deserializeCache(std::string("{\"Items\":[") + good + "," + bad + "," +
                                            "{\"tablename\":\"after\"}]}"),
                  0)
            << bad;
        ASSERT_EQ(redshift.schemaCache.size(), 1u) << bad;
        EXPECT_EQ(redshift.schemaCache["good"], (ColumnList{{"a", " BIGINT "}}));
        EXPECT_EQ(log.lines(), std::vector<std::string>{kInvalid}) << bad;
    }
}

TEST(CacheText, DeeplyNestedTextDoesNotExhaustTheStack) {
    Redshift redshift;
    std::string deep = "{\"Items\":[{\"tablename\":\"t\",\"x\":" + std::string(200000, '[') +
                       std::string(200000, ']') + "}]}";
    EXPECT_EQ(redshift.deserializeCache(deep), 0);
    EXPECT_EQ(redshift.schemaCache.size(), 1u);
}
