// Values and names the server would refuse or misread are made storable, the
// original kept; what is stored never depends on the server's settings.

#include <iterator>
#include <set>

#include "integration.h"

using namespace testsupport;

// Text cut at a character boundary, bad UTF-8 replaced, NUL dropped; a
// number REAL cannot hold, and whole floats filling BIGINT to its edges; on
// Redshift's rules, a CHAR column's one '?' per character outside ASCII.
TEST(ValuesThatMustFit, AreMadeStorableAndTheOriginalIsKept) {
    db().exec(fixedTable("char_1", "n BIGINT, code CHAR(4)"));
    std::string letters;  // 600 bytes of two-byte letters, for a column of 256 bytes
    for (int i = 0; i < 300; ++i) letters += "é";
    Block block{{"fit_1", {dpString("note", letters), dpInt("n", 1)}},
                {"fit_1", {dpString("note", "bad \xC3\x28 byte"), dpInt("n", 2)}},
                {"fit_1", {dpString("note", "short"), dpInt("n", 3)}},
                {"fit_1", {dpString("note", std::string("x\0y", 3)), dpInt("n", 4)}},
                {"exact_1", {dpFloat("r", 21.5), dpInt("b", 1)}},
                {"exact_1", {dpInt("r", 16777217), dpFloat("b", -9223372036854775808.0)}},
                {"exact_1", {dpInt("r", 16777216), dpFloat("b", 9223372036854775808.0)}},
                {"exact_1", {dpFloat("r", -1e39), dpInt("b", 2)}},
                {"char_1", {dpInt("n", 2), dpString("code", "abéd€f")}}};
    EXPECT_EQ(plugin()->send(block.readings()), 9u);
    RedshiftRelay relay;
    block = Block{{"char_1", {dpInt("n", 1), dpString("code", "abéd€f")}}};
    EXPECT_EQ(plugin({via(relay)})->send(block.readings()), 1u);
    EXPECT_EQ(cell("SELECT string_agg(code::text, ',' ORDER BY n) FROM char_1"), "ab?d,abé");
    EXPECT_EQ(cell("SELECT string_agg(reason, ' / ' ORDER BY reason) FROM \"cirrant$rejects\" WHERE table_name = "
                   "'char_1'"),
              "code: characters outside ASCII written as '?' for CHAR; code: text of 6 bytes cut to 4 / "
              "code: text of 9 bytes cut to 4");
    EXPECT_EQ(cell("SELECT string_agg(note, '|' ORDER BY n) FROM fit_1"),
              letters.substr(0, 256) + "|bad \xEF\xBF\xBD( byte|short|xy");
    EXPECT_EQ(cell("SELECT string_agg(coalesce(r::text, 'null') || '|' || coalesce(b::text, 'null'), ',' ORDER BY b) "
                   "FROM exact_1"),
              "1.6777216e+07|-9223372036854775808,21.5|1,null|2,1.6777216e+07|null");
    EXPECT_EQ(cell("SELECT string_agg(reading_no || ':' || outcome || ':' || reason, ' / ' ORDER BY reading_no) FROM "
                   "\"cirrant$rejects\" WHERE table_name IN ('fit_1', 'exact_1')"),
              "0:changed:note: text of 600 bytes cut to 256 / 1:changed:note: invalid UTF-8 replaced / 3:changed:note: "
              "NUL character dropped / 5:changed:r: integer 16777217 is not exact in REAL, which holds 16777216 / "
              "6:changed:b: float 9223372036854775808 does not fit BIGINT, stored as null / 7:changed:r: float -1e+39 "
              "does not fit REAL, stored as null");
    EXPECT_NE(cell("SELECT reading FROM \"cirrant$rejects\" WHERE table_name = 'fit_1' AND reading_no = 0")
                  .find(letters), std::string::npos);
}

TEST(NamesThatMustStayDistinct, GetColumnsOfTheirOwn) {
    // Two names the server would cut to the same 63 bytes.
    std::string prefix(62, 'p');
    auto redshift = plugin();
    Block block{{"names_1", {dpInt(prefix + "_first", 1), dpInt(prefix + "_second", 2), dpInt("xmin", 3),
                             dpInt("ctid", 4), dpString("ts", "device time"), dpInt("ASSET_CODE", 5),
                             dpNested("user", {dpInt("ts", 6)}), dpInt("Druck_ä", 7), dpInt("Druck_ö", 8)}}};
    EXPECT_EQ(redshift->send(block.readings()), 1u);
    EXPECT_EQ(cell("SELECT count(*) || ' ' || count(*) FILTER (WHERE column_name LIKE 'ppp%' AND length(column_name) "
                   "<= 63) FROM information_schema.columns WHERE table_name = 'names_1'"), "12 2");
    EXPECT_EQ(cell("SELECT concat_ws(',', xmin$, ctid$, ts$, asset_code$, user_ts$, asset_code, druck___) FROM names_1"),
              "3,4,device time,5,6,names_1,7");
    // The second of two datapoints for one column is kept in the rejects table.
    EXPECT_NE(cell("SELECT reason FROM \"cirrant$rejects\" WHERE table_name = 'names_1'").find("Druck_ö"),
              std::string::npos);

    // A table made before names were shortened holds the server's cut form,
    // and goes on being used.
    db().exec(fixedTable("names_2", prefix + "_first BIGINT"));
    EXPECT_EQ(redshift->send(Block{{"names_2", {dpInt(prefix + "_first", 9)}}}.readings()), 1u);
    EXPECT_EQ(cell("SELECT " + prefix + "_ FROM names_2"), "9");
    EXPECT_EQ(cell("SELECT count(*) FROM information_schema.columns WHERE table_name = 'names_2'"), "5");

    // Redshift also keeps "oid" to itself.
    RedshiftRelay relay;
    EXPECT_EQ(plugin({via(relay)})->send(Block{{"names_3", {dpInt("oid", 10)}}}.readings()), 1u);
    EXPECT_EQ(cell("SELECT oid$ FROM names_3"), "10");
}

// Flips standard_conforming_strings for the whole server under a live
// connection; the test runs alone. (A database's own setting, and its
// client encoding, are injection_test's.)
TEST(SettingsThatMustNotChangeWhatIsStored, StringModeFlippedUnderALiveConnection) {
    const std::multiset<std::string> sent = {"it's", "a\\b", "\\'; DROP TABLE canary; --", "\\", "tab\there",
                                             "'\\\\'", "$$", "Zürich"};
    db().exec("CREATE TABLE canary (x INTEGER)");
    auto redshift = plugin();
    for (const char* mode : {"off", "on"}) {
        ASSERT_EQ(redshift->send(Block{{std::string("mode_") + mode, {dpString("v", "x")}}}.readings()), 1u);
        db().exec(std::string("ALTER SYSTEM SET standard_conforming_strings = ") + mode);
        db().exec("SELECT pg_reload_conf()");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Block block;
        for (const std::string& text : sent) block.add(std::string("mode_") + mode, {dpString("v", text)});
        EXPECT_EQ(redshift->send(block.readings()), sent.size());
        std::multiset<std::string> stored;
        for (const auto& row : db().query(std::string("SELECT v FROM mode_") + mode + " WHERE v <> 'x'"))
            stored.insert(*row[0]);
        EXPECT_EQ(stored, sent) << mode;
    }
    db().exec("ALTER SYSTEM RESET standard_conforming_strings");
    db().exec("SELECT pg_reload_conf()");
    EXPECT_EQ(cell("SELECT count(*) FROM canary"), "0");
}
