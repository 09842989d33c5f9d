// Hostile text in every place a reading can carry it: asset names, hint table
// names, datapoint names, string values and the instance name. The server's
// own statement log shows what actually ran: only the plugin's four kinds of
// statement, each a single statement whose quoted parts hold the text and
// nothing of it leaks out as SQL. The text itself must come back byte for byte,
// whichever way the database reads backslashes in string literals.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "builders.h"
#include "log_capture.h"
#include "pg_server.h"
#include "redshift.h"

using namespace testsupport;

namespace {

PgServer& server() { return PgServer::instance(); }

const std::vector<std::string>& corpus() {
    static const std::vector<std::string> texts = {
        "'",
        "''",
        "\\",
        "\\'",
        "';--",
        "--",
        "/*",
        "*/",
        ";",
        "); DROP TABLE x; --",
        "$$",
        "$tag$",
        "\"",
        "E'\\x41'",
        "\xc3\xa9\xe2\x82\xac",
        "tab\t",
        "nl\n",
        "%s%n",
        "\\\\'; SELECT 1; --",
        "'); DROP TABLE canary; --",
        "\\'); DROP TABLE canary; --",
        "$$; DROP TABLE canary; $$",
        "*/ DROP TABLE canary; /*",
        "\"); DROP TABLE canary; --",
        "x' || (SELECT 'y') || '",
    };
    return texts;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// Moves i past the closing quote of a quoted text whose opening quote it has
// passed; a doubled quote (or, where backslashes escape, a backslash pair) stays
// inside. False when the text never closes.
bool skipQuoted(const std::string& sql, size_t& i, char quote, bool backslashes) {
    while (i < sql.size()) {
        if (backslashes && sql[i] == '\\') {
            i += 2;
        } else if (sql[i] == quote) {
            if (i + 1 < sql.size() && sql[i + 1] == quote) {
                i += 2;
            } else {
                ++i;
                return true;
            }
        } else {
            ++i;
        }
    }
    return false;
}

// The statement with every string literal replaced by L and every quoted
// identifier by I, read the way the server reads it. An empty optional means
// the text does not lex as one statement: an unterminated literal, or a
// semicolon, comment or dollar quote outside any literal.
std::optional<std::string> skeleton(const std::string& sql, bool backslashEscapes, std::string& why) {
    std::string out;
    size_t i = 0;
    const size_t n = sql.size();
    while (i < n) {
        char c = sql[i];
        bool escapeString = (c == 'E' || c == 'e') && i + 1 < n && sql[i + 1] == '\'' &&
                            (i == 0 || !(isalnum(static_cast<unsigned char>(sql[i - 1])) || sql[i - 1] == '_'));
        if (c == '\'' || escapeString) {
            bool backslashes = backslashEscapes || escapeString;
            i += escapeString ? 2 : 1;
            if (!skipQuoted(sql, i, '\'', backslashes)) return why = "unterminated string literal", std::nullopt;
            if (escapeString) return why = "escape string literal E'...'", std::nullopt;
            out += 'L';
        } else if (c == '"') {
            ++i;
            if (!skipQuoted(sql, i, '"', false)) return why = "unterminated quoted identifier", std::nullopt;
            out += 'I';
        } else if (c == ';') {
            return why = "semicolon outside a literal", std::nullopt;
        } else if (c == '$') {
            return why = "dollar sign outside a literal", std::nullopt;
        } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
            return why = "line comment outside a literal", std::nullopt;
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            return why = "block comment outside a literal", std::nullopt;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

// Empty when the statement is one of the plugin's own, else why not.
std::string checkStatement(const std::string& sql, bool backslashEscapes) {
    static const std::vector<std::string> kinds = {
        "SELECT column_name,data_type FROM information_schema.columns WHERE table_name = '", "CREATE TABLE ",
        "ALTER TABLE ", "INSERT INTO  "};
    bool known = false;
    for (const std::string& kind : kinds)
        if (sql.rfind(kind, 0) == 0) known = true;
    if (!known) return "not a statement of the plugin's";
    std::string why;
    std::optional<std::string> shape = skeleton(sql, backslashEscapes, why);
    if (!shape) return why;
    const std::string name = "(\\w+|I)";
    const std::string type = "\\s*(VARCHAR\\(256\\)|BIGINT|REAL|TIMESTAMPTZ)\\s*";
    static const std::regex select(
        "SELECT column_name,data_type FROM information_schema\\.columns WHERE table_name = L ORDER BY "
        "ordinal_position");
    static const std::regex create("CREATE TABLE " + name +
                                   " \\( asset_code VARCHAR\\(256\\) NOT NULL, user_ts TIMESTAMPTZ, ts TIMESTAMPTZ, "
                                   "vantrel VARCHAR\\(256\\) ( , " + name + type + "NULL )*\\)");
    static const std::regex alter("ALTER TABLE " + name + " ADD " + name + type + "NULL\\s*");
    static const std::regex insertHead("INSERT INTO  " + name + " \\( " + name + "( , " + name + ")*\\) VALUES ");
    if (std::regex_match(*shape, select) || std::regex_match(*shape, create) || std::regex_match(*shape, alter))
        return "";
    size_t values = shape->find(") VALUES ");
    if (shape->rfind("INSERT INTO  ", 0) == 0 && values != std::string::npos &&
        std::regex_match(shape->substr(0, values + 9), insertHead)) {
        // The rows: literals, numbers and null only, so no word of SQL.
        std::string rows = shape->substr(values + 9);
        if (rows.find_first_not_of("() ,L0123456789.-+enul") == std::string::npos) return "";
        return "unexpected text among the rows: " + rows.substr(0, 200);
    }
    return "unexpected shape: " + shape->substr(0, 300);
}

class Injection : public ::testing::TestWithParam<bool> {};

}  // namespace

TEST_P(Injection, HostileTextRunsOnlyThePluginsStatementsAndIsStoredVerbatim) {
    const bool standard = GetParam();
    const std::string db = standard ? "inj_strings_on" : "inj_strings_off";
    server().createDatabase(db, standard);
    server().exec("CREATE TABLE canary (n int); CREATE TABLE x (n int)", db);
    server().setServerLog(true);
    const size_t mark = server().logMark();

    const std::vector<std::string>& texts = corpus();
    std::string instance = "site";
    for (size_t i = 0; i < texts.size(); i += 3) instance += texts[i];

    LogCapture log;
    Redshift redshift;
    auto config = serverConfig(server().port(), "kvbn", instance);
    config->setValue("dbName", db);
    redshift.configure(config.get());
    ASSERT_NE(redshift.connection, nullptr) << log.dump();
    // On with standard strings, a backslash is an ordinary character.
    EXPECT_EQ(redshift.backslashEscapes, !standard);

    Block block;
    // Values, asset codes and the instance name into one table, to read back.
    for (size_t i = 0; i < texts.size(); ++i)
        block.add(texts[i], {dpInt("n", static_cast<long>(i)), dpString("v", texts[i]),
                             dpHint("{\"tablename\": \"inj_values\"}")});
    // Asset names as table names, datapoint names as column names.
    for (size_t i = 0; i < texts.size(); ++i)
        block.add("asset" + texts[i], {dpString(texts[i], texts[(i + 1) % texts.size()])});
    // Hint table names.
    for (size_t i = 0; i < texts.size(); ++i)
        block.add("hinted", {dpHint("{\"tablename\": " + jsonString(texts[i]) + "}"), dpString("hv", texts[i])});
    // Every hostile datapoint name in one table, so that later readings widen it.
    for (size_t i = 0; i < texts.size(); ++i)
        block.add("inj_names", {dpString(texts[i], texts[i]), dpString("w" + texts[i], texts[i])});

    EXPECT_EQ(redshift.send(block.readings()), block.size()) << log.dump();
    redshift.connection.reset();
    server().setServerLog(false);

    std::vector<std::string> statements = server().statementsSince(mark);
    std::vector<std::string> executed;
    for (const std::string& message : log.messages(Logger::Level::Debug))
        if (message.rfind("** Execute Query ==> ", 0) == 0) executed.push_back(message.substr(21));
    ASSERT_FALSE(statements.empty());
    // The server ran exactly what the plugin meant to run, one by one.
    EXPECT_EQ(statements, executed);
    std::set<std::string> kinds;
    for (const std::string& statement : statements) {
        kinds.insert(statement.substr(0, 6));
        EXPECT_EQ(checkStatement(statement, !standard), "") << db << ": " << statement.substr(0, 2000);
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"SELECT", "CREATE", "ALTER ", "INSERT"}));
    EXPECT_EQ(server().scalar("SELECT count(*) FROM pg_tables WHERE tablename IN ('canary', 'x')", db), "2");

    auto rows = server().query("SELECT n, v, asset_code, vantrel FROM inj_values ORDER BY n", db);
    ASSERT_EQ(rows.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(rows[i][0], std::to_string(i));
        EXPECT_EQ(rows[i][1], texts[i]) << db << " value " << i;
        EXPECT_EQ(rows[i][2], texts[i]) << db << " asset " << i;
        EXPECT_EQ(rows[i][3], instance) << db;
    }
    // The other tables hold their text verbatim as well.
    EXPECT_EQ(server().scalar("SELECT count(*) FROM inj_names", db), std::to_string(texts.size()));
    std::multiset<std::string> stored;
    for (const auto& row : server().query("SELECT table_name FROM information_schema.columns WHERE column_name = "
                                          "'hv' AND table_schema = 'public'", db))
        for (const auto& value : server().query("SELECT hv FROM \"" + row[0] + "\" WHERE hv <> ''", db))
            stored.insert(value[0]);
    for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(stored.count(texts[i]), 1u) << db << " hint value " << i;
}

INSTANTIATE_TEST_SUITE_P(StandardConformingStrings, Injection, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "On" : "Off"; });

// The check above has teeth: statements that a wrong escape would produce are
// caught, and the plugin's own shapes pass, in the mode they were written for.