// Names as the server stores them: lower case, taken names moved aside,
// over-long names shortened the same way in every build.
#include <gtest/gtest.h>

#include "rules/server_names.h"

namespace {
// By the version each reports: Redshift says 8.0.2.
const Dialect kPostgres = dialectFor(150004);
const Dialect kRedshift = dialectFor(80002);
}  // namespace

TEST(ServerNames, ColumnsAreLowerCaseAndTakenNamesGetADollar) {
    struct Case {
        const char* valid;
        const char* postgres;
        const char* redshift;
    } cases[] = {
        {"Temp_1", "temp_1", "temp_1"},       {"XMIN", "xmin$", "xmin$"},         {"cmax", "cmax$", "cmax$"},
        {"ctid", "ctid$", "ctid$"},           {"TableOid", "tableoid$", "tableoid$"},
        {"oid", "oid", "oid$"},               {"asset_code", "asset_code$", "asset_code$"},
        {"User_TS", "user_ts$", "user_ts$"},  {"ts", "ts$", "ts$"},               {"vantrel", "vantrel$", "vantrel$"},
        {"ts_", "ts_", "ts_"},                {"oids", "oids", "oids"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(columnNameFor(c.valid, kPostgres), c.postgres) << c.valid;
        EXPECT_EQ(columnNameFor(c.valid, kRedshift), c.redshift) << c.valid;
    }
    EXPECT_EQ(serverTableName("XMin", kRedshift), "xmin");
}

TEST(ServerNames, LongNamesBecomeAPrefixAndAStableHashAtTheLimit) {
    // The hash is part of the stored name: tables made by an earlier build
    // must be found again, so these values may never change.
    struct Case {
        std::string valid;
        const Dialect& dialect;
        std::string stored;
    } cases[] = {
        {std::string(63, 'a'), kPostgres, std::string(63, 'a')},
        {std::string(64, 'A'), kPostgres, std::string(46, 'a') + "$db007849f35ebbe5"},
        {std::string(127, 'a'), kRedshift, std::string(127, 'a')},
        {std::string(128, 'a'), kRedshift, std::string(110, 'a') + "$57fc415dd1387da5"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(columnNameFor(c.valid, c.dialect), c.stored) << c.valid;
        EXPECT_EQ(serverTableName(c.valid, c.dialect), c.stored) << c.valid;
    }
    // Names that differ only after the prefix stay apart.
    std::string base(60, 's');
    EXPECT_NE(columnNameFor(base + "_temp", kPostgres), columnNameFor(base + "_tem1", kPostgres));
}

TEST(ServerNames, TheServersOwnCutEndsOnACharacterBoundary) {
    EXPECT_EQ(serverCutName(std::string(64, 'a'), 63), std::string(63, 'a'));
    EXPECT_EQ(serverCutName("ab\xC3\xA9", 3), "ab");
    EXPECT_EQ(serverCutName("short", 63), "short");
}
