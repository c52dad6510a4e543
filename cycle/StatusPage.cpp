// Rendering the status page and writing its file.
#include "cycle/StatusPage.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <vector>

#include "base/DurableFile.h"
#include "base/HtmlPage.h"
#include "base/Log.h"
#include "base/Text.h"
#include "base/ValueText.h"
#include "cycle/Coupler.h"
#include "cycle/Metrics.h"
#include "cycle/Outbox.h"

namespace {

// A web server's user reads it; it holds no secret.
constexpr mode_t kStatusPageMode = 0644;
// Written at least this often while nothing changes, so its time tells a
// running Zentok from one that hangs.
constexpr int64_t kRefreshSeconds = 60;

std::string timeText(int64_t seconds) {
    return seconds != 0 ? formatDateTime(seconds) : "-";
}

// Since when the node is in its state: the alarm's trigger, or the start
// of a condition still waiting for its delay; none while it is normal.
int64_t stateSince(const Node& node) {
    if (std::string(nodeAlarmState(node)) == "normal") return 0;
    if (node.active && node.triggerTime != 0) return node.triggerTime;
    return node.alarmState.onSince;
}

std::string readText(const Node& node) {
    std::string out = timeText(node.lastRead);
    if (node.readError == kReadFailed) return out + " failed";
    if (node.readError != 0) return out + " failed " + std::to_string(node.readError);
    return out;
}

struct Column {
    const char* header;
    std::function<std::string(const Node&, int64_t now)> cell;
};

// The node table, one column per line: a column is one more line here.
const std::vector<Column>& nodeColumns() {
    static const std::vector<Column> columns = {
        {"Node", [](const Node& n, int64_t) { return std::string(n.label()); }},
        // A node never read has no value: a 0 would look like one.
        {"Value",
         [](const Node& n, int64_t) {
             return n.lastRead != 0 ? formatValue(n.value, n.keepsDecimals()) : "never read";
         }},
        {"Alarm", [](const Node& n, int64_t) { return std::string(nodeAlarmState(n)); }},
        {"Since", [](const Node& n, int64_t) { return timeText(stateSince(n)); }},
        {"Acknowledged by",
         [](const Node& n, int64_t) {
             return n.acknowledged() ? std::string(n.ack.by) + " " + formatDateTime(n.ack.at) : "-";
         }},
        {"Shelved until",
         [](const Node& n, int64_t now) { return n.shelvedAt(now) ? formatDateTime(n.shelve.until) : "-"; }},
        {"Last read", [](const Node& n, int64_t) { return readText(n); }},
    };
    return columns;
}

std::string cell(const std::string& tag, const std::string& text) {
    return "<" + tag + ">" + escapeHtml(text) + "</" + tag + ">";
}

std::string nodeTable(const Coupler& coupler, int64_t now) {
    std::string out = "<h2>Nodes</h2>\n<div class=\"box\"><table id=\"nodes\" class=\"cards\"><tr>";
    for (const Column& column : nodeColumns()) out += cell("th", column.header);
    out += "</tr>\n";
    for (int i = 0; i < coupler.nodeCount; ++i) {
        const Node& node = coupler.nodes[i];
        out += std::string("<tr class=\"node ") + nodeAlarmState(node) + "\">";
        for (const Column& column : nodeColumns())
            out += std::string("<td data-label=\"") + column.header + "\">" +
                   escapeHtml(column.cell(node, now)) + "</td>";
        out += "</tr>\n";
    }
    return out + "</table></div>\n";
}

// The source as the status names it: the last good read of its nodes and
// those whose last read failed ("!OFFLINE" reads the link, not the device).
std::string sourceSection(const Coupler& coupler) {
    std::string out = "<h2>Source</h2>\n";
    for (int s = 0; s < coupler.sourceCount; ++s) {
        const SourceEntry& source = coupler.sources[s];
        int64_t lastGood = 0;
        int failing = 0;
        for (int i = 0; i < coupler.nodeCount; ++i) {
            const Node& node = coupler.nodes[i];
            if (node.source != &source || equalsIgnoreCase(node.address, "!OFFLINE")) continue;
            lastGood = std::max(lastGood, node.lastRead);
            if (node.readError != 0) ++failing;
        }
        out += "<p class=\"source\">" + escapeHtml(source.name) + " (" + escapeHtml(source.type) +
               "): last successful read " + escapeHtml(timeText(lastGood)) + ", " + std::to_string(failing) +
               " node(s) failing at their last read</p>\n";
    }
    return out;
}

std::string outboxSection(const Coupler& coupler) {
    size_t entries = 0;
    int64_t oldest = 0;
    if (coupler.outbox) {
        entries = coupler.outbox->entries().size();
        for (const OutboxEntry& entry : coupler.outbox->entries()) {
            int64_t decided = entry.decidedAt != 0 ? entry.decidedAt : entry.triggerTime;
            if (oldest == 0 || (decided != 0 && decided < oldest)) oldest = decided;
        }
    }
    return "<h2>Outbox</h2>\n<p id=\"outbox\">" + std::to_string(entries) + " entries waiting, oldest " +
           escapeHtml(timeText(oldest)) + "</p>\n";
}

std::string receiverTable(const Coupler& coupler, const Metrics& metrics) {
    std::string out =
        "<h2>Receivers</h2>\n<div class=\"box\"><table id=\"receivers\"><tr><th>Receiver</th>"
        "<th>Last hand-over</th><th>Outcome</th></tr>\n";
    for (int i = 0; i < coupler.receiverCount; ++i) {
        const std::string name = coupler.receivers[i].name;
        auto found = metrics.lastHandOvers().find(name);
        bool known = found != metrics.lastHandOvers().end();
        out += "<tr class=\"receiver\">" + cell("td", name) +
               cell("td", known ? timeText(found->second.at) : "-") +
               cell("td", !known                                                  ? "none since the start"
                          : found->second.outcome == NotificationOutcome::GivenUp ? "given up"
                                                                                  : "delivered") +
               "</tr>\n";
    }
    return out + "</table></div>\n";
}

}  // namespace

