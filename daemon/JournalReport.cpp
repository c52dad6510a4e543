// Reading the journal files and counting the alarm figures.
#include "daemon/JournalReport.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "base/DurableFile.h"
#include "base/ErrorText.h"
#include "base/Text.h"
#include "cycle/AlarmJournal.h"
#include "cycle/Coupler.h"
#include "daemon/AlarmAudit.h"
#include "daemon/Instance.h"
#include "daemon/ReportExport.h"
#include "daemon/ReportPage.h"
#include "trigger/Alarm.h"

namespace {

constexpr int64_t kTenMinutes = 600;
constexpr int64_t kChatterWindowSeconds = 60;
constexpr int kChatterRaises = 3;
constexpr size_t kTopNodes = 10;
// A journal file is read up to this size; its writer rotates far below it.
constexpr size_t kLongestJournalFile = size_t{1024} * 1024 * 1024;
// The page is for people: a web server's user may serve it.
constexpr mode_t kReportPageMode = 0644;

std::string nodeKey(const JournalRecord& record) {
    return record.source + ": " + record.node;
}

using Episode = std::tuple<std::string, std::string, int64_t>;

Episode episodeOf(const JournalRecord& record) {
    return Episode{record.source, record.node, record.episode};
}

// The most raises of one node that fall within a minute of each other.
int mostRaisesInAMinute(std::vector<int64_t> times) {
    std::sort(times.begin(), times.end());
    int most = 0;
    size_t first = 0;
    for (size_t last = 0; last < times.size(); ++last) {
        while (times[last] - times[first] >= kChatterWindowSeconds) ++first;
        most = std::max(most, static_cast<int>(last - first + 1));
    }
    return most;
}

template <typename Count>
void sortMostFirst(std::vector<std::pair<std::string, Count>>* list) {
    std::stable_sort(list->begin(), list->end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
}

void countRate(const std::vector<int64_t>& raiseTimes, JournalFigures* figures) {
    std::map<int64_t, int> perWindow;
    for (int64_t time : raiseTimes) ++perWindow[time / kTenMinutes];
    for (const auto& window : perWindow) {
        if (window.second <= figures->peakPer10Minutes) continue;
        figures->peakPer10Minutes = window.second;
        figures->peakStart = window.first * kTenMinutes;
    }
    int64_t windows = figures->to / kTenMinutes - figures->from / kTenMinutes + 1;
    figures->averagePer10Minutes =
        static_cast<double>(figures->raises) / static_cast<double>(std::max<int64_t>(windows, 1));
}

void countAcknowledgements(const std::vector<JournalRecord>& records, int64_t since,
                           const std::map<Episode, int64_t>& raised, JournalFigures* figures) {
    std::map<Episode, int64_t> firstAck;
    for (const JournalRecord& record : records) {
        if (record.event != JournalEvent::Acknowledged || record.time < since) continue;
        auto found = raised.find(episodeOf(record));
        if (found == raised.end()) continue;
        auto known = firstAck.find(found->first);
        if (known == firstAck.end() || record.time < known->second) firstAck[found->first] = record.time;
    }
    std::vector<int64_t> delays;
    for (const auto& ack : firstAck)
        delays.push_back(std::max<int64_t>(ack.second - raised.at(ack.first), 0));
    figures->acknowledged = static_cast<int>(delays.size());
    if (delays.empty()) return;
    std::sort(delays.begin(), delays.end());
    size_t middle = delays.size() / 2;
    figures->medianAcknowledgeSeconds =
        delays.size() % 2 ? delays[middle] : (delays[middle - 1] + delays[middle]) / 2;
    figures->acknowledgeSeconds = std::move(delays);
}

std::string percentOf(int part, int whole) {
    char text[16];
    std::snprintf(text, sizeof text, "%.0f %%", whole ? 100.0 * part / whole : 0.0);
    return text;
}

}  // namespace

void JournalLines::add(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (isJournalHeader(line) || line.empty()) continue;
        ++lines;
        JournalRecord record;
        if (parseJournalLine(line, &record))
            records.push_back(std::move(record));
        else
            ++skipped;
    }
}

