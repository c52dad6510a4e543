// The cycle timer, the run modes and the reader step.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/Clock.h"
#include "base/Log.h"
#include "cycle/Coupler.h"
#include "support/StdoutCapture.h"

namespace {

int64_t fakeNow = 1000000;

std::string captureCycle(Coupler& c, bool& notDue) {
    return testsupport::captured([&] { notDue = c.cycleNotDue(); });
}

}  // namespace

class Cycle : public ::testing::Test {
  protected:
    void SetUp() override {
        setClockForTesting([] { return fakeNow; });
    }
    void TearDown() override {
        setClockForTesting(nullptr);
        setLogLevel(0);
    }
};

TEST_F(Cycle, FirstCycleRunsAtOnceThenAtTheInterval) {
    Coupler c;
    c.readInterval = 10;
    setLogLevel(9);
    bool notDue = true;
    std::string out = captureCycle(c, notDue);
    EXPECT_FALSE(notDue);
    EXPECT_EQ(c.lastCycle, fakeNow);
    EXPECT_NE(out.find(" coupler, readinterval 10s completed\n"), std::string::npos) << out;
    EXPECT_EQ(out.size(), std::string("2026-12-07 08:00:00 coupler, readinterval 10s completed\n").size());

    fakeNow += 9;
    EXPECT_EQ(captureCycle(c, notDue), "");
    EXPECT_TRUE(notDue);
    fakeNow += 1;
    setLogLevel(8);
    EXPECT_EQ(captureCycle(c, notDue), "") << "level 9 message hidden at level 8";
    EXPECT_FALSE(notDue);

    fakeNow += 25;  // a cycle that overran: the next one is due at once
    EXPECT_FALSE(c.cycleNotDue());
}

TEST_F(Cycle, IntervalZeroRunsBackToBackWithoutMessages) {
    Coupler c;
    setLogLevel(9);
    bool notDue = true;
    EXPECT_EQ(captureCycle(c, notDue), "");
    EXPECT_FALSE(notDue);
    EXPECT_EQ(captureCycle(c, notDue), "");
    EXPECT_FALSE(notDue);
}

TEST_F(Cycle, KeepRunningFollowsTheRunMode) {
    Coupler c;
    EXPECT_TRUE(c.keepRunning());
    c.runMode = RunMode::Single;
    EXPECT_FALSE(c.keepRunning());
    c.runMode = RunMode::Trigger;
    EXPECT_FALSE(c.keepRunning());
    c.notified = true;
    EXPECT_TRUE(c.keepRunning());
}

TEST_F(Cycle, AClockSetBackDoesNotStopTheCycles) {
    Coupler c;
    c.readInterval = 10;
    EXPECT_FALSE(c.cycleNotDue());
    fakeNow -= 3600;  // the system clock is stepped back an hour
    EXPECT_FALSE(c.cycleNotDue()) << "the next cycle is due at once, not in an hour";
    EXPECT_EQ(c.lastCycle, fakeNow);
    EXPECT_TRUE(c.cycleNotDue());
}
