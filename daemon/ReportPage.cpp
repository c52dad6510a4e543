// Laying out the report page.
#include "daemon/ReportPage.h"

#include <algorithm>
#include <map>

#include "base/HtmlPage.h"
#include "base/Text.h"
#include "daemon/ReportCharts.h"
#include "daemon/ReportExport.h"

namespace {

constexpr int64_t kTenMinutes = 600;
constexpr size_t kMostFloodDays = 62;

struct AcknowledgeBucket {
    int64_t below;  // seconds
    const char* label;
};

const AcknowledgeBucket kAcknowledgeBuckets[] = {
    {60, "< 1 min"}, {300, "1-5 min"}, {900, "5-15 min"}, {3600, "15-60 min"}, {int64_t{4} * 3600, "1-4 h"},
    {-1, "> 4 h"},
};

std::string minuteText(int64_t seconds) {
    return formatDateTime(seconds).substr(0, 16);
}

std::vector<ChartBar> rateBars(const AlarmFigures& figures) {
    if (figures.basic.to == 0) return {};
    int64_t first = figures.basic.from / kTenMinutes;
    int64_t intervals = figures.basic.to / kTenMinutes - first + 1;
    int64_t perBar =
        (intervals + static_cast<int64_t>(kMostRateBars) - 1) / static_cast<int64_t>(kMostRateBars);
    size_t count = static_cast<size_t>((intervals + perBar - 1) / perBar);
    std::vector<ChartBar> bars(count);
    for (size_t i = 0; i < count; ++i)
        bars[i].label = minuteText((first + static_cast<int64_t>(i) * perBar) * kTenMinutes);
    for (const auto& interval : figures.busyIntervals) {
        int64_t index = (interval.first / kTenMinutes - first) / perBar;
        if (index < 0 || index >= static_cast<int64_t>(count)) continue;
        ChartBar& bar = bars[static_cast<size_t>(index)];
        bar.value = std::max(bar.value, static_cast<double>(interval.second));
    }
    return bars;
}

std::vector<ChartBar> topNodeBars(const AlarmFigures& figures) {
    std::vector<ChartBar> bars;
    for (const auto& node : figures.basic.topNodes)
        bars.push_back({node.first, static_cast<double>(node.second)});
    return bars;
}

// Minutes in flood on each day that had some, the latest days when there are many.
std::vector<ChartBar> floodBars(const AlarmFigures& figures) {
    std::map<std::string, double> minutes;
    for (const auto& interval : figures.busyIntervals)
        if (interval.second > kFloodAlarmsPer10Minutes)
            minutes[formatDateTime(interval.first).substr(0, 10)] += 10;
    std::vector<ChartBar> bars;
    for (const auto& day : minutes) bars.push_back({day.first, day.second});
    if (bars.size() > kMostFloodDays) bars.erase(bars.begin(), bars.end() - kMostFloodDays);
    return bars;
}

std::vector<ChartBar> acknowledgeBars(const AlarmFigures& figures) {
    std::vector<ChartBar> bars;
    for (const AcknowledgeBucket& bucket : kAcknowledgeBuckets) bars.push_back({bucket.label, 0.0});
    for (int64_t seconds : figures.basic.acknowledgeSeconds) {
        size_t i = 0;
        while (kAcknowledgeBuckets[i].below >= 0 && seconds >= kAcknowledgeBuckets[i].below) ++i;
        bars[i].value += 1;
    }
    return bars;
}

std::string rowsTable(const std::string& id, const std::vector<FigureRow>& rows) {
    std::string out = "<div class=\"box\"><table class=\"figures\" id=\"" + escapeHtml(id) + "\">";
    for (const FigureRow& row : rows)
        out += "<tr><th>" + escapeHtml(row.label) + "</th><td>" + escapeHtml(row.text) + "</td></tr>";
    return out + "</table></div>\n";
}

std::string chattering(const AlarmFigures& figures) {
    if (figures.basic.chattering.empty()) return "<p>No chattering node.</p>\n";
    std::string out =
        "<div class=\"box\"><table id=\"chattering\"><tr><th>Node</th><th>Raises within a minute</th></tr>";
    for (const auto& node : figures.basic.chattering)
        out += "<tr><td>" + escapeHtml(node.first) + "</td><td>" + std::to_string(node.second) + "</td></tr>";
    return out + "</table></div>\n";
}

// One column per receiver, one row per figure.
std::string receiversTable(const AlarmAudit& audit) {
    if (audit.receivers.empty()) return "<p>No notification was delivered or given up in the period.</p>\n";
    std::string out = "<div class=\"box\"><table class=\"figures\" id=\"receivers\"><tr><th>Figure</th>";
    std::vector<std::vector<FigureRow>> columns;
    for (const ReceiverFigures& receiver : audit.receivers) {
        out += "<th class=\"receiver\">" + escapeHtml(receiver.receiver) + "</th>";
        columns.push_back(deliveryFigureRows(receiver));
        std::vector<FigureRow> alarms = alarmFigureRows(receiver.alarms);
        columns.back().insert(columns.back().end(), alarms.begin(), alarms.end());
    }
    out += "</tr>";
    for (size_t row = 0; row < columns.front().size(); ++row) {
        out += "<tr><th>" + escapeHtml(columns.front()[row].label) + "</th>";
        for (const auto& column : columns) out += "<td>" + escapeHtml(column[row].text) + "</td>";
        out += "</tr>";
    }
    return out + "</table></div>\n";
}

std::string chartOrNone(const std::vector<ChartBar>& bars, const std::string& none,
                        const std::string& chart) {
    return bars.empty() ? "<p>" + escapeHtml(none) + "</p>\n" : chart;
}

}  // namespace