namespace {

// The events that are no process alarm: a sensor suspect (once per node
// and episode, as a raise) and the drills. True when `record` is one.
bool countedApart(const JournalRecord& record, std::set<Episode>* suspects, JournalFigures* figures) {
    if (record.event == JournalEvent::SensorSuspect) {
        if (suspects->insert(episodeOf(record)).second) ++figures->sensorSuspects;
        return true;
    }
    if (record.event == JournalEvent::Drill) ++figures->drills;
    if (record.event == JournalEvent::DrillFailed) ++figures->drillsFailed;
    return record.event == JournalEvent::Drill || record.event == JournalEvent::DrillFailed;
}

}  // namespace

JournalFigures journalFigures(const std::vector<JournalRecord>& records, int64_t since) {
    JournalFigures figures;
    // A raise recorded twice (a crash between the journal and the states
    // file) is one alarm: raises count once per node and episode.
    std::map<Episode, int64_t> raised;
    std::set<Episode> suspects;
    std::map<std::string, std::vector<int64_t>> raisesOf;
    std::vector<int64_t> raiseTimes;
    for (const JournalRecord& record : records) {
        if (record.time < since) continue;
        if (figures.from == 0 || record.time < figures.from) figures.from = record.time;
        figures.to = std::max(figures.to, record.time);
        if (countedApart(record, &suspects, &figures)) continue;
        if (record.event != JournalEvent::Raised) continue;
        Episode episode{record.source, record.node, record.episode ? record.episode : record.time};
        if (!raised.emplace(episode, std::get<2>(episode)).second) continue;
        raisesOf[nodeKey(record)].push_back(record.time);
        raiseTimes.push_back(record.time);
    }
    if (since > 0) figures.from = since;
    figures.raises = static_cast<int>(raiseTimes.size());
    countRate(raiseTimes, &figures);
    for (const auto& node : raisesOf) {
        figures.topNodes.emplace_back(node.first, static_cast<int>(node.second.size()));
        int most = mostRaisesInAMinute(node.second);
        if (most >= kChatterRaises) figures.chattering.emplace_back(node.first, most);
    }
    sortMostFirst(&figures.topNodes);
    if (figures.topNodes.size() > kTopNodes) figures.topNodes.resize(kTopNodes);
    sortMostFirst(&figures.chattering);
    countAcknowledgements(records, since, raised, &figures);
    return figures;
}

std::string formatJournalReport(const JournalFigures& figures, const JournalLines& lines,
                                const std::vector<std::string>& files) {
    std::string out = "journal:";
    for (const std::string& file : files) out += " " + file;
    out += " (" + std::to_string(lines.lines) + " lines, " + std::to_string(lines.skipped) + " skipped)\n";
    if (figures.to == 0) return out + "no events in the period\n";
    out += "period: " + formatDateTimeWithOffset(figures.from) + " to " +
           formatDateTimeWithOffset(figures.to) + "\n";
    out += "alarms raised: " + std::to_string(figures.raises) + "\n";
    out += "sensor suspect (instrument faults, not counted as alarms): " +
           std::to_string(figures.sensorSuspects) + "\n";
    out += "drills: " + std::to_string(figures.drills) + " sent, " + std::to_string(figures.drillsFailed) +
           " failed\n";
    char rate[200];
    std::snprintf(rate, sizeof rate, "alarms per 10 minutes: average %.2f, peak %d",
                  figures.averagePer10Minutes, figures.peakPer10Minutes);
    out += rate;
    if (figures.peakPer10Minutes > 0) out += " (from " + formatDateTimeWithOffset(figures.peakStart) + ")";
    out += figures.averagePer10Minutes > 1.0 ? "; above the EEMUA 191 line of 1 per 10 minutes\n"
                                             : "; within the EEMUA 191 line of 1 per 10 minutes\n";
    out += "chattering nodes (3 or more raises within a minute):";
    if (figures.chattering.empty()) out += " none";
    out += "\n";
    for (const auto& node : figures.chattering)
        out += "  " + node.first + ": " + std::to_string(node.second) + " raises within a minute\n";
    out += "top nodes by raises:\n";
    for (const auto& node : figures.topNodes)
        out += "  " + std::to_string(node.second) + "  " + node.first + "\n";
    out += "acknowledged: " + std::to_string(figures.acknowledged) + " of " + std::to_string(figures.raises) +
           " (" + percentOf(figures.acknowledged, figures.raises) + ")";
    if (figures.medianAcknowledgeSeconds >= 0) {
        char median[40];
        formatAlarmDuration(median, sizeof median, figures.medianAcknowledgeSeconds);
        out += std::string(", median time to acknowledge ") + median;
    }
    return out + "\n";
}

