// "zentok report": the alarm figures ISA-18.2 and EEMUA 191 ask for, from
// the alarm journal and its rotated files: the alarm rate per 10 minutes
// against the EEMUA line, the chattering nodes, the nodes that raise most,
// and how many alarms were acknowledged and how fast.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cycle/JournalRecord.h"

// The lines of journal files, read; a line that is not a journal line is
// skipped and counted, never trusted.
struct JournalLines {
    std::vector<JournalRecord> records;
    int lines = 0;
    int skipped = 0;

    // Adds the lines of one file's text (the header is no line).
    void add(const std::string& text);
};

struct JournalFigures {
    int64_t from = 0;  // the period the figures cover: the start asked for, or the first event
    int64_t to = 0;    // the last event
    int raises = 0;
    int sensorSuspects = 0;  // raises of range conditions: instrument faults, not in `raises`
    int drills = 0;          // daily test notices sent, never counted as alarms
    int drillsFailed = 0;
    double averagePer10Minutes = 0.0;
    int peakPer10Minutes = 0;
    int64_t peakStart = 0;  // the 10 minutes of the peak begin here
    // "source: node" with the most raises it had within one minute, for each
    // node with 3 or more; the most first.
    std::vector<std::pair<std::string, int>> chattering;
    // "source: node" with its raises, the most first, at most ten.
    std::vector<std::pair<std::string, int>> topNodes;
    int acknowledged = 0;                     // raises with an acknowledgement
    int64_t medianAcknowledgeSeconds = -1;    // -1 when none was acknowledged
    std::vector<int64_t> acknowledgeSeconds;  // each acknowledged raise's time to acknowledge, sorted
};

// The figures of the events at or after `since` (0: all).
JournalFigures journalFigures(const std::vector<JournalRecord>& records, int64_t since);
// The report as "zentok report" prints it.
std::string formatJournalReport(const JournalFigures& figures, const JournalLines& lines,
                                const std::vector<std::string>& files);
// "YYYY-MM-DD", "YYYY-MM-DD hh:mm" or "YYYY-MM-DD hh:mm:ss", local time or
// with an offset from UTC; 0 when the text is none of these.
int64_t parseSinceDate(const std::string& text);
// What "zentok report" is asked for: the events from `since` (0: all),
// printed as text, CSV or JSON, and drawn as a page into `htmlPath` when
// one is given.
enum class ReportFormat { Text, Csv, Json };
struct ReportRequest {
    int64_t since = 0;
    ReportFormat format = ReportFormat::Text;
    std::string htmlPath;
};
// The command: the journal the configuration at `configPath` names (or the
// default name). Exit status 0, or 1 when there is no journal or the page
// cannot be written.
int reportJournal(const std::string& configPath, const ReportRequest& request);
