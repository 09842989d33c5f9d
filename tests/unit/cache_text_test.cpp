// The schema cache's text form, which the host stores between runs: what is
// written, and what a stored text turns back into (or does not).
#include <gtest/gtest.h>

#include "log_capture.h"
#include "redshift.h"

using namespace testsupport;

TEST(CacheText, IsWrittenCompactInTableOrderWithColumnsInListOrder) {
    Redshift redshift;
    EXPECT_EQ(redshift.serializeCache(), "{\"Items\":[]}");
    redshift.schemaCache["pump_7"] = {{"speed", " BIGINT "}, {"label", " VARCHAR(256) "}};
    redshift.schemaCache["Zeta"] = {};
    EXPECT_EQ(redshift.serializeCache(),
              "{\"Items\":[{\"tablename\":\"Zeta\"},{\"tablename\":\"pump_7\",\"col_0\":{\"Name\":\"speed\",\"Type\":"
              "\" BIGINT \"},\"col_1\":{\"Name\":\"label\",\"Type\":\" VARCHAR(256) \"}}]}");
}

TEST(CacheText, RoundTripsTablesColumnsTypesAndAwkwardNamesExactly) {
    Redshift writer;
    ColumnList eleven;  // col_10 sorts before col_2 as text; the order must still hold
    for (int i = 0; i < 11; ++i) eleven.emplace_back("c" + std::to_string(10 - i), i % 2 ? " REAL " : " BIGINT ");
    writer.schemaCache["wide"] = eleven;
    writer.schemaCache["bare"] = {};
    writer.schemaCache[std::string("q\"b\\n\nt\tx\x01y\x1f\xc3\xa9\0z", 16)] = {{"x", " TIMESTAMPTZ "}};
    const std::string text = writer.serializeCache();
    Redshift reader;
    EXPECT_EQ(reader.deserializeCache(text), 0);
    EXPECT_EQ(reader.schemaCache, writer.schemaCache);
    EXPECT_EQ(reader.serializeCache(), text);
}

TEST(CacheText, UnusableTextGivesAnEmptyCache) {
    struct Case {
        std::string text;
        int result;
        std::vector<std::string> log;
    };
    const std::vector<std::string> unparsable = {"error: Could not parse stored cache json"};
    const std::vector<std::string> invalid = {
        "info: Stored cache JSON is invalid. Continuing without reloading stored cache"};
    const Case cases[] = {
        {"", -1, {"info: No stored schema cache: starting with an empty one"}}, {"{", -1, unparsable}, {"{\"Items\":[]} x", -1, unparsable},
        {"{\"Items\":[],}", -1, unparsable}, {std::string("{\"Items\":[]}\0junk", 17), -1, unparsable},
        // Wrong shapes are no error: nothing stored yet looks like that.
        {"{}", 0, {}}, {"{\"Items\":{}}", 0, {}}, {"[1,2]", 0, {}}, {" {\"Items\" : [] } ", 0, {}},
        {"{\"Items\":[{\"col_0\":{\"Name\":\"a\",\"Type\":\" REAL \"}}]}", 0, invalid},
        {"{\"Items\":[{\"tablename\":5}]}", 0, invalid},
        {"{\"Items\":[{\"tablename\":\"t\",\"col_0\":{\"Name\":1,\"Type\":\" REAL \"}}]}", 0, invalid},
    };
    for (const Case& c : cases) {
        LogCapture log;
        Redshift redshift;
        redshift.schemaCache["old"] = {};
        EXPECT_EQ(redshift.deserializeCache(c.text), c.result) << c.text;
        EXPECT_TRUE(redshift.schemaCache.empty()) << c.text;
        EXPECT_EQ(log.lines(), c.log) << c.text;
    }
}

TEST(CacheText, AnInvalidElementKeepsTheTablesBeforeIt) {
    Redshift redshift;
    EXPECT_EQ(redshift.deserializeCache("{\"Items\":[{\"tablename\":\"good\",\"col_0\":{\"Name\":\"a\",\"Type\":"
                                        "\" BIGINT \"}},\"t\",{\"tablename\":\"after\"}]}"),
              0);
    EXPECT_EQ(redshift.schemaCache, (TableSchemaCache{{"good", {{"a", " BIGINT "}}}}));
}

TEST(CacheText, DeeplyNestedTextDoesNotExhaustTheStack) {
    Redshift redshift;
    std::string deep = "{\"Items\":[{\"tablename\":\"t\",\"x\":" + std::string(200000, '[') +
                       std::string(200000, ']') + "}]}";
    EXPECT_EQ(redshift.deserializeCache(deep), 0);
    EXPECT_EQ(redshift.schemaCache.size(), 1u);
}
