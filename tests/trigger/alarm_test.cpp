// The alarm state machine of one node as timed value sequences: each step is
// a read, a failed read or a restart (the states file read back by a new
// coupler, as a reload does) at a time, and the notices the cycle queues.
#include "trigger/Alarm.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "base/Clock.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "cycle/Outbox.h"
#include "cycle/StatesFile.h"
#include "trigger/AlarmSettings.h"
#include "trigger/Trigger.h"

namespace {

struct Scenario {
    const char* name;
    const char* condition;
    const char* alarm;
    // Steps "t:value=events": seconds from the start, the value read ("F" a
    // failed read, "restart"), and what the cycle queues: R raise, C clear,
    // M reminder.
    const char* steps;
    const char* lastText;           // the last notice's text, when checked
    const char* quality = nullptr;  // the node's quality after the last step, when checked
};

constexpr int64_t kStart = 1772438400;

std::unique_ptr<Coupler> makeCoupler(const Scenario& s) {
    auto c = std::make_unique<Coupler>();
    c->sourceCount = c->nodeCount = c->receiverCount = 1;
    copyText(c->sources[0].name, "plantA");
    copyText(c->receivers[0].name, "ops");
    Node& node = c->nodes[0];
    node.source = &c->sources[0];
    copyText(node.address, "400001");
    setCondition(&node, s.condition);
    copyText(node.message, "{{%state}} {{*}} #{{%reminder}} after {{%duration}}");
    node.dir = c->findDir("alarm", true);
    c->findLink(&c->receivers[0], node.dir, true);
    std::string line = s.alarm;
    EXPECT_EQ(parseAlarmLine(&line[0], s.condition, &node.alarm), "");
    return c;
}

std::unique_ptr<Coupler> restarted(const Coupler& old, const Scenario& s) {
    std::string text = renderStates(old);
    auto fresh = makeCoupler(s);
    FILE* file = fmemopen(&text[0], text.size(), "r");
    readStatesFrom(*fresh, file);
    std::fclose(file);
    return fresh;
}

// The kinds the queue step added, as letters; the outbox is emptied after.
std::string queuedEvents(Coupler& c, std::string* lastText) {
    c.queueNotifications();
    std::string events;
    for (const OutboxEntry& entry : c.outbox->entries()) {
        events += entry.kind == AlarmNotice::Clear ? 'C' : entry.kind == AlarmNotice::Reminder ? 'M' : 'R';
        *lastText = entry.text;
    }
    c.outbox->entries().clear();
    return events;
}

}  // namespace

TEST(AlarmStateMachine, TimedSequencesGiveOneRaiseOneClearAndBoundedReminders) {
    const Scenario scenarios[] = {
        {"deadband: hovering at the limit raises once, clears below 95", "O:100", "clear=95",
         "0:101=R 10:99 20:101 30:96 40:94 50:101=R", nullptr},
        {"without a clear level it re-arms at the first read that fails it, silently", "O:100", "on=0",
         "0:101=R 10:100 20:101=R", nullptr},
        {"on-delay: a spike does not raise; a failed read neither starts nor breaks it", "O:100", "on=30",
         "0:120 10:90 20:120 30:F 40:120 50:120=R 60:F 65:F 70:120", nullptr},
        {"a failed read alone starts no on-delay", "O:100", "on=20", "0:F 30:120 45:120 50:120=R", nullptr},
        {"off-delay and deadband for U, with the notice", "U:10",
         "clear=12;off=20;normal=back after {{%duration}}", "0:5=R 10:13 20:11 30:13 40:F 50:13=C 60:13",
         "back after 50s"},
        {"reminders every 60 s, three at most, none after the clear", "O:100",
         "remind=1m;remindmax=3;normal=ok",
         "0:120=R 30:120 60:120=M 100:120 120:120=M 4000:130=M 4100:120 4110:50=C 4120:120=R",
         "raised 120 #0 after 0s"},
        {"a restart keeps a running on-delay: neither early nor from zero", "O:100", "on=60",
         "0:120 30:120 35:restart 40:120 60:120=R", nullptr},
        {"a restart in an episode: no second raise, one clear", "O:100", "clear=90;off=10;normal=ok",
         "0:120=R 110:85 115:restart 120:85=C 130:restart 140:85", nullptr},
        {"the reminder count survives a restart: remindmax in all", "O:100", "remind=10;remindmax=2",
         "0:120=R 10:120=M 15:restart 7220:120=M 7230:120 7250:120", "reminder 120 #2 after 2h 00m"},
        {"a clear without its template is silent; the next raise is notified", "O:100", "clear=95",
         "0:120=R 10:90 20:120=R", nullptr},
        {"frozen: still for the duration raises, moving again clears, still again raises", "S:30",
         "normal=moving", "0:5 10:5 20:5 30:5=R 40:6=C 50:6 80:6=R", nullptr, "good"},
        {"frozen with tolerance: a link loss is left out of the count, which survives a restart", "S:30s:0.5",
         "normal=ok", "0:5 10:5.4 15:F 100:5.2 110:5 115:restart 120:5.3 130:5.1=R 140:5.6=C", nullptr},
        {"range: a value a sensor cannot give raises, back inside clears; missing reads change nothing",
         "R:0:100", "normal=ok", "0:50 10:101=R 20:100=C 30:-1=R 40:F 50:F", nullptr, "stale"},
        {"an active alarm outlasts a link loss: neither cleared nor raised again", "O:100", "normal=ok",
         "0:120=R 10:F 20:F 30:120 40:90=C", nullptr, "good"},
        {"a node whose reads all failed was never read", "O:100", "on=0", "0:F 10:F", nullptr, "never read"},
    };
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        int64_t now = kStart;
        setClockForTesting([&now] { return now; });
        auto coupler = makeCoupler(s);
        std::string lastText;
        std::istringstream steps(s.steps);
        for (std::string step; steps >> step;) {
            SCOPED_TRACE(step);
            size_t colon = step.find(':'), equals = step.find('=');
            now = kStart + std::stoll(step.substr(0, colon));
            std::string value =
                step.substr(colon + 1, equals == std::string::npos ? equals : equals - colon - 1);
            std::string expected = equals == std::string::npos ? "" : step.substr(equals + 1);
            if (value == "restart") {
                coupler = restarted(*coupler, s);
                continue;
            }
            Node& node = coupler->nodes[0];
            if (value == "F") {
                noteFailedRead(&node);
            } else {
                double previous = node.value;
                node.value = std::stod(value);
                node.readError = 0;
                node.lastRead = now;
                evaluateTrigger(&node, previous);
            }
            EXPECT_EQ(queuedEvents(*coupler, &lastText), expected);
        }
        if (s.lastText) {
            EXPECT_EQ(lastText, s.lastText);
        }
        if (s.quality) {
            EXPECT_STREQ(coupler->nodes[0].quality(), s.quality);
        }
    }
    setClockForTesting(nullptr);
}
