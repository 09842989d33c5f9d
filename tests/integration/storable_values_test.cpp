// Values and names the server would refuse or misread are made storable, the
// original kept; what is stored never depends on the server's settings.
#include <gtest/gtest.h>

#include <iterator>
#include <set>

#include <thread>

#include "builders.h"
#include "redshift.h"
#include "relay.h"
#include "test_db.h"

using namespace testsupport;

namespace {

TestDb& db() { return TestDb::get(); }

// A plugin object on the database, or on `relay` when given: Redshift's
// rules because the server says it is Redshift.
std::unique_ptr<Redshift> plugin(const std::string& connectDb = "", Relay* relay = nullptr) {
    auto redshift = std::make_unique<Redshift>();
    auto config = db().config();
    if (!connectDb.empty()) config->setValue("dbName", connectDb);
    if (relay) config->setValue("port", std::to_string(relay->port()));
    redshift->configure(config.get());
    return redshift;
}

struct RedshiftRelay : Relay {
    RedshiftRelay() : Relay(db().port()) { reportRedshiftVersion(true); }
};

std::string cell(const std::string& sql) { return db().scalar(sql); }

std::string repeat(const std::string& piece, size_t times) {
    std::string text;
    while (times--) text += piece;
    return text;
}

}  // namespace

TEST(TextThatMustFit, IsCutAtACharacterBoundaryAndKeptWhole) {
    auto redshift = plugin();
    Block block;
    // 600 bytes of two-byte letters, for a column of 256 bytes.
    block.add("fit_1", {dpString("note", repeat("é", 300)), dpInt("n", 1)});
    block.add("fit_1", {dpString("note", "bad \xC3\x28 byte"), dpInt("n", 2)});
    block.add("fit_1", {dpString("note", "short"), dpInt("n", 3)});
    block.add("fit_1", {dpString("note", std::string("x\0y", 3)), dpInt("n", 4)});
    EXPECT_EQ(redshift->send(block.readings()), 4u);
    EXPECT_EQ(cell("SELECT note FROM fit_1 WHERE n = 1"), repeat("é", 128));
    EXPECT_EQ(cell("SELECT note FROM fit_1 WHERE n = 2"), "bad \xEF\xBF\xBD( byte");
    EXPECT_EQ(cell("SELECT note FROM fit_1 WHERE n = 3"), "short");
    EXPECT_EQ(cell("SELECT note FROM fit_1 WHERE n = 4"), "xy");
    EXPECT_EQ(cell("SELECT string_agg(reading_no::text || ':' || reason, ' / ' ORDER BY reading_no) FROM "
                   "\"cirrant$rejects\" WHERE table_name = 'fit_1' AND outcome = 'changed'"),
              "0:note: text of 600 bytes cut to 256 / 1:note: invalid UTF-8 replaced / 3:note: NUL character dropped");
    EXPECT_NE(cell("SELECT reading FROM \"cirrant$rejects\" WHERE table_name = 'fit_1' AND reading_no = 0")
                  .find(repeat("é", 300)),
              std::string::npos);
}

TEST(TextThatMustFit, ACharColumnOnRedshiftsRulesGetsOneQuestionMarkPerCharacterOutsideAscii) {
    db().exec("CREATE TABLE char_1 (asset_code VARCHAR(256), user_ts TIMESTAMPTZ, ts TIMESTAMPTZ, vantrel "
              "VARCHAR(256), n BIGINT, code CHAR(4))");
    RedshiftRelay relay;
    Block redshift, postgres;
    redshift.add("char_1", {dpInt("n", 1), dpString("code", "abéd€f")});
    postgres.add("char_1", {dpInt("n", 2), dpString("code", "abéd€f")});
    EXPECT_EQ(plugin("", &relay)->send(redshift.readings()), 1u);
    EXPECT_EQ(plugin()->send(postgres.readings()), 1u);
    EXPECT_EQ(cell("SELECT string_agg(code::text, ',' ORDER BY n) FROM char_1"), "ab?d,abé");
    EXPECT_EQ(cell("SELECT string_agg(reason, ' / ' ORDER BY reason) FROM \"cirrant$rejects\" "
                   "WHERE table_name = 'char_1'"),
              "code: characters outside ASCII written as '?' for CHAR; code: text of 6 bytes cut to 4 / "
              "code: text of 9 bytes cut to 4");
}

TEST(NumbersThatMustFit, WhatRealCannotHoldIsRecordedAndWholeFloatsFillBigintToItsEdges) {
    auto redshift = plugin();
    Block block;
    block.add("exact_1", {dpFloat("r", 21.5), dpInt("b", 1)});
    block.add("exact_1", {dpInt("r", 16777217), dpFloat("b", -9223372036854775808.0)});
    block.add("exact_1", {dpInt("r", 16777216), dpFloat("b", 9223372036854775808.0)});
    block.add("exact_1", {dpFloat("r", -1e39), dpInt("b", 2)});
    EXPECT_EQ(redshift->send(block.readings()), 4u);
    EXPECT_EQ(cell("SELECT string_agg(coalesce(r::text, 'null') || '|' || coalesce(b::text, 'null'), ',' ORDER BY b) "
                   "FROM exact_1"),
              "1.6777216e+07|-9223372036854775808,21.5|1,null|2,1.6777216e+07|null");
    EXPECT_EQ(cell("SELECT string_agg(reading_no || ':' || outcome || ':' || reason, ' / ' ORDER BY reading_no) FROM "
                   "\"cirrant$rejects\" WHERE table_name = 'exact_1'"),
              "1:changed:r: integer 16777217 is not exact in REAL, which holds 16777216 / "
              "2:changed:b: float 9223372036854775808 does not fit BIGINT, stored as null / "
              "3:changed:r: float -1e+39 does not fit REAL, stored as null");
}

