// The schema cache against the database it describes: whatever a second
// writer, another schema, letter case or a hand-made table does, the plugin
// caches what the table holds and writes each value into its own column.

#include <rapidjson/document.h>

#include "integration.h"

using namespace testsupport;

namespace {

// The columns the plugin's cache text holds for a table.
ColumnList cached(Redshift& redshift, const std::string& table) {
    rapidjson::Document doc;
    doc.Parse(redshift.serializeCache().c_str());
    ColumnList columns;
    for (const auto& item : doc["Items"].GetArray())
        for (const auto& member : item.GetObject())
            if (member.value.IsObject() && table == item["tablename"].GetString())
                columns.emplace_back(member.value["Name"].GetString(), member.value["Type"].GetString());
    return columns;
}

}  // namespace

// Another writer's column, met by an ALTER, and its table, met by a CREATE
// that raced it: the other's types win, in the table and in the cache.
TEST(CacheMatchesDatabase, AnotherWritersColumnOrTableWinsWithItsTypes) {
    auto first = plugin(), second = plugin();
    ASSERT_EQ(second->send(Block{{"shared_1", {dpString("label", "x")}}}.readings()), 1u);
    ASSERT_EQ(first->send(Block{{"shared_1", {dpFloat("v", 2.5)}}}.readings()), 1u);
    // The second writer's cache lacks v; its ALTER meets the first's column.
    EXPECT_EQ(second->send(Block{{"shared_1", {dpInt("v", 5)}}, {"shared_1", {dpFloat("v", 1.7)}}}.readings()), 2u);
    EXPECT_EQ(cached(*second, "shared_1"), cached(*first, "shared_1"));
    EXPECT_EQ(cell("SELECT string_agg(v::text, ',' ORDER BY v) FROM shared_1"), "1.7,2.5,5");
    // Another session has made the table and not yet committed: the plugin
    // finds no table, and its CREATE waits for the other to finish.
    Client racing(db().connectString());
    racing.exec("BEGIN; " + fixedTable("race_1", "v DOUBLE PRECISION"));
    uint32_t sent = 0;
    std::thread sender([&] {
        sent = second->send(Block{{"race_1", {dpInt("v", 5)}}, {"race_1", {dpFloat("v", 1.7)}}}.readings());
    });
    EXPECT_NE(lockWaiter(), "");
    racing.exec("COMMIT");
    sender.join();
    EXPECT_EQ(sent, 2u);
    EXPECT_EQ(cached(*second, "race_1").back(), Column("v", " DOUBLE PRECISION "));
    EXPECT_EQ(cell("SELECT string_agg(v::text, ',' ORDER BY v) FROM race_1"), "1.7,5");
}

// Only the schema unqualified names reach counts, whatever another schema or
// the catalogue's own names hold; names that differ only in case share a table.
TEST(CacheMatchesDatabase, EachReadingFindsTheOneTableItsNameReaches) {
    db().exec("CREATE SCHEMA IF NOT EXISTS staging; CREATE TABLE staging.pump_2 (other INTEGER)");
    auto redshift = plugin();
    Block block{{"Case_Pump", {dpInt("Speed", 1)}},
                {"case_pump", {dpString("speed_text", "x")}},
                {"x", {dpHint("{\"tablename\": \"All Pumps\"}"), dpInt("v", 1)}},
                {"y", {dpHint("{\"tablename\": \"all_pumps\"}"), dpInt("V", 2)}}};
    for (const char* asset : {"pump_2", "tables", "columns", "pg_class", "pg_settings"})
        block.add(asset, {dpInt("speed", 7)});
    EXPECT_EQ(redshift->send(block.readings()), 9u);
    for (const char* table : {"pump_2", "tables", "columns", "\"pg_class$\"", "\"pg_settings$\""})
        EXPECT_EQ(cell(std::string("SELECT count(*) FROM public.") + table + " WHERE speed = 7"), "1") << table;
    EXPECT_EQ(cell("SELECT count(*) FROM information_schema.columns WHERE table_schema = 'public' AND table_name = "
                   "'pump_2'"), "5");
    EXPECT_EQ(cached(*redshift, "pump_2").size(), 5u);
    EXPECT_EQ(cell("SELECT count(*) FROM case_pump"), "2");
    EXPECT_EQ(cell("SELECT string_agg(v::text, ',' ORDER BY v) FROM all_pumps"), "1,2");
    EXPECT_EQ(cached(*redshift, "case_pump").size(), 6u);

    // A text stored by an earlier build, one table under two cases, loads as one.
    auto reloaded = plugin();
    reloaded->deserializeCache(
        "{\"Items\":[{\"tablename\":\"Case_Pump\",\"a\":{\"Name\":\"speed\",\"Type\":\" BIGINT \"}},"
        "{\"tablename\":\"case_pump\",\"a\":{\"Name\":\"speed_text\",\"Type\":\" VARCHAR(256) \"}}]}");
    EXPECT_EQ(cached(*reloaded, "case_pump"),
              (ColumnList{{"speed", " BIGINT "}, {"speed_text", " VARCHAR(256) "}}));
}

