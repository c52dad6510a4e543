// The alarm-management audit of the journal, for the whole site and per
// receiver: the figures ISA-18.2 (IEC 62682) and EEMUA 191 ask of an alarm
// system, and how the notifications went out. "zentok report" prints them
// as text, CSV or JSON and draws them as a page (ReportPage).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cycle/JournalRecord.h"
#include "daemon/JournalReport.h"

// An operator is flooded above this many alarms in 10 minutes (ISA-18.2).
constexpr int kFloodAlarmsPer10Minutes = 10;
// An alarm cleared within this many seconds of its raise is fleeting.
constexpr int64_t kFleetingSeconds = 10;
// An alarm active longer than this is stale.
constexpr int64_t kStaleSeconds = int64_t{24} * 3600;

struct AlarmFigures {
    JournalFigures basic;  // rate, peak, chattering, top nodes, acknowledgement
    // The 10-minute intervals with an alarm: their start and their alarms,
    // oldest first. The others of the period had none.
    std::vector<std::pair<int64_t, int>> busyIntervals;
    int64_t intervals = 0;     // 10-minute intervals of the period
    int floodIntervals = 0;    // 10-minute intervals with more than 10 alarms
    double floodShare = 0.0;   // of all intervals, 0 to 1
    int64_t floodSeconds = 0;  // time in flood, in whole 10-minute intervals
    double topTenShare = 0.0;  // of all alarms, raised by the ten nodes that raise most
    int fleeting = 0;
    int stale = 0;  // active more than 24 h, cleared or still active at the end of the period
    double shelvedHours = 0.0;
    int shelves = 0;
    int shelvesAtLimit = 0;  // ran the whole coupler;maxshelve
    int cleared = 0;
    int64_t medianClearSeconds = -1;  // -1 when none cleared
};

struct ReceiverFigures {
    std::string receiver;
    AlarmFigures alarms;  // of the alarms a notification of which reached the receiver
    int delivered = 0;
    int givenUp = 0;
    double deliveredPerHour = 0.0;
    // From the node event that decided a notification to its delivery; -1 when none.
    int64_t latencyP50Seconds = -1;
    int64_t latencyP99Seconds = -1;
};

struct AlarmAudit {
    AlarmFigures site;
    std::vector<ReceiverFigures> receivers;  // by name
};

// The audit of the events at or after `since` (0: all); a shelve is at its
// limit when it lasted `maxShelveSeconds`.
AlarmAudit auditJournal(const std::vector<JournalRecord>& records, int64_t since, int maxShelveSeconds);
// The value of the nearest-rank percentile `percent` of `sorted`; -1 when empty.
int64_t percentile(const std::vector<int64_t>& sorted, int percent);
