// Counting and rendering the metrics, and writing their file.
#include "cycle/Metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>
#include <vector>

#include "base/Clock.h"
#include "base/DurableFile.h"
#include "base/Log.h"
#include "cycle/Coupler.h"
#include "cycle/Outbox.h"

namespace {

constexpr mode_t kMetricsFileMode = 0644;

// The file is written at least this often while only the every-cycle samples move.
constexpr int64_t kRefreshSeconds = 60;

const char* outcomeName(NotificationOutcome outcome) {
    switch (outcome) {
        case NotificationOutcome::Delivered:
            return "delivered";
        case NotificationOutcome::Failed:
            return "failed";
        case NotificationOutcome::GivenUp:
            return "given_up";
    }
    return "failed";
}

std::string number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string number(uint64_t value) {
    return std::to_string(value);
}

using Labels = std::vector<std::pair<const char*, std::string>>;

// Builds the exposition text family by family. A sample marked as moving
// at every cycle goes into the text only, the others into both texts.
class Exposition {
  public:
    void family(const char* name, const char* type, const char* help) {
        std::string head =
            std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
        text_ += head;
        steady_ += head;
    }

    void sample(const char* name, const Labels& labels, const std::string& value, bool moving = false) {
        std::string line = name;
        if (!labels.empty()) {
            line += '{';
            for (size_t i = 0; i < labels.size(); ++i) {
                if (i > 0) line += ',';
                line += labels[i].first;
                line += "=\"" + escapeLabelValue(labels[i].second) + "\"";
            }
            line += '}';
        }
        text_ += line + " " + value + "\n";
        if (!moving) steady_ += line + " " + value + "\n";
    }

    std::string& text() { return text_; }
    std::string& steady() { return steady_; }

  private:
    std::string text_;
    std::string steady_;
};

const char* sourceNameOf(const Node& node) {
    return node.source ? node.source->name : "";
}

void renderProcess(Exposition& out, const std::string& version, int64_t startTime, bool up) {
    out.family("zentok_up", "gauge", "1 while Zentok runs and writes this file, 0 once it stopped.");
    out.sample("zentok_up", {}, up ? "1" : "0");
    out.family("zentok_build_info", "gauge", "The version of Zentok, as a label; always 1.");
    out.sample("zentok_build_info", {{"version", version}}, "1");
    out.family("zentok_start_time_seconds", "gauge", "When the process started, in seconds since 1970.");
    out.sample("zentok_start_time_seconds", {}, number(static_cast<uint64_t>(startTime)));
}

void renderNodes(Exposition& out, const Coupler& coupler) {
    out.family("zentok_node_alarm_state", "gauge",
               "1 for the state the node's alarm is in, 0 for the others.");
    for (int i = 0; i < coupler.nodeCount; ++i) {
        const Node& node = coupler.nodes[i];
        const char* current = nodeAlarmState(node);
        for (const char* state : kNodeAlarmStates)
            out.sample("zentok_node_alarm_state",
                       {{"source", sourceNameOf(node)}, {"node", node.label()}, {"state", state}},
                       std::string(state) == current ? "1" : "0");
    }
    out.family("zentok_node_value", "gauge", "The node's last value read, as its messages show it.");
    for (int i = 0; i < coupler.nodeCount; ++i) {
        const Node& node = coupler.nodes[i];
        out.sample("zentok_node_value", {{"source", sourceNameOf(node)}, {"node", node.label()}},
                   number(node.value));
    }
    out.family("zentok_node_quality", "gauge",
               "1 for how far the node's value can be trusted (good, stale, never read), 0 for the others.");
    for (int i = 0; i < coupler.nodeCount; ++i) {
        const Node& node = coupler.nodes[i];
        for (const char* quality : {"good", "stale", "never read"})
            out.sample("zentok_node_quality",
                       {{"source", sourceNameOf(node)}, {"node", node.address}, {"quality", quality}},
                       std::string(quality) == node.quality() ? "1" : "0");
    }
    // Instrument faults apart from process alarms: only nodes with a range condition.
    out.family("zentok_node_sensor_suspect", "gauge",
               "1 while the node's value is outside the range its sensor can give (an R condition).");
    for (int i = 0; i < coupler.nodeCount; ++i) {
        const Node& node = coupler.nodes[i];
        if (node.trigger.kind == ConditionKind::Range)
            out.sample("zentok_node_sensor_suspect", {{"source", sourceNameOf(node)}, {"node", node.address}},
                       node.active ? "1" : "0");
    }
}

void renderOutbox(Exposition& out, const Coupler& coupler) {
    size_t entries = 0;
    int64_t oldestMs = 0;
    if (coupler.outbox) {
        int64_t nowMs = steadyMs();
        entries = coupler.outbox->entries().size();
        for (const OutboxEntry& entry : coupler.outbox->entries())
            oldestMs = std::max(oldestMs, nowMs - entry.firedMs);
    }
    out.family("zentok_outbox_entries", "gauge", "Notifications decided and not yet handed over for good.");
    out.sample("zentok_outbox_entries", {}, number(static_cast<uint64_t>(entries)));
    out.family("zentok_outbox_oldest_age_seconds", "gauge",
               "Age of the oldest notification in the outbox; 0 when it is empty.");
    out.sample("zentok_outbox_oldest_age_seconds", {}, number(static_cast<uint64_t>(oldestMs / 1000)), true);
}

}  // namespace

