// From datapoint names and values to column names, types and statement names.
#include <gtest/gtest.h>

#include <cstring>

#include "builders.h"
#include "log_capture.h"
#include "redshift.h"

using namespace testsupport;

namespace {
std::string valid(std::string name) {
    Redshift::getValidSQLName(name);
    return name;
}

struct Columns {
    std::vector<std::string> names, types;
    std::vector<DatapointValue> values;
};

Columns columnsOf(std::initializer_list<Datapoint*> datapoints) {
    Redshift redshift;
    Columns out;
    for (Datapoint* dp : datapoints) {
        redshift.prepareQueryData(dp, out.names, out.types, out.values);
        EXPECT_EQ(out.names.size(), out.types.size());
        EXPECT_EQ(out.names.size(), out.values.size());
        delete dp;
    }
    return out;
}
}  // namespace

TEST(ValidName, ReplacesEveryOtherByteAndPrefixesALeadingDigit) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"temp", "temp"},       {"temp-1", "temp_1"},   {"temp 1", "temp_1"}, {"a.b", "a_b"},
        {"9lives", "X_9lives"}, {"_x", "_x"},           {"x_9", "x_9"},       {"", ""},
        {"Temp", "Temp"},       {"caf\xc3\xa9", "caf__"}, {"1", "X_1"},       {"'; drop", "___drop"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(valid(c.in), c.out) << c.in;
        // A valid name is stable.
        EXPECT_EQ(valid(valid(c.in)), valid(c.in)) << c.in;
    }
}

TEST(ColumnMapping, EachTypeCodeYieldsItsColumnOrNothing) {
    Columns got = columnsOf({dpString("level", "high"), dpInt("count", 7), dpFloat("temp", 21.5),
                             dpOpaque("array", DP_FLOAT_ARRAY), dpOpaque("matrix", DP_FLOAT_ARRAY_2D),
                             dpOpaque("odd", 42), dpHint("{\"tablename\":\"t\"}")});
    EXPECT_EQ(got.names, (std::vector<std::string>{"level", "count", "temp"}));
    EXPECT_EQ(got.types, (std::vector<std::string>{" VARCHAR(256) ", " BIGINT ", " REAL "}));
    EXPECT_EQ(got.values[0].toString(), "high");
    EXPECT_EQ(got.values[1].toInt(), 7);
    EXPECT_EQ(got.values[2].toDouble(), 21.5);
}

TEST(ColumnMapping, OnlyTheExactHintNameIsSkipped) {
    Columns got = columnsOf({dpString("redshifthint", "x"), dpString("Redshift Hint", "y")});
    EXPECT_EQ(got.names, (std::vector<std::string>{"redshifthint", "Redshift_Hint"}));
}

TEST(ColumnMapping, ImagesAndBuffersAreSkippedWithAnInfoLine) {
    LogCapture log;
    Columns got = columnsOf({dpOpaque("cam.1", DP_IMAGE), dpOpaque("blob", DP_DATABUFFER),
                             dpNested("m", {dpOpaque("pic x", DP_IMAGE)})});
    EXPECT_TRUE(got.names.empty());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
        "info: Datapoint cam_1 has image / databuffer. Image / databuffer is not supported by AWS Redshift plugin",
        "info: Datapoint blob has image / databuffer. Image / databuffer is not supported by AWS Redshift plugin",
        "info: Datapoint pic x has image / databuffer. Image / databuffer is not supported by AWS Redshift plugin",
    }));
}

TEST(ColumnMapping, NestedLeavesAreNamedFromTheirParentsPrefix) {
    Columns got = columnsOf({
        dpNested("motor", {dpInt("speed", 3), dpNested("state", {dpString("code", "ok")})}),
        dpNested("2nd-stage", {dpFloat("p", 1.5)}),
        dpNested("a", {dpNested("b", {dpInt("x", 1)}), dpInt("c", 2), dpInt("v 1", 3),
                       dpNested("v 1", {dpInt("w", 4)})}),
        dpNested("empty", {}),
        dpNested("unhandled", {dpOpaque("arr", DP_FLOAT_ARRAY)}),
    });
    EXPECT_EQ(got.names, (std::vector<std::string>{"motor_speed", "motor_state_code", "X_2nd_stage_p", "a_b_x",
                                                   "a_c", "a_v_1", "a_v_1_w"}));
    EXPECT_EQ(got.types[1], " VARCHAR(256) ");
    EXPECT_EQ(got.types[2], " REAL ");
    EXPECT_EQ(got.values[1].toString(), "ok");
    EXPECT_EQ(got.values[3].toInt(), 1);
}

TEST(ReservedWords, TableIsSortedUpperCaseAndWithoutDuplicates) {
    ASSERT_GT(RESERVED_WORD_COUNT, 100u);
    for (size_t i = 0; i < RESERVED_WORD_COUNT; ++i) {
        for (const char* c = RESERVED_WORDS[i]; *c; ++c) {
            EXPECT_FALSE(*c >= 'a' && *c <= 'z') << RESERVED_WORDS[i];
        }
        if (i > 0) {
            EXPECT_LT(std::strcmp(RESERVED_WORDS[i - 1], RESERVED_WORDS[i]), 0) << RESERVED_WORDS[i];
        }
    }
}

TEST(ReservedWords, StatementNamesAreQuotedOnlyWhenTheyMustBe) {
    struct Case {
        const char* name;
        const char* written;
    } cases[] = {
        // Reserved in either database, in any case: quoted, in the lower case
        // the database stores bare names in.
        {"user", "\"user\""}, {"Order", "\"order\""}, {"LIMIT", "\"limit\""}, {"default", "\"default\""},
        {"end", "\"end\""},   {"open", "\"open\""},   {"timestamp", "\"timestamp\""},
        {"system", "\"system\""}, {"tag", "\"tag\""}, {"mostly8", "\"mostly8\""}, {"returning", "\"returning\""},
        // Ordinary names stay bare.
        {"users", "users"}, {"speed", "speed"}, {"Temperature", "Temperature"}, {"ts", "ts"},
        // Names that are no plain identifier (only a stored cache or a foreign
        // table brings them) are quoted exactly, quotes doubled.
        {"my col", "\"my col\""}, {"a\"b", "\"a\"\"b\""}, {"x) values (1", "\"x) values (1\""},
        {"1abc", "\"1abc\""},
    };
    for (const Case& c : cases) EXPECT_EQ(sqlIdentifier(c.name), c.written) << c.name;
}

TEST(ReservedWords, ColumnNamesMatchRegardlessOfCase) {
    EXPECT_TRUE(sameColumnName("Temperature", "temperature"));
    EXPECT_TRUE(sameColumnName("TS", "ts"));
    EXPECT_FALSE(sameColumnName("temp", "temp_"));
    EXPECT_FALSE(sameColumnName("caf\xc3\xa9", "CAF\xc3\x89"));
}
