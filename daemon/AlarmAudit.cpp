// Counting the audit figures from the journal's records.
#include "daemon/AlarmAudit.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

namespace {

constexpr int64_t kTenMinutes = 600;
constexpr double kSecondsPerHour = 3600.0;

using NodeKey = std::pair<std::string, std::string>;
using Episode = std::tuple<std::string, std::string, int64_t>;

// The alarm an event belongs to; a raise without its episode is its own.
Episode episodeOf(const JournalRecord& record) {
    bool ownEpisode = record.event == JournalEvent::Raised && record.episode == 0;
    return Episode{record.source, record.node, ownEpisode ? record.time : record.episode};
}

bool decidesANotification(JournalEvent event) {
    return event != JournalEvent::Delivered && event != JournalEvent::GivenUp;
}

struct Period {
    int64_t from = 0;
    int64_t to = 0;
    int64_t intervals() const { return std::max<int64_t>(to / kTenMinutes - from / kTenMinutes + 1, 1); }
    double hours() const { return std::max(static_cast<double>(to - from) / kSecondsPerHour, 1.0); }
};

void countIntervals(const std::vector<JournalRecord>& records, int64_t since, const Period& period,
                    AlarmFigures* figures) {
    std::set<Episode> seen;
    std::map<int64_t, int> perInterval;
    for (const JournalRecord& record : records) {
        if (record.time < since || record.event != JournalEvent::Raised) continue;
        if (seen.insert(episodeOf(record)).second) ++perInterval[record.time / kTenMinutes];
    }
    for (const auto& interval : perInterval) {
        figures->busyIntervals.emplace_back(interval.first * kTenMinutes, interval.second);
        if (interval.second > kFloodAlarmsPer10Minutes) ++figures->floodIntervals;
    }
    figures->intervals = period.intervals();
    figures->floodShare =
        static_cast<double>(figures->floodIntervals) / static_cast<double>(figures->intervals);
    figures->floodSeconds = figures->floodIntervals * kTenMinutes;
    // The same period for the site and each receiver, so their rates compare.
    figures->basic.averagePer10Minutes =
        static_cast<double>(figures->basic.raises) / static_cast<double>(figures->intervals);
    int topTen = 0;
    for (const auto& node : figures->basic.topNodes) topTen += node.second;
    figures->topTenShare = figures->basic.raises ? static_cast<double>(topTen) / figures->basic.raises : 0.0;
}

// Fleeting and stale alarms and the time to clear: from each raise to the
// first clear of its episode, or to the end of the period.
void countDurations(const std::vector<JournalRecord>& records, int64_t since, const Period& period,
                    AlarmFigures* figures) {
    std::map<Episode, int64_t> raised;
    std::map<Episode, int64_t> cleared;
    for (const JournalRecord& record : records) {
        if (record.time < since) continue;
        if (record.event == JournalEvent::Raised) raised.emplace(episodeOf(record), record.time);
        if (record.event != JournalEvent::Cleared) continue;
        auto known = cleared.find(episodeOf(record));
        if (known == cleared.end() || record.time < known->second) cleared[episodeOf(record)] = record.time;
    }
    std::vector<int64_t> toClear;
    for (const auto& alarm : raised) {
        auto clear = cleared.find(alarm.first);
        if (clear == cleared.end()) {
            if (period.to - alarm.second > kStaleSeconds) ++figures->stale;
            continue;
        }
        int64_t active = std::max<int64_t>(clear->second - alarm.second, 0);
        toClear.push_back(active);
        if (active < kFleetingSeconds) ++figures->fleeting;
        if (active > kStaleSeconds) ++figures->stale;
    }
    figures->cleared = static_cast<int>(toClear.size());
    std::sort(toClear.begin(), toClear.end());
    figures->medianClearSeconds = percentile(toClear, 50);
}

// Each shelve from its "shelved" to the node's next "unshelved" (or shelve),
// or to the end of the period while it lasts.
void countShelves(const std::vector<JournalRecord>& records, int64_t since, const Period& period,
                  int maxShelveSeconds, AlarmFigures* figures) {
    std::vector<const JournalRecord*> events;
    for (const JournalRecord& record : records)
        if (record.time >= since &&
            (record.event == JournalEvent::Shelved || record.event == JournalEvent::Unshelved))
            events.push_back(&record);
    std::stable_sort(events.begin(), events.end(), [](auto* a, auto* b) { return a->time < b->time; });
    std::map<NodeKey, int64_t> open;
    int64_t shelvedSeconds = 0;
    auto close = [&](int64_t start, int64_t end) {
        int64_t length = std::max<int64_t>(end - start, 0);
        shelvedSeconds += length;
        ++figures->shelves;
        // A shelve ends at the next cycle after its time: a second short still ran to the limit.
        if (maxShelveSeconds > 0 && length >= maxShelveSeconds - 1) ++figures->shelvesAtLimit;
    };
    for (const JournalRecord* event : events) {
        NodeKey node{event->source, event->node};
        auto shelve = open.find(node);
        if (shelve != open.end()) {
            close(shelve->second, event->time);
            open.erase(shelve);
        }
        if (event->event == JournalEvent::Shelved) open[node] = event->time;
    }
    for (const auto& shelve : open) close(shelve.second, std::max(period.to, shelve.second));
    figures->shelvedHours = static_cast<double>(shelvedSeconds) / kSecondsPerHour;
}

AlarmFigures alarmFigures(const std::vector<JournalRecord>& records, int64_t since, const Period& period,
                          int maxShelveSeconds) {
    AlarmFigures figures;
    figures.basic = journalFigures(records, since);
    countIntervals(records, since, period, &figures);
    countDurations(records, since, period, &figures);
    countShelves(records, since, period, maxShelveSeconds, &figures);
    return figures;
}

// The events of the alarms a notification of which was delivered to `receiver`.
std::vector<JournalRecord> alarmsOf(const std::vector<JournalRecord>& records, const std::string& receiver) {
    std::set<Episode> reached;
    std::set<NodeKey> nodes;
    for (const JournalRecord& record : records) {
        if (record.event != JournalEvent::Delivered || record.receiver != receiver) continue;
        reached.insert(episodeOf(record));
        nodes.insert({record.source, record.node});
    }
    std::vector<JournalRecord> out;
    for (const JournalRecord& record : records) {
        if (!decidesANotification(record.event)) continue;
        bool shelve = record.event == JournalEvent::Shelved || record.event == JournalEvent::Unshelved;
        if (shelve ? nodes.count({record.source, record.node}) > 0 : reached.count(episodeOf(record)) > 0)
            out.push_back(record);
    }
    return out;
}

// From the node's last event at or before each delivery (the one that
// decided the notification) to the delivery, per receiver.
std::map<std::string, std::vector<int64_t>> deliveryLatencies(const std::vector<JournalRecord>& records,
                                                              int64_t since) {
    std::map<NodeKey, std::vector<int64_t>> decided;
    for (const JournalRecord& record : records)
        if (decidesANotification(record.event)) decided[{record.source, record.node}].push_back(record.time);
    for (auto& node : decided) std::sort(node.second.begin(), node.second.end());
    std::map<std::string, std::vector<int64_t>> latencies;
    for (const JournalRecord& record : records) {
        if (record.event != JournalEvent::Delivered || record.time < since) continue;
        auto node = decided.find({record.source, record.node});
        if (node == decided.end()) continue;
        auto after = std::upper_bound(node->second.begin(), node->second.end(), record.time);
        if (after == node->second.begin()) continue;
        latencies[record.receiver].push_back(record.time - *(after - 1));
    }
    for (auto& receiver : latencies) std::sort(receiver.second.begin(), receiver.second.end());
    return latencies;
}

}  // namespace

