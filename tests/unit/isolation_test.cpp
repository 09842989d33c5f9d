// Refusals found past the head a call wrote wait for the host's next call,
// which starts where this one stopped.
#include <gtest/gtest.h>

#include "delivery/isolation.h"

TEST(RememberedRefusals, StayValidAfterAPartialHeadAndAreUsedOnce) {
    Session session(std::chrono::seconds(1));
    Isolation isolation(session);
    isolation.startCall();
    // Readings A A B A A: the fourth is refused, the first two are written.
    isolation.remember(3, "t", "why");
    isolation.endCall({1, 1, 2, 1, 1}, 2);
    // The host goes on from the third, and the like before it is no longer sent.
    std::vector<RejectEntry> recalled = isolation.recall({2, 1, 1, 3}, 0);
    ASSERT_EQ(recalled.size(), 1u);
    EXPECT_EQ(recalled[0].position, 1u);
    EXPECT_EQ(recalled[0].reason, "why");
    EXPECT_TRUE(isolation.recall({2, 1, 1, 3}, 0).empty()) << "each is used once";
}
