// The failure table: what each answer of the server means, by kind of statement.
#include <gtest/gtest.h>

#include "failure.h"

TEST(FailureTable, EachAnswerGetsItsActionByCodeThenClassThenDefault) {
    using K = StatementKind;
    using A = Action;
    const struct {
        const char* state;
        const char* message;
        bool redshift;
        A ddl, data, bookkeeping;
    } cases[] = {
        {"", "", false, A::Reconnect, A::Reconnect, A::Reconnect},
        {"08006", "", false, A::Reconnect, A::Reconnect, A::Reconnect},
        {"57P04", "", false, A::Reconnect, A::Reconnect, A::Reconnect},
        {"57014", "", false, A::Wait, A::Wait, A::Wait},  // class 57, not a session's end
        {"40P01", "", false, A::Pause, A::Pause, A::Pause},
        {"42P07", "", false, A::Reread, A::Reread, A::Reread},
        {"23505", "", false, A::Reread, A::Isolate, A::Wait},
        {"42501", "", false, A::Permanent, A::Wait, A::Wait},
        {"54011", "", false, A::Permanent, A::Isolate, A::Wait},
        {"22P02", "", false, A::Wait, A::Isolate, A::Wait},
        {"53100", "", false, A::Wait, A::Wait, A::Wait},
        {"P0001", "", false, A::Wait, A::Isolate, A::Wait},  // unknown: an INSERT's rows are looked at
        {"XX000", "1023", false, A::Wait, A::Isolate, A::Wait},
        {"XX000", "1023", true, A::Pause, A::Pause, A::Pause},
        {"XX000", "Value too long for character type", true, A::Wait, A::Isolate, A::Wait},
        {"42601", "Statement is too large. Statement Size: 20000000 bytes. Maximum Allowed: 16777216 bytes", true,
         A::Wait, A::Split, A::Split},
        {"42601", "syntax error", true, A::Wait, A::Isolate, A::Wait},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(actionFor(K::Ddl, c.state, c.message, c.redshift), c.ddl) << c.state << " " << c.message;
        EXPECT_EQ(actionFor(K::Data, c.state, c.message, c.redshift), c.data) << c.state << " " << c.message;
        EXPECT_EQ(actionFor(K::Bookkeeping, c.state, c.message, c.redshift), c.bookkeeping) << c.state;
    }
}

TEST(FailureTable, AStagedTablesCopyGoesByInsertAndOnlyARowsFaultIsLookedForAmongItsRows) {
    const struct {
        const char* state;
        const char* message;
        Action action;
    } cases[] = {
        {"XX000", "Load into table 'pump' failed. Check 'stl_load_errors' system table for details.",
         Action::LoadByInsert},
        {"22P02", "", Action::LoadByInsert},  // a server that names the row's fault by its code
        {"XX000", "S3ServiceException:Access Denied,Status 403", Action::Unstage},
        {"42501", "", Action::Unstage},
        {"57P01", "", Action::Reconnect},
        {"40001", "", Action::Pause},
    };
    for (const auto& c : cases)
        for (bool redshift : {false, true})
            EXPECT_EQ(actionFor(StatementKind::Copy, c.state, c.message, redshift), c.action) << c.state << c.message;
    EXPECT_EQ(actionFor(StatementKind::Copy, "XX000", "1023", true), Action::Pause);
}