// A shelve outranks the alarm under it: the node sends nothing, whatever it is.
const char* nodeAlarmState(const Node& node) {
    if (node.shelvedAt(currentTime())) return "shelved";
    if (node.active && node.acknowledged()) return "acknowledged";
    if (node.active) return "active";
    if (node.alarm.enabled && node.alarmState.onSince != 0) return "pending";
    return "normal";
}

std::string escapeLabelValue(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

Metrics::Metrics(std::string version) : version_(std::move(version)), startTime_(currentTime()) {}

void Metrics::countNotification(const std::string& receiver, const std::string& channel,
                                NotificationOutcome outcome) {
    ++notifications_[NotificationKey{receiver, channel, outcome}];
    if (outcome != NotificationOutcome::Failed) lastHandOvers_[receiver] = {currentTime(), outcome};
    if (outcome == NotificationOutcome::Delivered) lastDelivered_[receiver] = currentTime();
}

void Metrics::countCycle(Coupler& coupler, double seconds, int64_t now) {
    ++cycles_;
    lastCycleSeconds_ = seconds;
    for (int i = 0; i < coupler.sourceCount; ++i) {
        SourceEntry& source = coupler.sources[i];
        SourceCounts& counts = sources_[source.name];
        counts.reads += static_cast<uint64_t>(source.goodReads + source.failedReads);
        counts.errors += static_cast<uint64_t>(source.failedReads);
        // A read that ends with the link up and some node read: an "!OFFLINE"
        // node alone reads even while the device is away.
        counts.reachable = source.isConnected() && source.goodReads > 0;
        if (counts.reachable) counts.lastGoodRead = now;
    }
}

int64_t Metrics::lastGoodRead(const std::string& source) const {
    auto found = sources_.find(source);
    return found == sources_.end() ? 0 : found->second.lastGoodRead;
}

std::string Metrics::render(const Coupler& coupler, std::string* steady) const {
    Exposition out;
    renderProcess(out, version_, startTime_, up_);
    out.family("zentok_cycles_total", "counter", "Read cycles run.");
    out.sample("zentok_cycles_total", {}, number(cycles_), true);
    out.family("zentok_last_cycle_duration_seconds", "gauge", "How long the last read cycle took.");
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", lastCycleSeconds_);
    out.sample("zentok_last_cycle_duration_seconds", {}, seconds, true);

    static const SourceCounts kNone;
    auto countsOf = [&](const char* name) -> const SourceCounts& {
        auto found = sources_.find(name);
        return found == sources_.end() ? kNone : found->second;
    };
    out.family("zentok_source_reads_total", "counter", "Node reads from the source, failed ones included.");
    for (int i = 0; i < coupler.sourceCount; ++i)
        out.sample("zentok_source_reads_total", {{"source", coupler.sources[i].name}},
                   number(countsOf(coupler.sources[i].name).reads), true);
    out.family("zentok_source_read_errors_total", "counter", "Node reads from the source that failed.");
    for (int i = 0; i < coupler.sourceCount; ++i)
        out.sample("zentok_source_read_errors_total", {{"source", coupler.sources[i].name}},
                   number(countsOf(coupler.sources[i].name).errors));
    out.family("zentok_source_up", "gauge", "1 when the last cycle reached the source and read from it.");
    for (int i = 0; i < coupler.sourceCount; ++i)
        out.sample("zentok_source_up", {{"source", coupler.sources[i].name}},
                   countsOf(coupler.sources[i].name).reachable ? "1" : "0");
    out.family("zentok_source_last_read_timestamp_seconds", "gauge",
               "When the source was last read successfully, in seconds since 1970; 0 when never.");
    for (int i = 0; i < coupler.sourceCount; ++i)
        out.sample("zentok_source_last_read_timestamp_seconds", {{"source", coupler.sources[i].name}},
                   number(static_cast<uint64_t>(countsOf(coupler.sources[i].name).lastGoodRead)), true);

    renderNodes(out, coupler);

    out.family("zentok_notifications_total", "counter",
               "Hand-overs to receivers by outcome: delivered, failed (tried again) or given_up.");
    for (const auto& counted : notifications_)
        out.sample("zentok_notifications_total",
                   {{"receiver", std::get<0>(counted.first)},
                    {"channel", std::get<1>(counted.first)},
                    {"outcome", outcomeName(std::get<2>(counted.first))}},
                   number(counted.second));
    out.family("zentok_receiver_last_delivered_timestamp_seconds", "gauge",
               "When a notification last reached the receiver, in seconds since 1970; 0 when none did yet.");
    for (int i = 0; i < coupler.receiverCount; ++i) {
        auto found = lastDelivered_.find(coupler.receivers[i].name);
        int64_t at = found == lastDelivered_.end() ? 0 : found->second;
        out.sample("zentok_receiver_last_delivered_timestamp_seconds",
                   {{"receiver", coupler.receivers[i].name}}, number(static_cast<uint64_t>(at)));
    }
    out.family("zentok_drill_ok", "gauge",
               "1 when the receiver delivered its last daily drill, 0 when it failed.");
    for (int i = 0; i < coupler.receiverCount; ++i) {
        // From the drill file, so the outcome outlasts a restart; a drill still under way shows none.
        const Receiver& receiver = coupler.receivers[i];
        const DrillRecord* drill = lastDrillOf(coupler.drills, receiver.name);
        if (drill && drill->outcome != DrillRecord::Outcome::Sent)
            out.sample("zentok_drill_ok", {{"receiver", receiver.name}},
                       drill->outcome == DrillRecord::Outcome::Delivered ? "1" : "0");
    }
    renderOutbox(out, coupler);
    if (steady) *steady = std::move(out.steady());
    return std::move(out.text());
}

void Metrics::publishStopped(const Coupler& coupler, int64_t now) {
    up_ = false;
    renderedAt_ = std::numeric_limits<int64_t>::min();
    publish(coupler, now);
}

void Metrics::publish(const Coupler& coupler, int64_t now) {
    if (coupler.metricsPath.empty()) return;
    // Back-to-back cycles (read interval 0) render once a second, not per cycle.
    if (now == renderedAt_ && !failing_) return;
    renderedAt_ = now;
    std::string steady;
    std::string text = render(coupler, &steady);
    bool due = coupler.metricsPath != writtenPath_ || steady != writtenSteady_ || failing_ ||
               now - writtenAt_ >= kRefreshSeconds || now < writtenAt_;
    if (!due) return;
    std::string error;
    // World-readable: it holds no secret, and node-exporter's textfile
    // collector reads it as a user of its own.
    if (!replaceFileByRename(coupler.metricsPath, text, kMetricsFileMode, &error)) {
        if (!failing_)
            logf(Log::Always, "metrics file '%s' not writable, err '%s'\n", coupler.metricsPath.c_str(),
                 error.c_str());
        failing_ = true;
        return;
    }
    if (failing_) logf(Log::Always, "metrics file '%s' written again\n", coupler.metricsPath.c_str());
    failing_ = false;
    writtenPath_ = coupler.metricsPath;
    writtenSteady_ = std::move(steady);
    writtenAt_ = now;
}
