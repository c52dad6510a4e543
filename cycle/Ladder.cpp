#include "cycle/Ladder.h"

#include <algorithm>

#include "base/Text.h"
#include "cycle/Coupler.h"
#include "cycle/Outbox.h"
#include "trigger/AlarmSettings.h"
#include "trigger/DutyWindow.h"

static_assert(kMaxDirs <= 64, "a GroupSet holds a bit for every group");

namespace {

constexpr const char* kLadderExample = "as ladder;shift;0:shift;5m:lead;15m:lead,manager;30m:repeat:3";

// "lead,manager" into group bits; the groups are added to the coupler's.
std::string readGroups(Coupler& coupler, char* list, GroupSet* groups) {
    char* cursor = list;
    while (char* name = nextToken(&cursor, ",")) {
        if (!*name) return "a ladder step names an empty group, " + std::string(kLadderExample);
        DirEntry* dir = coupler.findDir(name, true);
        if (!dir) return "ladder: more groups than the table holds at '" + std::string(name) + "'";
        *groups |= groupBit(coupler, dir);
    }
    return *groups ? "" : "a ladder step needs a group, " + std::string(kLadderExample);
}

// "5m:lead,manager" or "30m:repeat:3".
std::string readStep(Coupler& coupler, char* text, LadderStep* step, int* repeats) {
    char* cursor = text;
    char* delay = nextToken(&cursor, ":");
    char* what = delay ? nextToken(&cursor, ":") : nullptr;
    char* count = what ? nextToken(&cursor, ":") : nullptr;
    step->delaySeconds = delay ? parseAlarmDuration(delay) : -1;
    if (!what || step->delaySeconds < 0)
        return "a ladder step is DELAY:GROUP[,GROUP] or DELAY:repeat:COUNT, " + std::string(kLadderExample);
    if (!equalsIgnoreCase(what, "repeat")) {
        if (count) return "a ladder step is DELAY:GROUP[,GROUP], " + std::string(kLadderExample);
        return readGroups(coupler, what, &step->groups);
    }
    step->repeat = true;
    int rounds = count ? parseInt(count) : 0;
    if (!count || rounds < 1 || rounds > kMaxLadderRepeats)
        return "repeat needs its maximum, 1 to " + std::to_string(kMaxLadderRepeats) +
               " times, as 30m:repeat:3: a ladder nobody acknowledges must end";
    if (step->delaySeconds < 1) return "repeat needs a delay of at least 1 s";
    *repeats = rounds;
    return "";
}

int repeatDelay(const Ladder& ladder) {
    const LadderStep& last = ladder.steps[ladder.stepCount - 1];
    return last.repeat ? last.delaySeconds : 0;
}

GroupSet groupsOnDuty(const Coupler& coupler, GroupSet groups, int64_t now) {
    GroupSet onDuty = 0;
    for (int i = 0; i < coupler.dirCount; ++i)
        if ((groups & (GroupSet{1} << i)) && onDutyAt(coupler.duty[i], now)) onDuty |= GroupSet{1} << i;
    return onDuty;
}

// Moves the position past each step the outbox holds an entry of.
void catchUpWithOutbox(const Ladder& ladder, const Outbox& outbox, const Node& node, LadderPosition* at) {
    for (const OutboxEntry& entry : outbox.entries()) {
        if (entry.ladderRung < 0 || entry.triggerTime != at->episode ||
            !entry.sameNode(node.source ? node.source->name : "", node.address))
            continue;
        int round = entry.ladderRung / kMaxLadderSteps, step = entry.ladderRung % kMaxLadderSteps;
        if (step >= ladder.stepCount || entry.ladderRung < rungKey(at->round, at->next)) continue;
        at->round = round;
        at->next = step + 1;
        at->reached |= ladder.steps[step].groups;
    }
}

// Rounds that ended while nothing climbed (a long stop, a shelve) are not
// sent late one after the other: the ladder goes on with the round of now,
// which pages the same groups again in their order.
void skipPastRounds(const Ladder& ladder, int64_t now, LadderPosition* at) {
    int64_t length = repeatDelay(ladder);
    if (length <= 0 || now <= at->episode) return;
    int64_t current = std::min<int64_t>((now - at->episode) / length, ladder.repeats);
    if (current <= at->round) return;
    at->round = static_cast<int>(current);
    at->next = 0;
}

}  // namespace

GroupSet groupBit(const Coupler& coupler, const DirEntry* group) {
    long index = group - coupler.dirs;
    return group && index >= 0 && index < kMaxDirs ? GroupSet{1} << index : 0;
}

const Ladder* ladderOf(const Coupler& coupler, const DirEntry* group) {
    for (int i = 0; i < coupler.ladderCount; ++i)
        if (group && coupler.ladders[i].from == group) return &coupler.ladders[i];
    return nullptr;
}

std::string readLadderSteps(Coupler& coupler, char* cursor, Ladder* out) {
    int previous = 0;
    while (char* text = nextToken(&cursor, ";")) {
        if (!*text) continue;
        if (out->stepCount > 0 && out->steps[out->stepCount - 1].repeat)
            return "repeat is the ladder's last step";
        if (out->stepCount >= kMaxLadderSteps)
            return "a ladder has at most " + std::to_string(kMaxLadderSteps) + " steps";
        LadderStep& step = out->steps[out->stepCount];
        std::string fault = readStep(coupler, text, &step, &out->repeats);
        if (!fault.empty()) return fault;
        if (step.delaySeconds < previous)
            return "the ladder's delays count from the raise: each at least the one before";
        previous = step.delaySeconds;
        ++out->stepCount;
    }
    if (out->stepCount == 0 || out->steps[0].repeat)
        return "a ladder needs a step, " + std::string(kLadderExample);
    return "";
}

std::vector<LadderRung> climbLadder(const Coupler& coupler, const Outbox* outbox, Node& node, int64_t now) {
    std::vector<LadderRung> due;
    const Ladder* ladder = ladderOf(coupler, node.dir);
    if (!ladder || node.triggerTime == 0) return due;
    LadderPosition& at = node.ladder;
    if (at.episode != node.triggerTime) at = LadderPosition{node.triggerTime, 0, 0, 0};
    if (outbox) catchUpWithOutbox(*ladder, *outbox, node, &at);
    skipPastRounds(*ladder, now, &at);
    bool passing = false;  // the step before was off duty: this one is due at once
    while (at.next < ladder->stepCount) {
        const LadderStep& step = ladder->steps[at.next];
        int64_t roundStart = at.episode + static_cast<int64_t>(at.round) * repeatDelay(*ladder);
        if (!passing && now < roundStart + step.delaySeconds) break;
        if (step.repeat) {
            // Done after its last round; reached by passing, the next round keeps its own time.
            if (at.round >= ladder->repeats) {
                at.next = ladder->stepCount;
                break;
            }
            ++at.round;
            at.next = 0;
            passing = false;
            continue;
        }
        GroupSet onDuty = groupsOnDuty(coupler, step.groups, now);
        if (onDuty) due.push_back({at.round, at.next, onDuty});
        at.reached |= onDuty;
        passing = onDuty == 0;
        ++at.next;
    }
    return due;
}
