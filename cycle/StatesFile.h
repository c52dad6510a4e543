// The node states file: one line per node with its trigger time, last read
// time, last read result and value, read at the start of every cycle and
// rewritten after the sources have been read.
#pragma once

#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "base/DurableFile.h"

class Coupler;

// A states line of a node that the current configuration does not have. It is
// written back unchanged, so a node commented out for a while, or missing from
// a half-saved configuration, finds its firing again when it comes back.
struct RetainedState {
    std::string line;         // as read, without its line feed
    int64_t triggerTime = 0;  // decides which lines go first beyond the bound
};

// What the run knows of the states file beyond one configuration: a reload
// builds a new Coupler, but while the file cannot be written the states it
// failed to record must survive that too. The run owns one and lends it to
// each configuration it puts in force; a coupler of its own has its own.
struct StatesMemory {
    std::string path;
    // The coupler whose nodes hold what the file says, and the file as it was
    // then: while neither changed, reading the file again would change nothing.
    uint64_t inStepWith = 0;
    FileIdentity identity;
    std::string onDisk;   // the file's text as last read or written
    std::string pending;  // the text that could not be written; the truth while failing
    bool failing = false;
    bool writeOwed = false;  // a cycle's write that waits for its hand-over
    int64_t writtenAtMs = std::numeric_limits<int64_t>::min() / 2;  // steady clock; never yet
};

// How many such lines are kept; beyond it the oldest firings go first.
constexpr int kMaxRetainedStates = 100;

// What each phone path has taken in so far, kept in the states file beside
// the acknowledgements it led to ("#inbox" lines, which older versions pass
// over), so one write records both: a crash before it loses neither the
// acknowledgement nor the message (it is fetched again), a crash after it
// applies nothing twice. Keyed "KIND:RECEIVER"; the values are the path's
// own (the next Telegram update id, the SMS file names already read).
using InboxMarks = std::map<std::string, std::vector<std::string>>;
constexpr const char* kInboxLinePrefix = "#inbox;";

// Applies the state lines of an open file to the coupler's nodes; lines of
// other nodes become the coupler's retained states.
void readStatesFrom(Coupler& coupler, FILE* file);
// Writes one state line per node in table order, then the retained lines;
// false when a write failed.
bool writeStatesTo(const Coupler& coupler, FILE* file);
// The text writeStatesTo writes.
std::string renderStates(const Coupler& coupler);
// The states write of a cycle whose notices are still to be handed over
// waits for the hand-over and is done here, before any of them can leave the
// outbox: only the outbox must be on the disk before a notice leaves.
void writeDeferredStates(Coupler& coupler);