std::string renderStatusPage(const Coupler& coupler, const Metrics& metrics, int64_t now, bool stopped) {
    std::string out = htmlPageStart("Zentok status", kStatusPageRefreshSeconds);
    if (stopped)
        out +=
            "<p class=\"stopped\">Zentok has stopped: notifications are not going out; "
            "this is what it left.</p>\n";
    out += nodeTable(coupler, now) + sourceSection(coupler) + outboxSection(coupler) +
           receiverTable(coupler, metrics);
    return out;
}

void StatusPage::publishStopped(const Coupler& coupler, const Metrics& metrics, int64_t now) {
    stopped_ = true;
    renderedAt_ = std::numeric_limits<int64_t>::min();
    publish(coupler, metrics, now);
}

void StatusPage::publish(const Coupler& coupler, const Metrics& metrics, int64_t now) {
    if (coupler.statusPagePath.empty()) return;
    // Back-to-back cycles (read interval 0) render once a second, not per cycle.
    if (now == renderedAt_ && !failing_) return;
    renderedAt_ = now;
    std::string body = renderStatusPage(coupler, metrics, now, stopped_);
    bool due = coupler.statusPagePath != writtenPath_ || body != writtenBody_ || failing_ ||
               now - writtenAt_ >= kRefreshSeconds || now < writtenAt_;
    if (!due) return;
    std::string page = body + "<p class=\"note\">Written " + escapeHtml(formatDateTimeWithOffset(now)) +
                       "; the page reloads every " + std::to_string(kStatusPageRefreshSeconds) + " s.</p>\n" +
                       htmlPageEnd();
    std::string error;
    if (!replaceFileByRename(coupler.statusPagePath, page, kStatusPageMode, &error)) {
        if (!failing_)
            logf(Log::Always, "status page '%s' not writable, err '%s'\n", coupler.statusPagePath.c_str(),
                 error.c_str());
        failing_ = true;
        return;
    }
    if (failing_) logf(Log::Always, "status page '%s' written again\n", coupler.statusPagePath.c_str());
    failing_ = false;
    writtenPath_ = coupler.statusPagePath;
    writtenBody_ = std::move(body);
    writtenAt_ = now;
}
