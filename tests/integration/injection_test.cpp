// Hostile text in every place a reading carries text (values, asset codes,
// the instance name, table and column names), against a database reading
// backslashes either way, its clients' encoding LATIN1 by default: a canary
// table survives, nothing fails, and what the database stores is what was
// sent, byte for byte.

#include <algorithm>

#include "integration.h"

using namespace testsupport;

namespace {

const std::vector<std::string> kTexts = {
    "'", "''", "\\", "\\'", "\\\\", "trailing\\", "';--", "--", "/*", "*/", ";", "$$", "$tag$", "\"", "E'\\x41'",
    "tab\there", "line\nbreak\r\n", "\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8c\xa1", "", std::string("nul\0byte", 8),
    "'); DROP TABLE canary; --", "\\'); DROP TABLE canary; --", "$$; DROP TABLE canary; $$",
    "*/ DROP TABLE canary; /*", "\"); DROP TABLE canary; --", "x' || (SELECT 'y') || '",
};

class Injection : public ::testing::TestWithParam<bool> {};

}  // namespace

TEST_P(Injection, HostileTextLeavesTheCanaryAndIsStoredByteForByte) {
    const bool standard = GetParam();
    const std::string suffix = standard ? "strings_on" : "strings_off", name = db().name() + "_" + suffix;
    Client check(db().otherDatabase(suffix, std::string("standard_conforming_strings = ") + (standard ? "on" : "off")) +
                 " client_encoding=UTF8");
    check.exec("CREATE TABLE canary (n int); INSERT INTO canary VALUES (1)");
    db().exec("ALTER DATABASE " + name + " SET client_encoding = 'LATIN1'");

    std::string instance = "site";
    for (size_t i = 0; i < kTexts.size(); i += 3) instance += kTexts[i];
    LogCapture log;
    auto redshift = plugin({{"vantrelInstance", instance}, {"dbName", name}});

    Block block;
    for (size_t i = 0; i < kTexts.size(); ++i) {
        block.add(kTexts[i], {dpInt("n", static_cast<long>(i)), dpString("v", kTexts[i]),
                              dpHint("{\"tablename\": \"inj_values\"}")});
        block.add("asset" + kTexts[i], {dpString("d" + kTexts[i], kTexts[i])});
    }
    EXPECT_EQ(redshift->send(block.readings()), block.size()) << log.dump();
    EXPECT_EQ(log.count("error: "), 0u) << log.dump();

    EXPECT_EQ(check.exec("SELECT n FROM canary")[0][0], "1");
    Rows rows = check.exec("SELECT v, asset_code, vantrel FROM inj_values ORDER BY n");
    ASSERT_EQ(rows.size(), kTexts.size());
    for (size_t i = 0; i < kTexts.size(); ++i) {
        std::string text = kTexts[i];  // but for a NUL byte, which text cannot hold: the plugin drops it
        text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
        EXPECT_EQ(rows[i][0].value_or(""), text) << "value " << i;
        EXPECT_EQ(rows[i][1].value_or(""), text) << "asset " << i;
        EXPECT_EQ(rows[i][2].value_or(""), instance);
    }
}

INSTANTIATE_TEST_SUITE_P(StandardConformingStrings, Injection, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "On" : "Off"; });
