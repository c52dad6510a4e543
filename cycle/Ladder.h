// The on-call ladder: its line's reader and the climb of one alarm episode.
// Dispatch queues what the climb decides; the states file keeps the place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Ladder.h"
#include "base/Records.h"

class Coupler;
class Outbox;

// Reads the steps behind "ladder;GROUP;" into `out`; the groups they name are
// added to the coupler's. Returns why the line cannot work; empty when it can.
std::string readLadderSteps(Coupler& coupler, char* cursor, Ladder* out);

// The ladder of alarms of `group`; null when it has none.
const Ladder* ladderOf(const Coupler& coupler, const DirEntry* group);
// Bit i stands for the coupler's group i.
GroupSet groupBit(const Coupler& coupler, const DirEntry* group);

// One step the climb decided: to be sent to the groups of it on duty.
struct LadderRung {
    int round = 0;
    int step = 0;
    GroupSet groups = 0;
};
// The outbox keeps which step an entry is, as round * kMaxLadderSteps + step.
inline int rungKey(int round, int step) {
    return round * kMaxLadderSteps + step;
}

// Climbs the node's episode up the steps due at `now`: each step of a round
// counts from the raise plus the rounds before it; a step whose groups are
// all off duty passes on to the next at once. A step the outbox holds an
// entry of was decided before (a restart after the outbox write, before the
// states write) and is not decided again. Returns the steps to send, in order.
std::vector<LadderRung> climbLadder(const Coupler& coupler, const Outbox* outbox, Node& node, int64_t now);
