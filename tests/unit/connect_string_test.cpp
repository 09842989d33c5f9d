// The connection string, read back with libpq's own parser, and the password
// kept out of failure lines.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <map>

#include "session/connect_string.h"

namespace {
// Every parameter libpq reads from the text (none from the environment).
std::map<std::string, std::string> parsed(const std::string& text) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(text.c_str(), &error);
    EXPECT_NE(options, nullptr) << (error ? error : "") << text;
    if (error) PQfreemem(error);
    std::map<std::string, std::string> out;
    for (PQconninfoOption* o = options; o && o->keyword; ++o)
        if (o->val) out[o->keyword] = o->val;
    PQconninfoFree(options);
    return out;
}
}  // namespace

TEST(ConnectString, EveryValueArrivesIntactBesideTheFixedSessionSettings) {
    unsetenv("PGCONNECT_TIMEOUT");
    const std::string quirky[] = {"", "pass word", "x client_encoding=LATIN1", "it's", "back\\slash\\",
                                  "'", "a=b", " lead and trail ", "line\nbreak", std::string(3000, 'p')};
    for (const std::string& value : quirky) {
        std::string text = buildConnectString(value, 5439, value + "db", "u" + value, value);
        EXPECT_EQ(parsed(text), (std::map<std::string, std::string>{
                                    {"host", value}, {"port", "5439"}, {"dbname", value + "db"}, {"user", "u" + value},
                                    {"password", value}, {"client_encoding", "UTF8"}, {"keepalives", "1"},
                                    {"keepalives_idle", "30"}, {"keepalives_interval", "10"}, {"keepalives_count", "3"},
                                    {"tcp_user_timeout", "60000"}, {"connect_timeout", "10"}}))
            << text;
        EXPECT_EQ(passwordOf(text), value) << text;
    }
    // libpq's own variable, when set, decides how long connecting may take.
    setenv("PGCONNECT_TIMEOUT", "3", 1);
    EXPECT_EQ(parsed(buildConnectString("h", 1, "d", "u", "p")).count("connect_timeout"), 0u);
    unsetenv("PGCONNECT_TIMEOUT");
    EXPECT_EQ(passwordOf("host=x"), "");
    EXPECT_EQ(passwordOf("password='unterminated"), "");
}

TEST(ConnectString, FailureLinesLoseThePasswordAndEachPieceOfIt) {
    struct Case {
        const char* message;
        const char* password;
        const char* logged;
    } cases[] = {
        {"auth failed for hunter2\n", "hunter2", "auth failed for ****"},
        {"invalid connection option \"TopSecretWord\"", "hunter2 TopSecretWord=zz",
         "invalid connection option \"****\""},
        {"near 'it\\'s-secret' and it's-secret", "it's-secret", "near 'it\\'****' and ****"},
        {"two words, two times: words", "two words", "****, **** times: ****"},
        // Pieces too short to take out without wrecking the message stay.
        {"x marks the spot, at zz", "x zz", "x marks the spot, at zz"},
        {"nothing to hide", "", "nothing to hide"},
    };
    for (const Case& c : cases) EXPECT_EQ(connectFailureText(c.message, c.password), c.logged) << c.message;
}
