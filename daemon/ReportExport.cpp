// The figure rows and the CSV and JSON forms of the report.
#include "daemon/ReportExport.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "base/RecordText.h"
#include "base/Text.h"
#include "trigger/Alarm.h"

namespace {

using json = nlohmann::ordered_json;

std::string decimal(double value, int places) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", places, value);
    return text;
}

std::string percent(double share) {
    return decimal(100.0 * share, 1) + " %";
}

std::string duration(int64_t seconds) {
    if (seconds < 0) return "-";
    char text[40];
    formatAlarmDuration(text, sizeof text, seconds);
    return text;
}

FigureRow count(const char* key, const char* label, int64_t value) {
    return {key, label, static_cast<double>(value), std::to_string(value)};
}

FigureRow seconds(const char* key, const char* label, int64_t value) {
    return {key, label, static_cast<double>(value), duration(value)};
}

std::string timeText(int64_t seconds) {
    return seconds ? formatDateTimeWithOffset(seconds) : "";
}

// A count as a whole number, any other figure with its fraction.
bool whole(double value) {
    return value == std::floor(value) && std::fabs(value) < 1e15;
}

json rowsJson(const std::vector<FigureRow>& rows) {
    json out = json::object();
    for (const FigureRow& row : rows) {
        if (row.value < 0)
            out[row.key] = nullptr;
        else if (whole(row.value))
            out[row.key] = static_cast<int64_t>(row.value);
        else
            out[row.key] = row.value;
    }
    return out;
}

std::string csvNumber(double value) {
    if (value < 0) return "";
    if (whole(value)) return std::to_string(static_cast<int64_t>(value));
    char text[40];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

void csvRows(const std::string& scope, const std::vector<FigureRow>& rows, std::string* out) {
    for (const FigureRow& row : rows) {
        RecordWriter fields(out);
        fields.quoted(scope).plain(row.key).plain(csvNumber(row.value));
        fields.end();
    }
}

}  // namespace

std::vector<FigureRow> alarmFigureRows(const AlarmFigures& figures) {
    const JournalFigures& basic = figures.basic;
    std::vector<int64_t> ack = basic.acknowledgeSeconds;
    return {
        count("alarms", "Alarms raised", basic.raises),
        {"average_per_10_minutes", "Average alarms per 10 minutes (EEMUA 191: 1)", basic.averagePer10Minutes,
         decimal(basic.averagePer10Minutes, 2)},
        count("peak_per_10_minutes", "Peak alarms in 10 minutes", basic.peakPer10Minutes),
        {"flood_interval_share", "10-minute intervals with more than 10 alarms", figures.floodShare,
         percent(figures.floodShare) + " (" + std::to_string(figures.floodIntervals) + ")"},
        seconds("flood_seconds", "Time in flood", figures.floodSeconds),
        {"top_ten_share", "Alarms from the 10 most frequent nodes", figures.topTenShare,
         percent(figures.topTenShare)},
        count("chattering_nodes", "Chattering nodes (3 raises within a minute)",
              static_cast<int64_t>(basic.chattering.size())),
        count("fleeting", "Fleeting alarms (cleared within 10 s)", figures.fleeting),
        count("stale", "Stale alarms (active more than 24 h)", figures.stale),
        {"shelved_hours", "Hours shelved", figures.shelvedHours, decimal(figures.shelvedHours, 1)},
        count("shelves", "Shelves", figures.shelves),
        count("shelves_at_limit", "Shelves that ran to the maxshelve limit", figures.shelvesAtLimit),
        count("acknowledged", "Alarms acknowledged", basic.acknowledged),
        seconds("acknowledge_p50_seconds", "Time to acknowledge, median", percentile(ack, 50)),
        seconds("acknowledge_p90_seconds", "Time to acknowledge, 90 %", percentile(ack, 90)),
        count("cleared", "Alarms cleared", figures.cleared),
        seconds("clear_p50_seconds", "Time to clear, median", figures.medianClearSeconds),
    };
}

std::vector<FigureRow> deliveryFigureRows(const ReceiverFigures& figures) {
    return {
        count("delivered", "Notifications delivered", figures.delivered),
        {"delivered_per_hour", "Notifications per hour", figures.deliveredPerHour,
         decimal(figures.deliveredPerHour, 2)},
        count("given_up", "Notifications given up", figures.givenUp),
        seconds("latency_p50_seconds", "Decision to delivery, median", figures.latencyP50Seconds),
        seconds("latency_p99_seconds", "Decision to delivery, 99 %", figures.latencyP99Seconds),
    };
}

std::string reportCsv(const AlarmAudit& audit) {
    std::string out;
    RecordWriter header(&out);
    header.plain("scope").plain("figure").plain("value");
    header.end();
    csvRows("site", alarmFigureRows(audit.site), &out);
    for (const ReceiverFigures& receiver : audit.receivers) {
        csvRows(receiver.receiver, alarmFigureRows(receiver.alarms), &out);
        csvRows(receiver.receiver, deliveryFigureRows(receiver), &out);
    }
    return out;
}

std::string reportJson(const AlarmAudit& audit) {
    json out = {{"from", timeText(audit.site.basic.from)}, {"to", timeText(audit.site.basic.to)}};
    out["site"] = rowsJson(alarmFigureRows(audit.site));
    json top = json::array();
    for (const auto& node : audit.site.basic.topNodes)
        top.push_back({{"node", node.first}, {"alarms", node.second}});
    out["site"]["top_nodes"] = top;
    out["receivers"] = json::array();
    for (const ReceiverFigures& receiver : audit.receivers) {
        json figures = {{"receiver", receiver.receiver}};
        figures.update(rowsJson(alarmFigureRows(receiver.alarms)));
        figures.update(rowsJson(deliveryFigureRows(receiver)));
        out["receivers"].push_back(figures);
    }
    json rate = json::array();
    for (const auto& interval : audit.site.busyIntervals)
        rate.push_back({{"from", timeText(interval.first)}, {"alarms", interval.second}});
    out["alarms_per_10_minutes"] = rate;
    // Journal fields are bytes: one that is not UTF-8 is replaced, never refused.
    return out.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}
