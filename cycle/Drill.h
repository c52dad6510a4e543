// The daily drill: "drill;RECEIVER|*;TIME[;TEXT]" sends a marked test notice
// through each named receiver's own channel, by way of the outbox, once a
// day at that local time. A drill the receiver does not deliver within its
// retry window is an alarm of its own to the receiver's escalation group (or
// every other receiver). The day of each receiver's drill is kept in a file
// of its own beside the outbox, so a restart neither repeats nor skips it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class Coupler;
struct OutboxEntry;
enum class NotificationOutcome;

// The node address the outbox entries of drills carry; no device address
// starts with "!", so no node's entry is taken for one.
constexpr const char* kDrillAddress = "!DRILL";
// ... and the alarm that tells of a drill that was not delivered.
constexpr const char* kDrillFailedAddress = "!DRILL FAILED";
constexpr const char* kDrillFileName = "zentok_drills.csv";

struct DrillLine {
    std::string receiver;  // a receiver's name, or "*" for every receiver
    int secondOfDay = 0;   // local time
    std::string text;      // empty: the standard text
    int line = 0;          // in the configuration file, for the check
};

// A receiver's last drill: the local day it was sent, and how it ended.
struct DrillRecord {
    std::string day;  // "YYYY-MM-DD"
    enum class Outcome { Sent, Delivered, Failed } outcome = Outcome::Sent;
};

struct DrillBook {
    std::vector<DrillLine> lines;
    std::map<std::string, DrillRecord> byReceiver;  // by the receiver's name, lower case
    bool loaded = false;
    std::string path = kDrillFileName;
};

// Reads the fields behind "drill"; empty when sound, else what is wrong.
std::string parseDrillLine(char* cursor, DrillLine* out);
// Once per cycle: queues the drills that are due at `now` and records them.
void queueDrills(Coupler& coupler, int64_t now);
// A drill entry's hand-over settled: records it and, for a drill given up,
// queues the alarm that tells of it. False for any other entry.
bool noteDrillOutcome(Coupler& coupler, const OutboxEntry& entry, NotificationOutcome outcome);
// The last drill of `receiver` the book knows of; null when none.
const DrillRecord* lastDrillOf(const DrillBook& book, const char* receiver);
// The drill lines that name a receiver the configuration lacks, as warnings.
std::vector<std::string> unknownDrillReceivers(const Coupler& coupler);
