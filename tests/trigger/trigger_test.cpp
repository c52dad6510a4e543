// Trigger conditions at their edges, time tables, and the trigger state with
// the minute re-arm, against a replaced clock in a fixed time zone.
#include "trigger/Trigger.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Text.h"
#include "cycle/Coupler.h"

namespace {

// One hour east of UTC without daylight saving, so a test fails when UTC is
// used where local time belongs.
class TriggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "ZKT-1", 1);
        tzset();
    }
    void TearDown() override { setClockForTesting(nullptr); }

    // A local wall-clock time on 2026-03-02 in the test zone.
    static int64_t localTime(int hour, int minute, int second) {
        struct tm t {};
        t.tm_year = 2026 - 1900;
        t.tm_mon = 2;
        t.tm_mday = 2;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
        t.tm_isdst = 0;
        return static_cast<int64_t>(mktime(&t));
    }
    void setNow(int64_t now) {
        now_ = now;
        setClockForTesting([this] { return now_; });
    }

    int64_t now_ = 0;
};

Node nodeWith(const char* condition, double value) {
    Node node;
    setCondition(&node, condition);
    node.value = value;
    return node;
}

TEST_F(TriggerTest, ValueConditionsAtTheirEdges) {
    struct Case {
        const char* condition;
        double value, previous;
        bool holds;
    };
    const double nan = std::nan("");
    const std::vector<Case> cases = {
        {"D:5", 16, 10, true},       {"D:5", 16, -10, true},
        {"D:5", 3, -3, false},  // sign change alone
        {"D:5", 15, 10, false},      {"D:5", -16, 10, true},
        {"d:5", 16, 10, true},       {"DIFF:5", 16, 10, true},
        {"D", 100, 0, false},        {"D:", 1, 0, false},  // "D:" has no threshold field
        {"O:100", 100, 0, false},    {"O:100", 100.5, 0, true},
        {"o:100", 101, 0, true},     {"OVER:50", 51, 0, true},
        {"O:abc", 0.5, 0, true},     {"O:abc", 0, 0, false},
        {"O: 1.5e1", 15.5, 0, true}, {"O:1.5e1", 15, 0, false},
        {"O:-2.5x", -2, 0, true},    {"O:0x10", 5, 0, true},
        {"O:inf", 5, 0, true},       {"O:1:junk", 2, 0, true},
        {"U:0", -1, 0, true},        {"U:0", 0, 0, false},
        {"U", -1, 0, false},         {"N", 0.0, 0, false},
        {"N", 0.5, 0, true},         {"N", -1, 0, true},
        {"N", nan, 0, true},         {"Z", 0.0, 0, true},
        {"Z", -0.0, 0, true},        {"Z", 0.1, 0, false},
        {"Z", nan, 0, false},        {"X:1", 1, 0, false},
        {"", 1, 0, false},           {":5", 1, 0, false},
        {" O:1", 2, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.condition) + " value " + std::to_string(c.value) + " previous " +
                     std::to_string(c.previous));
        Node node = nodeWith(c.condition, c.value);
        EXPECT_EQ(evaluateCondition(&node, c.previous), c.holds);
        EXPECT_FALSE(node.active);  // only T conditions touch the state, and only to re-arm
    }
    EXPECT_FALSE(evaluateCondition(nullptr, 0));
}

