// The alarm state machine of one node as timed value sequences: each step is
// a read (or a failed read, a restart, a reload) at a time, and the events
// the cycle puts into the outbox after it.
#include "trigger/Alarm.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "cycle/Outbox.h"
#include "cycle/StatesFile.h"
#include "trigger/AlarmSettings.h"
#include "trigger/Trigger.h"

namespace {

constexpr double kFail = -1e9;     // the read fails
constexpr double kRestart = -2e9;  // the program restarts (states file round trip)

struct Step {
    int64_t t;           // seconds from the start
    double value;        // or kFail, kRestart
    const char* events;  // what the cycle queues: R raise, C clear, M reminder, "" nothing
};

struct Scenario {
    const char* name;
    const char* condition;
    const char* alarm;
    std::vector<Step> steps;
};

constexpr int64_t kStart = 1772438400;  // 2026-03-02 08:00 UTC

std::unique_ptr<Coupler> makeCoupler(const char* condition, const char* alarm) {
    auto c = std::make_unique<Coupler>();
    c->sourceCount = 1;
    copyText(c->sources[0].name, "plantA");
    Node& node = c->nodes[0];
    node.source = &c->sources[0];
    copyText(node.address, "400001");
    copyText(node.condition, condition);
    copyText(node.message, "{{%state}} {{*}} #{{%reminder}} after {{%duration}}");
    node.dir = c->findDir("alarm", true);
    c->nodeCount = 1;
    c->receiverCount = 1;
    copyText(c->receivers[0].name, "ops");
    c->findLink(&c->receivers[0], node.dir, true);
    std::string line = alarm;
    EXPECT_EQ(parseAlarmLine(&line[0], condition, &node.alarm), "");
    return c;
}

// A new coupler that reads what the old one's states file would hold.
std::unique_ptr<Coupler> restarted(const Coupler& old, const Scenario& s) {
    std::string text = renderStates(old);
    auto fresh = makeCoupler(s.condition, s.alarm);
    FILE* file = fmemopen(&text[0], text.size(), "r");
    readStatesFrom(*fresh, file);
    std::fclose(file);
    return fresh;
}

// The kinds the queue step added, as letters; the outbox is emptied after.
std::string queuedEvents(Coupler& c, std::vector<std::string>* texts) {
    c.queueNotifications();
    std::string events;
    for (const OutboxEntry& entry : c.outbox->entries()) {
        events += entry.kind == AlarmNotice::Clear ? 'C' : entry.kind == AlarmNotice::Reminder ? 'M' : 'R';
        texts->push_back(entry.text);
    }
    c.outbox->entries().clear();
    return events;
}

}  // namespace

TEST(AlarmStateMachine, TimedSequencesGiveOneRaiseOneClearAndBoundedReminders) {
    const Scenario scenarios[] = {
        {"deadband: hovering at the limit raises once, clears below 95",
         "O:100",
         "clear=95",
         {{0, 101, "R"}, {10, 99, ""}, {20, 101, ""}, {30, 96, ""}, {40, 94, ""}, {50, 101, "R"}}},
        {"without a clear level a raise re-arms at the first read that fails it, silently",
         "O:100",
         "on=0",
         {{0, 101, "R"}, {10, 100, ""}, {20, 101, "R"}}},
        {"on-delay: a spike does not raise, a held value does, a failed read neither starts nor breaks it",
         "O:100",
         "on=30",
         {{0, 120, ""}, {10, 90, ""}, {20, 120, ""}, {30, kFail, ""}, {40, 120, ""}, {50, 120, "R"}}},
        {"a failed read alone does not start an on-delay",
         "O:100",
         "on=20",
         {{0, kFail, ""}, {30, 120, ""}, {45, 120, ""}, {50, 120, "R"}}},
        {"off-delay: the clear waits until the value has stayed low, with a notice",
         "U:10",
         "clear=12;off=20;normal=back to normal after {{%duration}}",
         {{0, 5, "R"},
          {10, 13, ""},
          {20, 11, ""},
          {30, 13, ""},
          {40, kFail, ""},
          {50, 13, "C"},
          {60, 13, ""}}},
        {"reminders every 60 s, three at most, none after the clear",
         "O:100",
         "remind=1m;remindmax=3;normal=ok",
         {{0, 120, "R"},
          {30, 120, ""},
          {60, 120, "M"},
          {100, 120, ""},
          {120, 120, "M"},
          {200, 120, "M"},
          {400, 120, ""},
          {410, 50, "C"},
          {420, 120, "R"}}},
        {"a restart keeps a running on-delay: it neither fires early nor starts from zero",
         "O:100",
         "on=60",
         {{0, 120, ""}, {30, 120, ""}, {35, kRestart, ""}, {40, 120, ""}, {60, 120, "R"}}},
        {"a restart in an episode: no second raise, one clear, reminders counted on",
         "O:100",
         "clear=90;off=10;remind=100;remindmax=2;normal=ok",
         {{0, 120, "R"},
          {100, 120, "M"},
          {110, 85, ""},
          {115, kRestart, ""},
          {120, 85, "C"},
          {130, kRestart, ""},
          {140, 85, ""}}},
        {"reminder count survives a reload: at most remindmax in all",
         "O:100",
         "remind=10;remindmax=2",
         {{0, 120, "R"}, {10, 120, "M"}, {15, kRestart, ""}, {20, 120, "M"}, {30, 120, ""}, {50, 120, ""}}},
    };

    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        int64_t now = kStart;
        setClockForTesting([&now] { return now; });
        auto coupler = makeCoupler(s.condition, s.alarm);
        std::vector<std::string> texts;
        for (const Step& step : s.steps) {
            SCOPED_TRACE("t=" + std::to_string(step.t));
            now = kStart + step.t;
            Node& node = coupler->nodes[0];
            if (step.value == kRestart) {
                coupler = restarted(*coupler, s);
                continue;
            }
            if (step.value != kFail) {
                double previous = node.value;
                node.value = step.value;
                evaluateTrigger(&node, previous);
            }
            EXPECT_EQ(queuedEvents(*coupler, &texts), step.events);
        }
    }
    setClockForTesting(nullptr);
}

TEST(AlarmStateMachine, NoticesTellStateDurationAndReminderCount) {
    int64_t now = kStart;
    setClockForTesting([&now] { return now; });
    auto coupler = makeCoupler("O:100", "remind=90;normal=back after {{%duration}}: {{*}} {{%state}}");
    Node& node = coupler->nodes[0];
    std::vector<std::string> texts;
    const std::pair<int64_t, double> reads[] = {{0, 120}, {95, 130}, {4000, 60}};
    for (auto [t, value] : reads) {
        now = kStart + t;
        node.value = value;
        evaluateTrigger(&node, 0);
        queuedEvents(*coupler, &texts);
    }
    setClockForTesting(nullptr);
    EXPECT_EQ(texts, (std::vector<std::string>{"raised 120 #0 after 0s", "reminder 130 #1 after 1m 35s",
                                               "back after 1h 06m: 60 cleared"}));
}
