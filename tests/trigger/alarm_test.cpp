// The alarm state machine of one node as timed value sequences: each step is
// a read, a failed read or a restart (the states file read back by a new
// coupler, as a reload does) at a time, and the notices the cycle queues.
#include "trigger/Alarm.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "cycle/Ladder.h"
#include "cycle/Outbox.h"
#include "cycle/StatesFile.h"
#include "trigger/AlarmSettings.h"
#include "trigger/DutyWindow.h"
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

// One step of a scenario, "SECONDS:VALUE[=EXPECTED]": when, what happens,
// and what the step must show (empty: nothing to check).
struct Step {
    int64_t at;
    std::string value;
    std::string expected;
};

Step readStep(const std::string& step) {
    size_t colon = step.find(':'), equals = step.find('=');
    std::string value = step.substr(colon + 1, equals == std::string::npos ? equals : equals - colon - 1);
    return {std::stoll(step.substr(0, colon)), value,
            equals == std::string::npos ? "" : step.substr(equals + 1)};
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
            auto [at, value, expected] = readStep(step);
            now = kStart + at;
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

namespace {

// An alarm of group "alarm" (receiver "ops") with a ladder over the groups
// shift, lead and manager, each with a receiver of its name.
struct LadderScenario {
    const char* name;
    const char* ladder;  // the steps behind "ladder;alarm;"
    const char* when;    // "GROUP;WINDOW" or empty
    // As above; "ack" (its events: the steps left in the outbox), "restart",
    // "crash" (the states file of before the last cycle, the outbox after
    // it). Events: R raise, E step, C clear, each with the initials of the
    // receivers it reaches; "+" between two notices.
    const char* steps;
};

std::unique_ptr<Coupler> makeLadderCoupler(const LadderScenario& s) {
    Scenario alarm{s.name, "O:100", "normal=ok", "", nullptr};
    auto c = makeCoupler(alarm);
    for (const char* group : {"shift", "lead", "manager"}) {
        Receiver& receiver = c->receivers[c->receiverCount++];
        copyText(receiver.name, group);
        c->findLink(&receiver, c->findDir(group, true), true);
    }
    std::string steps = s.ladder;
    Ladder& ladder = c->ladders[c->ladderCount++];
    ladder.from = c->nodes[0].dir;
    EXPECT_EQ(readLadderSteps(*c, &steps[0], &ladder), "");
    if (std::string when = s.when; !when.empty()) {
        size_t semicolon = when.find(';');
        DirEntry* group = c->findDir(when.substr(0, semicolon).c_str(), false);
        EXPECT_EQ(readDutyWindow(when.substr(semicolon + 1).c_str(), &c->duty[group - c->dirs]), "");
    }
    c->outbox = std::make_shared<Outbox>();
    return c;
}

// The notices the cycle queued that no earlier run left; the outbox keeps
// them, as if its file had taken them.
std::string ladderEvents(Coupler& c) {
    c.queueNotifications();
    c.nodes[0].unrecordedFiring = false;
    std::string events;
    const OutboxEntry* previous = nullptr;
    for (const OutboxEntry& entry : c.outbox->entries()) {
        if (entry.fromEarlierRun) continue;
        if (!previous || previous->kind != entry.kind || previous->ladderRung != entry.ladderRung) {
            if (previous) events += '+';
            events += entry.kind == AlarmNotice::Clear       ? 'C'
                      : entry.kind == AlarmNotice::Escalated ? 'E'
                                                             : 'R';
        }
        events += entry.receiver[0];
        previous = &entry;
    }
    return events;
}

}  // namespace

TEST(AlarmLadder, AnUnacknowledgedAlarmClimbsTheStepsOnDutyOnceEachAcrossRestarts) {
    const LadderScenario scenarios[] = {
        {"each step at its delay, repeat up to its maximum, the clear to everyone reached",
         "0:shift;5m:lead;15m:lead,manager;30m:repeat:1", "",
         "0:120=Ros 299:120 300:120=El 900:120=Elm 1800:120=Es 2100:120=El 2700:120=Elm 3600:120 9000:120 "
         "9010:50=Coslm"},
        {"an acknowledgement between two steps stops every later step", "0:shift;5m:lead;15m:manager", "",
         "0:120=Ros 300:120=El 400:ack 900:120 1800:120 2000:50=Cosl"},
        {"a restart mid-ladder neither repeats nor skips a step", "0:shift;5m:lead;15m:manager;30m:repeat:1",
         "",
         "0:120=Ros 300:120=El 400:restart 899:120 900:120=Em 1000:restart 1800:120=Es 1900:restart "
         "2000:50=Coslm"},
        {"a crash after a step's outbox write, before the states write: not decided again",
         "0:shift;5m:lead;15m:manager", "", "0:120=Ros 300:120=El 300:crash 301:120 900:120=Em"},
        {"after a long stop the ladder goes on with the round of now, not every round missed",
         "0:shift;5m:lead;15m:manager;30m:repeat:9", "",
         "0:120=Ros 300:120=El 400:restart 7300:120=Es 7500:120=El"},
        {"several steps overdue at a read go out in order", "0:shift;5m:lead;15m:manager", "",
         "0:120=Ros 1000:120=El+Em"},
        {"an off-duty step passes on to the next at once", "0:shift;5m:lead;15m:manager",
         "lead;Mon-Fri 09:00-17:00", "0:120=Ros 300:120=Em 900:120 3600:50=Cosm"},
        {"a first step off duty: the raise goes to the next step's groups", "0:shift;5m:lead",
         "shift;Sat,Sun", "0:120=Rol 300:120 400:50=Col"},
    };
    const std::string zone = std::getenv("TZ") ? std::getenv("TZ") : "";
    setenv("TZ", "UTC", 1);  // the windows are local time; the start is Monday 08:00 UTC
    tzset();
    for (const LadderScenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        int64_t now = kStart;
        setClockForTesting([&now] { return now; });
        auto coupler = makeLadderCoupler(s);
        std::string statesBefore = renderStates(*coupler);
        std::istringstream steps(s.steps);
        for (std::string step; steps >> step;) {
            SCOPED_TRACE(step);
            auto [at, value, expected] = readStep(step);
            now = kStart + at;
            Node& node = coupler->nodes[0];
            if (value == "ack") {
                std::string answer;
                EXPECT_TRUE(coupler->acknowledge(node, Coupler::AckRequest{"anna"}, &answer)) << answer;
                std::string waiting;
                for (const OutboxEntry& entry : coupler->outbox->entries())
                    if (entry.kind == AlarmNotice::Escalated) waiting += entry.receiver[0];
                EXPECT_EQ(waiting, expected) << "ladder steps still waiting in the outbox";
                continue;
            }
            if (value == "restart" || value == "crash") {
                std::string text = value == "crash" ? statesBefore : renderStates(*coupler);
                std::vector<int> damaged;
                auto entries = parseOutbox(formatOutbox(coupler->outbox->entries()), &damaged);
                EXPECT_TRUE(damaged.empty());
                coupler = makeLadderCoupler(s);
                FILE* file = fmemopen(&text[0], text.size(), "r");
                readStatesFrom(*coupler, file);
                std::fclose(file);
                for (OutboxEntry& entry : entries) entry.fromEarlierRun = entry.saved = true;
                coupler->outbox->entries() = entries;
                continue;
            }
            statesBefore = renderStates(*coupler);
            double previous = node.value;
            node.value = std::stod(value);
            evaluateTrigger(&node, previous);
            EXPECT_EQ(ladderEvents(*coupler), expected);
            for (OutboxEntry& entry : coupler->outbox->entries()) entry.fromEarlierRun = true;
        }
    }
    setClockForTesting(nullptr);
    zone.empty() ? unsetenv("TZ") : setenv("TZ", zone.c_str(), 1);
    tzset();
}
