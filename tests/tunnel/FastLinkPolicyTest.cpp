#include "tunnel/FastLinkPolicy.h"

#include <gtest/gtest.h>

// Samples move the timeout as TCP's estimator does; it stays within floor and ceiling,
// and doubles at each timeout until the next sample.
TEST(FastLinkPolicyTest, TimeoutFollowsRoundTripsWithinLimits)
{
    CFastLinkPolicy policy;
    EXPECT_EQ(1u, policy.Window());
    EXPECT_EQ(CFastLinkPolicy::kInitialMs, policy.RetransmitTimeoutMs());

    policy.Acknowledged(100); // first: SRTT 100, RTTVAR 50
    EXPECT_EQ(300u, policy.RetransmitTimeoutMs());
    policy.Acknowledged(180); // RTTVAR (150 + 80) / 4 = 57, SRTT (700 + 180) / 8 = 110
    EXPECT_EQ(110u, policy.SmoothedRttMs());
    EXPECT_EQ(57u, policy.RttVariationMs());
    EXPECT_EQ(338u, policy.RetransmitTimeoutMs());

    policy.TimedOut();
    EXPECT_EQ(676u, policy.RetransmitTimeoutMs());
    policy.TimedOut();
    policy.TimedOut();
    EXPECT_EQ(2704u, policy.RetransmitTimeoutMs());
    for (int i = 0; i < 10; ++i)
        policy.TimedOut();
    EXPECT_EQ(CFastLinkPolicy::kCeilingMs, policy.RetransmitTimeoutMs());

    for (int i = 0; i < 40; ++i)
        policy.Acknowledged(2);
    EXPECT_EQ(CFastLinkPolicy::kFloorMs, policy.RetransmitTimeoutMs());
    policy.Acknowledged(60000); // a sample beyond the ceiling counts as the ceiling
    EXPECT_EQ(CFastLinkPolicy::kCeilingMs, policy.RetransmitTimeoutMs());
}
