#include "platform/Deadline.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

TEST(Deadline, RemainingTimeAsPollTakesIt) {
    EXPECT_EQ(platform::Deadline::Never().RemainingMs(), -1);
    EXPECT_FALSE(platform::Deadline::Never().Passed());
    EXPECT_EQ(platform::Deadline::In(0).RemainingMs(), 0);
    EXPECT_TRUE(platform::Deadline::In(0).Passed());
    const int left = platform::Deadline::In(60000).RemainingMs();
    EXPECT_GT(left, 0);
    EXPECT_LE(left, 60000);
    // A time-out longer than poll can take is held at its limit, never
    // turned into a negative (infinite) wait.
    EXPECT_EQ(platform::Deadline::In(uint64_t{1} << 40).RemainingMs(), INT_MAX);
    EXPECT_EQ(platform::Deadline::In(0xFFFFFFFEu).RemainingMs(), INT_MAX);
}

TEST(Deadline, SecondsBecomeWholeMilliseconds) {
    EXPECT_EQ(platform::MsFromSeconds(1.5).count(), 1500);
    EXPECT_EQ(platform::MsFromSeconds(0.0019).count(), 1);
    EXPECT_EQ(platform::MsFromSeconds(-2).count(), 0);
    EXPECT_EQ(platform::MsFromSeconds(std::nan("")).count(), 0);
}