TEST_F(TriggerTest, TimeTables) {
    struct Case {
        int length;
        const char* text;
        std::set<int> marked;  // the marked entries when `from` is negative
        int from;              // with from >= 0: every entry from there to the last
    };
    auto range = [](int first, int last) {
        std::set<int> s;
        for (int i = first; i <= last; ++i) s.insert(i);
        return s;
    };
    const std::vector<Case> cases = {
        {24, "*", {}, 0},
        {24, "*/22", {}, 22},
        {60, "*/30", {}, 30},
        {24, "*/", {}, 0},
        {24, "*/-5", {}, 0},
        {24, "*/99", {}, -1},
        {24, "*x", {}, 0},
        {24, "8-17", {8, 17}, -1},  // no ranges
        {24, "8,12,17", {8, 12, 17}, -1},
        {24, "8 12 17", {8, 12, 17}, -1},
        {24, "8/12/17", {8, 12, 17}, -1},
        {24, "0,23,24", {0, 23}, -1},
        {60, "59,60,007", {59, 7}, -1},
        {24, "99999999999999999999,3", {3}, -1},
        {24, " 8", {}, -1},
        {24, "x8", {}, -1},
        {24, "", {}, -1},
        {24, "5*", {5}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<int> table(c.length, 7);
        parseTimeTable(table.data(), c.length, c.text);
        std::set<int> expected = c.from >= 0 ? range(c.from, c.length - 1) : c.marked;
        for (int i = 0; i < c.length; ++i) EXPECT_EQ(table[i], expected.count(i) ? 1 : 0) << "entry " << i;
    }
    int table[24];
    parseTimeTable(table, 24, nullptr);
    for (int v : table) EXPECT_EQ(v, 0);
}

TEST_F(TriggerTest, TimeConditionsUseLocalTime) {
    struct Case {
        const char* condition;
        int hour, minute;
        bool holds;
    };
    const std::vector<Case> cases = {
        {"T:8,12,17:0", 8, 0, true},  {"T:8,12,17:0", 12, 0, true}, {"T:8,12,17:0", 17, 0, true},
        {"T:8,12,17:0", 8, 1, false}, {"T:8,12,17:0", 9, 0, false}, {"t:8:0", 8, 0, true},
        {"T:*:*", 3, 17, true},       {"T:*/22:*", 21, 59, false},  {"T:*/22:*", 22, 0, true},
        {"T:*/22:*", 23, 59, true},   {"T:*:*/30", 4, 29, false},   {"T:*:*/30", 4, 30, true},
        {"T:8", 8, 0, false},         {"T: 8:0", 8, 0, false},      {"T", 8, 0, false},
        {"T:8:0:extra", 8, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.condition) + " at " + std::to_string(c.hour) + ":" +
                     std::to_string(c.minute));
        setNow(localTime(c.hour, c.minute, 30));
        Node node = nodeWith(c.condition, 0);
        EXPECT_EQ(evaluateCondition(&node, 0), c.holds);
    }
}

TEST_F(TriggerTest, FiresOncePerFiringAndRearmsAfterTheMessageWentOut) {
    setNow(localTime(10, 0, 0));
    Node node = nodeWith("O:100", 120);
    evaluateTrigger(&node, 0);
    EXPECT_TRUE(node.active);
    EXPECT_FALSE(node.sent);
    EXPECT_EQ(node.triggerTime, now_);
    const int64_t firedAt = now_;

    // Condition false before the message went out: the firing stays pending.
    setNow(firedAt + 10);
    node.value = 50;
    evaluateTrigger(&node, 120);
    EXPECT_TRUE(node.active);
    EXPECT_EQ(node.triggerTime, firedAt);

    // Still true after sending: no second firing.
    node.sent = true;
    node.value = 130;
    evaluateTrigger(&node, 50);
    EXPECT_TRUE(node.active && node.sent);
    EXPECT_EQ(node.triggerTime, firedAt);

    // False after sending: re-armed, and the next rise fires again.
    node.value = 100;
    evaluateTrigger(&node, 130);
    EXPECT_FALSE(node.active || node.sent);
    EXPECT_EQ(node.triggerTime, 0);
    setNow(firedAt + 60);
    node.value = 101;
    evaluateTrigger(&node, 100);
    EXPECT_TRUE(node.active);
    EXPECT_EQ(node.triggerTime, firedAt + 60);
}

TEST_F(TriggerTest, TimeTableFiresOnceInEachMatchingMinute) {
    Node node = nodeWith("T:8,12,17:0", 0);
    int firings = 0;
    int64_t lastTrigger = 0;
    // A read every 10 seconds from 07:59 to 12:01; the message goes out after each firing.
    for (int64_t t = localTime(7, 59, 0); t <= localTime(12, 1, 0); t += 10) {
        setNow(t);
        evaluateTrigger(&node, 0);
        if (node.triggerTime != 0 && node.triggerTime != lastTrigger) {
            ++firings;
            lastTrigger = node.triggerTime;
            EXPECT_TRUE(t == localTime(8, 0, 0) || t == localTime(12, 0, 0)) << "fired at " << t;
        }
        if (node.active) node.sent = true;
    }
    EXPECT_EQ(firings, 2);
    EXPECT_FALSE(node.active);  // re-armed in 12:01
}