int64_t percentile(const std::vector<int64_t>& sorted, int percent) {
    if (sorted.empty()) return -1;
    size_t rank = (sorted.size() * static_cast<size_t>(percent) + 99) / 100;
    return sorted[std::max<size_t>(rank, 1) - 1];
}

AlarmAudit auditJournal(const std::vector<JournalRecord>& records, int64_t since, int maxShelveSeconds) {
    AlarmAudit audit;
    JournalFigures whole = journalFigures(records, since);
    Period period{whole.from, whole.to};
    audit.site = alarmFigures(records, since, period, maxShelveSeconds);
    std::map<std::string, ReceiverFigures> receivers;
    for (const JournalRecord& record : records) {
        if (record.time < since || record.receiver.empty()) continue;
        if (record.event != JournalEvent::Delivered && record.event != JournalEvent::GivenUp) continue;
        ReceiverFigures& figures = receivers[record.receiver];
        ++(record.event == JournalEvent::Delivered ? figures.delivered : figures.givenUp);
    }
    std::map<std::string, std::vector<int64_t>> latencies = deliveryLatencies(records, since);
    for (auto& [name, figures] : receivers) {
        figures.receiver = name;
        figures.alarms = alarmFigures(alarmsOf(records, name), since, period, maxShelveSeconds);
        figures.deliveredPerHour = figures.delivered / period.hours();
        figures.latencyP50Seconds = percentile(latencies[name], 50);
        figures.latencyP99Seconds = percentile(latencies[name], 99);
        audit.receivers.push_back(std::move(figures));
    }
    return audit;
}
