// The on-call ladder and the duty windows as a load reads them, and a node's
// place on its ladder: plain records. The ladder's reader and its climb are
// in cycle/Ladder.*, the window's reader in trigger/DutyWindow.*.
#pragma once

#include <bitset>
#include <cstdint>

struct DirEntry;

constexpr int kMaxLadderSteps = 16;
constexpr int kMaxLadderRepeats = 100;
constexpr int kMinutesPerWeek = 7 * 24 * 60;

// A set of the coupler's groups, bit i for group i.
using GroupSet = uint64_t;

// One rung: DELAY after the raise (within a round), the groups it pages, or
// "repeat", which starts the next round.
struct LadderStep {
    int delaySeconds = 0;
    GroupSet groups = 0;  // bit i: the coupler's group i
    bool repeat = false;
};

// "ladder;GROUP;STEP;STEP;...": an alarm of GROUP nobody acknowledges climbs
// the steps; a last step "DELAY:repeat:N" starts them again, N times at most.
struct Ladder {
    DirEntry* from = nullptr;
    LadderStep steps[kMaxLadderSteps];
    int stepCount = 0;
    int repeats = 0;  // rounds after the first; 0 without a repeat step
};

// Where a node's alarm episode stands on its ladder. Run state: the states
// file keeps it with the episode it belongs to.
struct LadderPosition {
    int64_t episode = 0;  // the trigger time of the episode; another episode starts at the foot
    int round = 0;
    int next = 0;          // the step due next; stepCount when the ladder is done
    GroupSet reached = 0;  // the groups the steps sent so far paged: the clear goes to them too
};

// The minutes of the week (Monday 00:00 first, local time) a group is on
// duty; `limited` once a "when" line names the group.
struct DutyWeek {
    bool limited = false;
    std::bitset<kMinutesPerWeek> minutes;
};