namespace {

int printReport(const ReportRequest& request, const JournalLines& lines,
                const std::vector<std::string>& files, int maxShelveSeconds) {
    if (request.format == ReportFormat::Text) {
        std::fputs(formatJournalReport(journalFigures(lines.records, request.since), lines, files).c_str(),
                   stdout);
        if (request.htmlPath.empty()) return 0;
    }
    AlarmAudit audit = auditJournal(lines.records, request.since, maxShelveSeconds);
    if (request.format == ReportFormat::Csv) std::fputs(reportCsv(audit).c_str(), stdout);
    if (request.format == ReportFormat::Json) std::fputs(reportJson(audit).c_str(), stdout);
    if (request.htmlPath.empty()) return 0;
    std::string error;
    if (!replaceFileByRename(request.htmlPath, renderReportPage(audit, lines, files), kReportPageMode,
                             &error)) {
        std::fprintf(stderr, "zentok report: cannot write the page '%s': %s\n", request.htmlPath.c_str(),
                     error.c_str());
        return 1;
    }
    if (request.format == ReportFormat::Text) std::printf("page written to %s\n", request.htmlPath.c_str());
    return 0;
}

}  // namespace

int64_t parseSinceDate(const std::string& text) {
    std::string full = text;
    if (full.size() == 10)
        full += " 00:00:00";
    else if (full.size() == 16)
        full += ":00";
    if (full.size() < 19) return 0;
    return parseDateTimeWithOffset(full.c_str());
}

int reportJournal(const std::string& configPath, const ReportRequest& request) {
    std::string name = kJournalDefaultName;
    int maxShelveSeconds = 0;
    {
        // Without a configuration the journal has its default name.
        Coupler coupler;
        coupler.reportCantOpen = false;
        coupler.skipSecrets = true;
        coupler.loadConfig(configPath.c_str());
        if (!coupler.journalName.empty()) name = coupler.journalName;
        maxShelveSeconds = coupler.maxShelveSeconds;
    }
    // A packaged instance keeps its journal in its own working directory,
    // where the operator's other commands find its states.
    std::string directory = instanceDirectory(configPath);
    if (name[0] != '/' && directory != ".") name = directory + "/" + name;
    std::vector<std::string> files = journalFiles(name);
    if (files.empty()) {
        std::printf("no journal '%s'; it is kept with the line coupler;journal in the configuration\n",
                    name.c_str());
        return 1;
    }
    JournalLines lines;
    for (const std::string& file : files) {
        std::string text;
        // A file left out would make the figures look calmer than they were.
        if (!readWholeFile(file, kLongestJournalFile, &text)) {
            std::fprintf(stderr, "zentok report: cannot read the journal '%s': %s\n", file.c_str(),
                         errorText(errno));
            return 1;
        }
        lines.add(text);
    }
    return printReport(request, lines, files, maxShelveSeconds);
}
