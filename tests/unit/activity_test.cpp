// The operator's line: once a minute while blocks flow, with what happened since.
#include <gtest/gtest.h>

#include "delivery/activity.h"
#include "log_capture.h"

TEST(OperatorLine, ComesOnceAMinuteWithWhatHappenedSinceTheLastOne) {
    testsupport::LogCapture log;
    const auto start = Activity::Clock::now();
    Activity activity;
    activity.written(500, 2, 3);
    activity.retried();
    activity.inDoubt();
    activity.failed("timeout (block of 500 readings for pumps)");
    activity.tick(start + std::chrono::seconds(30));
    EXPECT_TRUE(log.lines().empty());
    activity.tick(start + std::chrono::seconds(61));
    EXPECT_EQ(log.count("in the last minute: 1 block(s), 500 reading(s) written; 2 refused and 3 changed (kept in the "
                        "rejects table); 1 retries, 0 reconnection(s), 1 block(s) in doubt; last error: timeout "
                        "(block of 500 readings for pumps)"),
              1u)
        << log.dump();
    activity.log("at shutdown");
    EXPECT_EQ(log.count("at shutdown: 0 block(s), 0 reading(s) written"), 1u) << "counted afresh after each line";
}
