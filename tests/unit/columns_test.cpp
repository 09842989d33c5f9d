// From datapoint names and values to column names, types and statement names.
#include <gtest/gtest.h>

#include <cstring>

#include "builders.h"
#include "log_capture.h"
#include "sql_names.h"

using namespace testsupport;

TEST(ValidName, ReplacesEveryOtherByteAndPrefixesALeadingDigit) {
    const std::pair<std::string, std::string> cases[] = {
        {"temp", "temp"}, {"temp-1", "temp_1"}, {"a.b c", "a_b_c"}, {"9lives", "X_9lives"}, {"_x", "_x"},
        {"", ""}, {"Temp", "Temp"}, {"caf\xc3\xa9", "caf__"}, {"'; drop", "___drop"},
    };
    for (auto [in, out] : cases) {
        std::string name = in;
        Redshift::getValidSQLName(name);
        EXPECT_EQ(name, out) << in;
        Redshift::getValidSQLName(name);
        EXPECT_EQ(name, out) << "a valid name stays as it is: " << in;
    }
}

TEST(ColumnMapping, TypesLeavesAndSkippedKindsMakeTheColumnList) {
    LogCapture log;
    Redshift redshift;
    std::vector<std::string> names, types;
    std::vector<DatapointValue> values;
    for (Datapoint* dp : {dpString("level", "high"), dpInt("count", 7), dpFloat("temp", 21.5),
                          dpOpaque("array", DP_FLOAT_ARRAY), dpOpaque("odd", 42), dpHint("{}"),
                          dpString("redshifthint", "a column: only the exact hint name is skipped"),
                          dpOpaque("cam.1", DP_IMAGE), dpOpaque("blob", DP_DATABUFFER),
                          dpNested("motor", {dpInt("speed", 3), dpNested("state", {dpString("code", "ok")})}),
                          dpNested("2nd-stage", {dpFloat("p", 1.5), dpOpaque("pic", DP_IMAGE)}),
                          dpNested("a", {dpInt("v 1", 3), dpNested("v 1", {dpInt("w", 4)})}), dpNested("e", {})}) {
        redshift.prepareQueryData(dp, names, types, values);
        delete dp;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"level", "count", "temp", "redshifthint", "motor_speed",
                                               "motor_state_code", "X_2nd_stage_p", "a_v_1", "a_v_1_w"}));
    EXPECT_EQ(types, (std::vector<std::string>{" VARCHAR(256) ", " BIGINT ", " REAL ", " VARCHAR(256) ", " BIGINT ",
                                               " VARCHAR(256) ", " REAL ", " BIGINT ", " BIGINT "}));
    ASSERT_EQ(values.size(), names.size());
    EXPECT_EQ(values[5].toString(), "ok");
    EXPECT_EQ(log.count("is not supported by AWS Redshift plugin"), 3u) << log.dump();
}

TEST(ReservedWords, TableIsSortedUpperCaseAndWithoutDuplicates) {
    ASSERT_GT(RESERVED_WORD_COUNT, 100u);
    for (size_t i = 0; i < RESERVED_WORD_COUNT; ++i) {
        for (const char* c = RESERVED_WORDS[i]; *c; ++c) EXPECT_FALSE(*c >= 'a' && *c <= 'z') << RESERVED_WORDS[i];
        EXPECT_TRUE(i == 0 || std::strcmp(RESERVED_WORDS[i - 1], RESERVED_WORDS[i]) < 0) << RESERVED_WORDS[i];
    }
}

TEST(ReservedWords, StatementNamesAreQuotedOnlyWhenTheyMustBe) {
    const std::pair<const char*, const char*> cases[] = {
        // Reserved in either database: quoted.
        {"user", "\"user\""}, {"order", "\"order\""}, {"limit", "\"limit\""}, {"timestamp", "\"timestamp\""},
        {"tag", "\"tag\""}, {"mostly8", "\"mostly8\""}, {"returning", "\"returning\""}, {"open", "\"open\""},
        // Plain lower-case names stay bare.
        {"users", "users"}, {"temperature", "temperature"}, {"ts", "ts"}, {"x_1", "x_1"},
        // Any other stored name (upper case, '$', or what only a foreign table
        // holds) is quoted exactly, quotes doubled.
        {"Temperature", "\"Temperature\""}, {"ts$", "\"ts$\""}, {"my col", "\"my col\""},
        {"a\"b", "\"a\"\"b\""}, {"x) values (1", "\"x) values (1\""}, {"1abc", "\"1abc\""},
    };
    for (auto [name, written] : cases) EXPECT_EQ(sqlIdentifier(name), written) << name;
}
