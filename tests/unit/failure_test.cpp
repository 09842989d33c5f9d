// The failure table: what each answer of the server means, by kind of statement.
#include <gtest/gtest.h>

#include "session/failure.h"

TEST(FailureTable, EachAnswerGetsItsActionByCodeThenClassThenDefault) {
    using K = StatementKind;
    using A = Action;
    const struct {
        const char* state;
        const char* message;
        bool redshift;
        A ddl, data, bookkeeping, copy;
    } cases[] = {
        {"", "", false, A::Reconnect, A::Reconnect, A::Reconnect, A::Reconnect},
        {"08006", "", false, A::Reconnect, A::Reconnect, A::Reconnect, A::Reconnect},
        {"57P04", "", false, A::Reconnect, A::Reconnect, A::Reconnect, A::Reconnect},
        {"57014", "", false, A::Wait, A::Wait, A::Wait, A::Unstage},  // class 57, not a session's end
        {"40P01", "", false, A::Pause, A::Pause, A::Pause, A::Pause},
        {"42P07", "", false, A::Reread, A::Reread, A::Reread, A::Unstage},
        {"23505", "", false, A::Reread, A::Isolate, A::Wait, A::LoadByInsert},
        {"42501", "", false, A::Permanent, A::Wait, A::Wait, A::Unstage},
        {"54011", "", false, A::Permanent, A::Isolate, A::Wait, A::Unstage},
        {"22P02", "", false, A::Wait, A::Isolate, A::Wait, A::LoadByInsert},
        {"53100", "", false, A::Wait, A::Wait, A::Wait, A::Unstage},
        {"P0001", "", false, A::Wait, A::Isolate, A::Wait, A::Unstage},  // unknown: an INSERT's rows are looked at
        {"XX000", "1023", false, A::Wait, A::Isolate, A::Wait, A::Unstage},
        {"XX000", "1023", true, A::Pause, A::Pause, A::Pause, A::Pause},
        {"XX000", "Value too long for character type", true, A::Wait, A::Isolate, A::Wait, A::Unstage},
        {"42601", "Statement is too large. Statement Size: 20000000 bytes. Maximum Allowed: 16777216 bytes", true,
         A::Wait, A::Split, A::Split, A::Unstage},
        {"42601", "syntax error", true, A::Wait, A::Isolate, A::Wait, A::Unstage},
        // A COPY's refused row, as Redshift words it: its table goes by INSERT, where isolation finds the row.
        {"XX000", "Load into table 'p' failed. Check 'stl_load_errors'", true, A::Wait, A::Isolate, A::Wait,
         A::LoadByInsert},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(actionFor(K::Ddl, c.state, c.message, c.redshift), c.ddl) << c.state << " " << c.message;
        EXPECT_EQ(actionFor(K::Data, c.state, c.message, c.redshift), c.data) << c.state << " " << c.message;
        EXPECT_EQ(actionFor(K::Bookkeeping, c.state, c.message, c.redshift), c.bookkeeping) << c.state;
        EXPECT_EQ(actionFor(K::Copy, c.state, c.message, c.redshift), c.copy) << c.state << " " << c.message;
    }
}