// Tables shaped by hand: a fixed column moved to the end, a mixed-case name
// only quoting reaches, types the plugin never makes. Each value goes to its
// column, and what a reading lacks is null.
TEST(CacheMatchesDatabase, ValuesFollowTheColumnsWhereverTheyStandAndAbsentOnesAreNull) {
    auto redshift = plugin();
    ASSERT_EQ(redshift->send(Block{{"moved_1", {dpString("note", "n1"), dpString("label", "l1")}}}.readings()), 1u);
    db().exec("ALTER TABLE moved_1 DROP COLUMN vantrel; ALTER TABLE moved_1 ADD COLUMN vantrel VARCHAR(256); "
              "ALTER TABLE moved_1 ADD COLUMN \"Speed\" INTEGER; " +
              fixedTable("foreign_1", "d DOUBLE PRECISION, i INTEGER, b BOOLEAN, day DATE, t TIMESTAMP, "
                                      "note VARCHAR(20), word TEXT"));
    auto next = plugin();
    next->deserializeCache(redshift->serializeCache());
    Block block{{"moved_1", {dpString("note", "n2"), dpString("label", "l2"), dpInt("Speed", 3)}},
                {"foreign_1", {dpString("note", "only this")}},
                {"foreign_1", {dpString("d", "2.5"), dpInt("i", 4), dpString("b", "true"),
                               dpString("day", "2026-12-06")}}};
    EXPECT_EQ(next->send(block.readings()), 3u);
    EXPECT_EQ(cell("SELECT note || ',' || label || ',' || vantrel || ',' || \"Speed\" FROM moved_1 WHERE note = 'n2'"),
              "n2,l2,site1,3");
    EXPECT_EQ(cell("SELECT string_agg(concat_ws('|', d, i, b, day, t, note, '[' || word || ']'), ' / ' ORDER BY note) "
                   "FROM foreign_1"),
              "2.5|4|t|2026-12-06||[] / only this|[]");
    EXPECT_EQ(cached(*next, "foreign_1")[4], Column("d", " DOUBLE PRECISION "));
    EXPECT_EQ(cached(*next, "foreign_1")[9], Column("note", " VARCHAR(20) "));
}

TEST(CacheMatchesDatabase, AStaleStoredCacheIsReadAgainOncePerConnection) {
    db().exec(fixedTable("stale_1", "v BIGINT"));
    // The stored text says REAL, where the table now holds BIGINT.
    auto redshift = plugin();
    redshift->deserializeCache(
        "{\"Items\":[{\"tablename\":\"stale_1\",\"a\":{\"Name\":\"asset_code\",\"Type\":\" VARCHAR(256) \"},"
        "\"b\":{\"Name\":\"user_ts\",\"Type\":\" TIMESTAMPTZ \"},\"c\":{\"Name\":\"ts\",\"Type\":\" TIMESTAMPTZ \"},"
        "\"d\":{\"Name\":\"vantrel\",\"Type\":\" VARCHAR(256) \"},\"e\":{\"Name\":\"v\",\"Type\":\" REAL \"}},"
        "{\"tablename\":\"gone_1\",\"a\":{\"Name\":\"v\",\"Type\":\" REAL \"}}]}");
    EXPECT_EQ(redshift->send(Block{{"stale_1", {dpFloat("v", 1.7)}}}.readings()), 1u);
    // 1.7 is never silently stored as 2.
    EXPECT_EQ(cell("SELECT coalesce(v::text, 'null') FROM stale_1"), "null");
    EXPECT_EQ(cached(*redshift, "stale_1").back(), Column("v", " BIGINT "));
    EXPECT_TRUE(cached(*redshift, "gone_1").empty());
}