TEST(NamesThatMustStayDistinct, GetColumnsOfTheirOwn) {
    // Two names the server would cut to the same 63 bytes.
    std::string prefix = repeat("p", 62);
    auto redshift = plugin();
    Block block;
    block.add("names_1", {dpInt(prefix + "_first", 1), dpInt(prefix + "_second", 2), dpInt("xmin", 3),
                          dpInt("ctid", 4), dpString("ts", "device time"), dpInt("ASSET_CODE", 5),
                          dpNested("user", {dpInt("ts", 6)}), dpInt("Druck_ä", 7), dpInt("Druck_ö", 8)});
    EXPECT_EQ(redshift->send(block.readings()), 1u);
    EXPECT_EQ(cell("SELECT count(*) FROM information_schema.columns WHERE table_name = 'names_1'"), "12");
    EXPECT_EQ(cell("SELECT concat_ws(',', xmin$, ctid$, ts$, asset_code$, user_ts$, asset_code, druck___) FROM names_1"),
              "3,4,device time,5,6,names_1,7");
    EXPECT_EQ(cell("SELECT count(*) FROM information_schema.columns WHERE table_name = 'names_1' AND "
                   "column_name LIKE 'ppp%' AND length(column_name) <= 63"),
              "2");
    // The second of two datapoints for one column is kept in the rejects table.
    EXPECT_NE(cell("SELECT reason FROM \"cirrant$rejects\" WHERE table_name = 'names_1'").find("Druck_ö"),
              std::string::npos);

    // A table made before names were shortened holds the server's cut form,
    // and goes on being used.
    db().exec("CREATE TABLE names_2 (asset_code VARCHAR(256), user_ts TIMESTAMPTZ, ts TIMESTAMPTZ, vantrel "
              "VARCHAR(256), " + prefix + "_first BIGINT)");
    Block old;
    old.add("names_2", {dpInt(prefix + "_first", 9)});
    EXPECT_EQ(redshift->send(old.readings()), 1u);
    EXPECT_EQ(cell("SELECT " + prefix + "_ FROM names_2"), "9");
    EXPECT_EQ(cell("SELECT count(*) FROM information_schema.columns WHERE table_name = 'names_2'"), "5");

    // Redshift also keeps "oid" to itself.
    RedshiftRelay relay;
    Block oid;
    oid.add("names_3", {dpInt("oid", 10)});
    EXPECT_EQ(plugin("", &relay)->send(oid.readings()), 1u);
    EXPECT_EQ(cell("SELECT oid$ FROM names_3"), "10");
}

// The awkward texts of every test of escaping, as the server must store them.
const char* const AWKWARD[] = {"it's", "a\\b", "\\'; DROP TABLE canary; --", "\\", "tab\there", "'\\\\'", "$$",
                               "Zürich"};

TEST(SettingsThatMustNotChangeWhatIsStored, ALatinClientEncodingDefault) {
    std::string latin = db().otherDatabase("latin", "client_encoding = 'LATIN1'");
    std::string name = latin.substr(latin.find("dbname=") + 7);
    name = name.substr(0, name.find(' '));
    auto redshift = plugin(name);
    Block block;
    for (const char* text : AWKWARD) block.add("enc_1", {dpString("v", text)});
    EXPECT_EQ(redshift->send(block.readings()), std::size(AWKWARD));
    Rows rows = Client(latin + " client_encoding=UTF8").exec("SELECT v FROM enc_1");
    std::multiset<std::string> stored, sent(std::begin(AWKWARD), std::end(AWKWARD));
    for (const Row& row : rows) stored.insert(row[0].value_or(""));
    EXPECT_EQ(stored, sent);
}

// Flips standard_conforming_strings for the whole server under a live
// connection; the test runs alone.
TEST(SettingsThatMustNotChangeWhatIsStored, StringModeFlippedUnderALiveConnection) {
    db().exec("CREATE TABLE canary (x INTEGER)");
    auto redshift = plugin();
    for (const char* mode : {"off", "on"}) {
        Block warmup;
        warmup.add(std::string("mode_") + mode, {dpString("v", "x")});
        ASSERT_EQ(redshift->send(warmup.readings()), 1u);
        db().exec(std::string("ALTER SYSTEM SET standard_conforming_strings = ") + mode);
        db().exec("SELECT pg_reload_conf()");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Block block;
        for (const char* text : AWKWARD) block.add(std::string("mode_") + mode, {dpString("v", text)});
        EXPECT_EQ(redshift->send(block.readings()), std::size(AWKWARD));
        auto rows = db().query(std::string("SELECT v FROM mode_") + mode + " WHERE v <> 'x'");
        std::multiset<std::string> stored, sent(std::begin(AWKWARD), std::end(AWKWARD));
        for (const auto& row : rows) stored.insert(*row[0]);
        EXPECT_EQ(stored, sent) << mode;
    }
    db().exec("ALTER SYSTEM RESET standard_conforming_strings");
    db().exec("SELECT pg_reload_conf()");
    EXPECT_EQ(cell("SELECT count(*) FROM canary"), "0");
}
