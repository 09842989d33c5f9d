// The schema cache's text form, which the host stores between runs: what is
// written, and what a stored text turns back into (or does not).
#include <gtest/gtest.h>

#include "log_capture.h"
#include "redshift.h"

using namespace testsupport;

namespace {
const std::string kEmpty = "{\"Items\":[]}";
}

TEST(CacheText, IsWrittenCompactInTableOrderWithColumnsInListOrderAndReadBackExactly) {
    Redshift redshift;
    EXPECT_EQ(redshift.serializeCache(), kEmpty);
    // col_10 sorts before col_2 as text; the column order must still hold.
    std::string wide = "{\"tablename\":\"wide\"";
    for (int i = 0; i < 11; ++i)
        wide += ",\"col_" + std::to_string(i) + "\":{\"Name\":\"c" + std::to_string(10 - i) + "\",\"Type\":\"" +
                (i % 2 ? " REAL " : " BIGINT ") + "\"}";
    const std::string text =
        "{\"Items\":[{\"tablename\":\"bare\"},{\"tablename\":\"q\\\"b\\\\n\\nt\\tx\\u0001y\\u001F\xc3\xa9\\u0000z\","
        "\"col_0\":{\"Name\":\"x\",\"Type\":\" TIMESTAMPTZ \"}}," + wide + "}]}";
    EXPECT_EQ(redshift.deserializeCache(text), 0);
    EXPECT_EQ(redshift.serializeCache(), text);
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
        {"", -1, {"info: No stored schema cache: starting with an empty one"}}, {"{", -1, unparsable},
        {"{\"Items\":[]} x", -1, unparsable}, {"{\"Items\":[],}", -1, unparsable},
        {std::string("{\"Items\":[]}\0junk", 17), -1, unparsable},
        // Wrong shapes are no error: nothing stored yet looks like that.
        {"{}", 0, {}}, {"{\"Items\":{}}", 0, {}}, {"[1,2]", 0, {}}, {" {\"Items\" : [] } ", 0, {}},
        {"{\"Items\":[{\"col_0\":{\"Name\":\"a\",\"Type\":\" REAL \"}}]}", 0, invalid},
        {"{\"Items\":[{\"tablename\":5}]}", 0, invalid},
        {"{\"Items\":[{\"tablename\":\"t\",\"col_0\":{\"Name\":1,\"Type\":\" REAL \"}}]}", 0, invalid},
    };
    for (const Case& c : cases) {
        Redshift redshift;
        ASSERT_EQ(redshift.deserializeCache("{\"Items\":[{\"tablename\":\"old\"}]}"), 0);
        LogCapture log;
        EXPECT_EQ(redshift.deserializeCache(c.text), c.result) << c.text;
        EXPECT_EQ(redshift.serializeCache(), kEmpty) << c.text;
        EXPECT_EQ(log.lines(), c.log) << c.text;
    }
}

TEST(CacheText, AnInvalidElementKeepsTheTablesBeforeIt) {
    Redshift redshift;
    const std::string good = "{\"tablename\":\"good\",\"col_0\":{\"Name\":\"a\",\"Type\":\" BIGINT \"}}";
    EXPECT_EQ(redshift.deserializeCache("{\"Items\":[" + good + ",\"t\",{\"tablename\":\"after\"}]}"), 0);
    EXPECT_EQ(redshift.serializeCache(), "{\"Items\":[" + good + "]}");
}

TEST(CacheText, DeeplyNestedTextDoesNotExhaustTheStack) {
    Redshift redshift;
    std::string deep = "{\"Items\":[{\"tablename\":\"t\",\"x\":" + std::string(200000, '[') +
                       std::string(200000, ']') + "}]}";
    EXPECT_EQ(redshift.deserializeCache(deep), 0);
    EXPECT_EQ(redshift.serializeCache(), "{\"Items\":[{\"tablename\":\"t\"}]}");
}