TEST_F(TriggerTest, MinuteRearmAlsoClearsAnUnsentFiring) {
    Node node = nodeWith("T:*:*", 0);
    setNow(localTime(9, 0, 50));
    evaluateTrigger(&node, 0);
    const int64_t first = node.triggerTime;
    EXPECT_EQ(first, now_);
    setNow(localTime(9, 0, 59));  // same minute: no second firing
    evaluateTrigger(&node, 0);
    EXPECT_EQ(node.triggerTime, first);
    setNow(localTime(9, 1, 0));  // next minute: fires again although nothing was sent
    evaluateTrigger(&node, 0);
    EXPECT_TRUE(node.active);
    EXPECT_FALSE(node.sent);
    EXPECT_EQ(node.triggerTime, now_);

    // A fired node restored from the states file is re-armed by a T
    // condition in a later minute even when the tables do not match.
    Node restored = nodeWith("T:3:0", 0);
    restored.active = restored.sent = true;
    restored.triggerTime = localTime(3, 0, 0);
    setNow(localTime(9, 2, 0));
    EXPECT_FALSE(evaluateCondition(&restored, 0));
    EXPECT_FALSE(restored.active || restored.sent);
    EXPECT_EQ(restored.triggerTime, 0);

    // The clock went back an hour after a firing at 09:00: the table fires
    // again at 08:00 instead of waiting until the clock passes 09:00.
    Node hourly = nodeWith("T:*:0", 0);
    setNow(localTime(9, 0, 0));
    evaluateTrigger(&hourly, 0);
    hourly.sent = true;
    setNow(localTime(8, 0, 10));
    evaluateTrigger(&hourly, 0);
    EXPECT_TRUE(hourly.active);
    EXPECT_FALSE(hourly.sent);
    EXPECT_EQ(hourly.triggerTime, now_);
}

}  // namespace

TEST_F(TriggerTest, TheConditionIsReadOnceIntoItsTypedForm) {
    Node node = nodeWith("o:1e2", 120);
    EXPECT_EQ(node.trigger.kind, ConditionKind::Over);
    EXPECT_EQ(node.trigger.threshold, 100);
    // The evaluation reads the typed form, not the text it came from.
    copyText(node.condition, "U:0");
    EXPECT_TRUE(evaluateCondition(&node, 0));

    Condition parsed;
    EXPECT_STREQ(readCondition("X:1", &parsed), "unknown letter (D, N, O, U, Z, T, S or R)");
    EXPECT_EQ(parsed.kind, ConditionKind::Never);
    EXPECT_STREQ(readCondition("T:8", &parsed), "T needs hours and minutes, as in T:8,12:0");
    EXPECT_EQ(parsed.kind, ConditionKind::Never);
    // A comma is a decimal comma only where a number is expected.
    EXPECT_EQ(readCondition("O:3,5", &parsed), kDecimalCommaProblem);
    EXPECT_EQ(readCondition("T:8,12,17:0", &parsed), nullptr);
    // S: a duration with its unit and an optional tolerance; R: a range that holds a value.
    EXPECT_EQ(readCondition("s:15m:0.5", &parsed), nullptr);
    EXPECT_EQ(parsed.seconds, 900);
    EXPECT_EQ(parsed.threshold, 0.5);
    EXPECT_NE(readCondition("S:0", &parsed), nullptr);
    EXPECT_NE(readCondition("S:30s:-1", &parsed), nullptr);
    EXPECT_EQ(readCondition("R:-20:150", &parsed), nullptr);
    EXPECT_STREQ(readCondition("R:5:5", &parsed), "R: its least value is not below its greatest");
    EXPECT_EQ(parsed.kind, ConditionKind::Never);
}
