// Where within the read interval a coupler's cycles start.
#include "cycle/CycleOffset.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/Clock.h"
#include "cycle/Coupler.h"
#include "support/StdoutCapture.h"
#include "support/TestSupport.h"

TEST(CycleOffset, FixedPerConfigurationWithinTheInterval) {
    struct Case {
        const char* first;
        const char* second;
        int interval;
    };
    const Case cases[] = {
        {"/etc/zentok/press1.ini", "/etc/zentok/press2.ini", 1},
        {"/etc/zentok/press1.ini", "/etc/zentok/press2.ini", 10},
        {"/srv/plant/a/zentok.ini", "/srv/plant/b/zentok.ini", 1},
    };
    for (const Case& c : cases) {
        int first = cycleOffsetFor(c.first, c.interval);
        int second = cycleOffsetFor(c.second, c.interval);
        SCOPED_TRACE(std::string(c.first) + " " + c.second + " " + std::to_string(c.interval));
        EXPECT_NE(first, second);
        EXPECT_EQ(first, cycleOffsetFor(c.first, c.interval)) << "fixed for the instance";
        for (int offset : {first, second}) {
            EXPECT_GE(offset, 0);
            EXPECT_LT(offset, c.interval * 1000);
        }
    }
    EXPECT_EQ(cycleOffsetFor("/etc/zentok/press1.ini", 0), 0) << "back-to-back cycles have none";
}

// The loaded coupler counts its cycles on a clock that runs behind the wall
// clock by its offset, so its first cycle belongs to an earlier second.
TEST(CycleOffset, TheCycleClockRunsBehindByTheOffset) {
    testsupport::TempDir dir;
    std::string path = dir.file("zentok.ini");
    testsupport::writeFile(path, "coupler;readinterval;10\ncoupler;cycleoffset;auto\n");
    auto coupler = std::make_unique<Coupler>();
    testsupport::captured([&] { coupler->loadConfig(path.c_str()); });
    ASSERT_EQ(coupler->cycleOffsetMs, cycleOffsetFor(path.c_str(), 10));
    ASSERT_GT(coupler->cycleOffsetMs, 0);  // this path's offset; any other than 0 shows the shift

    const int64_t now = 2000000000;
    setClockForTesting([now] { return now; });
    EXPECT_FALSE(coupler->cycleNotDue());
    setClockForTesting(nullptr);
    int64_t behind = (coupler->cycleOffsetMs + 999) / 1000;
    EXPECT_EQ(coupler->lastCycle, now - behind);
    EXPECT_EQ(cycleSecondAt(now * 1000 + 499, 500), now - 1);
    EXPECT_EQ(cycleSecondAt(now * 1000 + 500, 500), now);
}
