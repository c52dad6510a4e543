// The alarm records of a node: the settings of its "alarm" line and the
// state of its current episode. Plain data, so the trigger code, the states
// file, the outbox and the channels can share them without the coupler.
#pragma once

#include <cstdint>
#include <string>

// What a notification tells of its alarm. Every notification of a node
// without an "alarm" line is a raise, as every notification always was.
// A summary stands for the notifications a receiver's flood guard held back.
// The operator's notices: an acknowledgement, a shelve that ended while the
// alarm is still active, and an alarm sent on to a second group because
// nobody acknowledged it in time.
enum class AlarmNotice {
    Raise = 0,
    Clear = 1,
    Reminder = 2,
    Summary = 3,
    Acknowledged = 4,
    Unshelved = 5,
    Escalated = 6
};

constexpr int kAlarmTemplateSize = 4000;  // the back-to-normal template: 3999 characters

struct AlarmSettings {
    bool enabled = false;  // the node has an "alarm" line
    bool hasClearLevel = false;
    double clearLevel = 0.0;  // O re-arms below it, U above it
    int onDelaySeconds = 0;   // the condition holds this long before the alarm is raised
    int offDelaySeconds = 0;  // the condition is gone this long before the alarm clears
    int remindSeconds = 0;    // 0: no reminders
    int remindMax = 0;        // 0: no limit while the alarm stays active
    std::string normal;       // back-to-normal template (kAlarmTemplateSize-1 characters); empty: no notice
};

// Times are wall-clock seconds, 0 for none; the states file keeps all but
// the two hand-over marks, which the dispatch of the same cycle consumes.
struct AlarmState {
    int64_t onSince = 0;         // the condition holds since, while the on-delay runs
    int64_t offSince = 0;        // the condition is gone since, while the off-delay runs
    int reminders = 0;           // reminders of this episode so far
    int64_t remindedAt = 0;      // the last reminder; 0: the raise counts
    int64_t clearedEpisode = 0;  // trigger time of an episode that just cleared; its notice is due
    bool reminderDue = false;
    AlarmNotice notice = AlarmNotice::Raise;  // what the notification being handed over tells
};

// "raised", "cleared", "reminder" or "summary", as templates and channels name them.
inline const char* alarmNoticeName(AlarmNotice notice) {
    if (notice == AlarmNotice::Clear) return "cleared";
    if (notice == AlarmNotice::Reminder) return "reminder";
    if (notice == AlarmNotice::Summary) return "summary";
    if (notice == AlarmNotice::Acknowledged) return "acknowledged";
    if (notice == AlarmNotice::Unshelved) return "unshelved";
    if (notice == AlarmNotice::Escalated) return "escalated";
    return "raised";
}

constexpr int kOperatorNameSize = 64;   // who acknowledged: 63 characters
constexpr int kOperatorNoteSize = 256;  // an acknowledgement's or shelve's note: 255 characters
constexpr int kAckViaSize = 16;         // how an acknowledgement came: "telegram", "ntfy", "sms"

// An operator's acknowledgement of one episode, named by its trigger time:
// a new episode is not acknowledged, without anything to reset.
struct Acknowledgement {
    int64_t episode = 0;  // the trigger time it acknowledges; 0: none
    int64_t at = 0;
    // Strings bounded by the sizes above where they are taken: most nodes
    // of a large plant are never acknowledged and hold no text.
    std::string by;     // the name the operator gave
    std::string owner;  // the request file's owner as the system names it; empty: unknown
    std::string note;
    std::string via;  // the path it came by; empty: the shell (zentok ack)
};

// A shelved node notifies nothing until `until`; it outlasts episodes.
struct Shelve {
    int64_t until = 0;  // 0: not shelved
    std::string note;   // at most kOperatorNoteSize-1 characters
};

// The state a channel tells of a notification, or null for a node without an
// "alarm" line, whose notifications are sent as they always were.
template <typename NodeRecord>
const char* alarmStateOf(const NodeRecord& node) {
    if (!node.alarm.enabled && node.alarmState.notice == AlarmNotice::Raise) return nullptr;
    return alarmNoticeName(node.alarmState.notice);
}