std::string renderReportPage(const AlarmAudit& audit, const JournalLines& lines,
                             const std::vector<std::string>& files) {
    const AlarmFigures& site = audit.site;
    std::string out = htmlPageStart("Zentok alarm report", 0);
    std::string journal = "Journal:";
    for (const std::string& file : files) journal += " " + file;
    journal += " (" + std::to_string(lines.lines) + " lines, " + std::to_string(lines.skipped) + " skipped)";
    out += "<p class=\"note\">" + escapeHtml(journal) + "</p>\n";
    if (site.basic.to == 0) return out + "<p>No events in the period.</p>\n" + htmlPageEnd();
    out += "<p>Period: " + escapeHtml(formatDateTimeWithOffset(site.basic.from)) + " to " +
           escapeHtml(formatDateTimeWithOffset(site.basic.to)) + "</p>\n";
    out += "<h2>Site</h2>\n" + rowsTable("site", alarmFigureRows(site));
    std::vector<ChartBar> rate = rateBars(site);
    int64_t perBar = rate.empty() ? 1
                                  : (site.intervals + static_cast<int64_t>(rate.size()) - 1) /
                                        static_cast<int64_t>(rate.size());
    out += "<h2>Alarms per 10 minutes</h2>\n";
    if (perBar > 1)
        out += "<p class=\"note\">Each bar is the busiest of " + std::to_string(perBar) + " intervals.</p>\n";
    out += columnChart("rate", "alarms per 10 minutes", rate,
                       {{1, "EEMUA 191: 1 per 10 minutes"}, {kFloodAlarmsPer10Minutes, "flood: 10"}});
    std::vector<ChartBar> top = topNodeBars(site);
    out += "<h2>Most frequent nodes</h2>\n" + chartOrNone(top, "No alarm.", barList("top", top));
    out += "<h2>Chattering nodes</h2>\n" + chattering(site);
    std::vector<ChartBar> flood = floodBars(site);
    out += "<h2>Time in flood, minutes per day</h2>\n" +
           chartOrNone(flood, "No 10-minute interval had more than 10 alarms.",
                       columnChart("flood", "minutes in flood", flood, {}));
    out +=
        "<h2>Time to acknowledge</h2>\n" +
        chartOrNone(site.basic.acknowledgeSeconds.empty() ? std::vector<ChartBar>{} : acknowledgeBars(site),
                    "No alarm was acknowledged.", barList("acknowledge", acknowledgeBars(site)));
    out += "<h2>Receivers</h2>\n" + receiversTable(audit);
    return out + htmlPageEnd();
}
