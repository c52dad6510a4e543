// One line of the alarm journal: what happened to which node when, the
// value, and for a notice the receiver. The journal is read back by
// "zentok report" and by an operator's tools, so its form is fixed here, in
// one place, for both directions.
#pragma once

#include <cstdint>
#include <string>

// Every event the journal knows. Acknowledged, shelved and unshelved come
// from the operator's commands; the cycle records the others. A sensor
// suspect is the raise of a range condition (an instrument fault, not a
// process alarm); a drill and a failed drill are the daily test notices. Refused is a
// reply from the phone that was turned down: who, how and why in the receiver field.
enum class JournalEvent {
    Raised,
    Cleared,
    Reminder,
    Acknowledged,
    Shelved,
    Unshelved,
    Delivered,
    GivenUp,
    SensorSuspect,
    Drill,
    DrillFailed,
    Refused
};

// "raised", "cleared", "reminder", "acknowledged", "shelved", "unshelved",
// "delivered", "given up", "sensor suspect", "drill", "drill failed",
// "refused": the word the journal writes.
const char* journalEventName(JournalEvent event);
// The event a word of the journal names; false for any other word.
bool journalEventNamed(const std::string& word, JournalEvent* event);

constexpr const char* kJournalDefaultName = "zentok_journal.csv";
constexpr int64_t kJournalDefaultMaxBytes = int64_t{10} * 1024 * 1024;
constexpr int kJournalDefaultKeep = 5;
// The first line of every journal file: the column names for a spreadsheet,
// and behind them the form's name and number, so a later version can tell
// which form it reads. Files of older versions have the names alone.
constexpr const char* kJournalHeader = "time;event;source;node;value;receiver;episode;zentok journal 2";
// The header of this version or of an older one.
bool isJournalHeader(const std::string& line);

struct JournalRecord {
    int64_t time = 0;  // seconds since 1970
    JournalEvent event = JournalEvent::Raised;
    std::string source;
    std::string node;
    std::string value;     // as the node's messages print it
    std::string receiver;  // empty for events of the node itself
    int64_t episode = 0;   // trigger time of the alarm the event belongs to; 0 when unknown
    std::string tag;       // the node's tag; a line of a node without one has no field for it
};

// One line with its line feed: times local with their offset from UTC,
// texts in double quotes with quotes doubled and line breaks kept out.
std::string formatJournalLine(const JournalRecord& record);
// Reads a line as formatJournalLine writes it (without its line feed);
// false for the header and for any line not in that form.
bool parseJournalLine(const std::string& line, JournalRecord* record);
