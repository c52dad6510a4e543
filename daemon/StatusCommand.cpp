// The status reads the configuration, the states file and the outbox file,
// and tries the request folder's lock for a moment to tell whether a Zentok
// runs: it writes and signals nothing, so the running program never notices it. The states file is replaced
// whole by a rename, so a read sees the old or the new file, never half of one.
#include "daemon/StatusCommand.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "base/Clock.h"
#include "base/Text.h"
#include "base/ValueText.h"
#include "cycle/Coupler.h"
#include "cycle/Outbox.h"
#include "daemon/Instance.h"

namespace {

// Fields in the order a reader of the table expects them.
using json = nlohmann::ordered_json;

// The node as an operator names it: its address, "ADDRESS#2" for the second of one address.
std::string operatorName(const Coupler& coupler, int index) {
    int before = 0;
    for (int i = 0; i < index; ++i)
        if (equalsIgnoreCase(coupler.nodes[i].address, coupler.nodes[index].address)) ++before;
    std::string name = coupler.nodes[index].address;
    return before == 0 ? name : name + "#" + std::to_string(before + 1);
}

struct NodeState {
    std::string state;  // "normal", "pending" or "active"
    int64_t since = 0;
};

NodeState stateOf(const Node& node) {
    if (node.active && node.triggerTime != 0) return {"active", node.triggerTime};
    if (node.alarmState.onSince != 0) return {"pending", node.alarmState.onSince};
    return {"normal", 0};
}

json timeJson(int64_t seconds) {
    return seconds != 0 ? json(formatDateTime(seconds)) : json(nullptr);
}

json nodeJson(const Coupler& coupler, int index, int64_t now) {
    const Node& node = coupler.nodes[index];
    NodeState state = stateOf(node);
    json out = {{"node", operatorName(coupler, index)},
                {"state", state.state},
                {"since", timeJson(state.since)},
                {"acknowledged_by", node.acknowledged() ? json(node.ack.by) : json(nullptr)},
                {"acknowledged_at", timeJson(node.acknowledged() ? node.ack.at : 0)},
                {"acknowledged_note", node.acknowledged() ? json(node.ack.note) : json(nullptr)},
                {"acknowledged_owner",
                 node.acknowledged() && node.ack.owner[0] ? json(node.ack.owner) : json(nullptr)},
                {"acknowledged_via",
                 node.acknowledged() ? json(node.ack.via.empty() ? "shell" : node.ack.via) : json(nullptr)},
                {"shelved_until", timeJson(node.shelvedAt(now) ? node.shelve.until : 0)},
                {"shelve_note", node.shelvedAt(now) ? json(node.shelve.note) : json(nullptr)},
                {"escalated", node.escalated()},
                {"value", formatValue(node.value, node.keepsDecimals())},
                {"quality", node.quality()},
                {"last_read", timeJson(node.lastRead)},
                {"read_result", node.readError}};
    // Only a node with a tag has the key, so the status of a file without tags stays as it was.
    if (node.tag[0]) out["tag"] = node.tag;
    return out;
}

// Taken from each node's own last read, as the running Zentok recorded it: the
// last read that succeeded, and the nodes whose last read failed. The
// "!OFFLINE" node reads the link's state, not the device, so it tells neither.
json sourceJson(const Coupler& coupler) {
    int64_t lastGood = 0;
    int failing = 0;
    for (int i = 0; i < coupler.nodeCount; ++i) {
        const Node& node = coupler.nodes[i];
        if (equalsIgnoreCase(node.address, "!OFFLINE")) continue;
        lastGood = std::max(lastGood, node.lastRead);
        if (node.readError != 0) ++failing;
    }
    const SourceEntry& source = coupler.sources[0];
    return {{"name", coupler.sourceCount ? source.name : ""},
            {"type", coupler.sourceCount ? source.type : ""},
            {"last_successful_read", timeJson(lastGood)},
            {"nodes_failing", failing}};
}

json outboxJson(const Outbox& box) {
    int64_t oldest = 0;
    int64_t next = 0;
    for (const OutboxEntry& entry : box.entries()) {
        int64_t decided = entry.decidedAt != 0 ? entry.decidedAt : entry.triggerTime;
        if (oldest == 0 || (decided != 0 && decided < oldest)) oldest = decided;
        if (next == 0 || entry.nextAttempt < next) next = entry.nextAttempt;
    }
    // An entry read from the file is due at once.
    json nextAttempt = box.entries().empty() ? json(nullptr) : next == 0 ? json("now") : timeJson(next);
    return {{"entries", box.entries().size()}, {"oldest", timeJson(oldest)}, {"next_attempt", nextAttempt}};
}

std::string text(const json& value) {
    return value.is_null() ? "-" : value.is_string() ? value.get<std::string>() : value.dump();
}

// The NODE column is as wide as its longest name, and a TAG column stands
// before it once a node has a tag, so long addresses and tags keep the
// columns apart.
struct NameColumns {
    int tag = 0;  // 0: no TAG column
    int node = 16;
};

NameColumns nameColumns(const json& nodes) {
    NameColumns widths;
    for (const json& node : nodes) {
        widths.node = std::max(widths.node, static_cast<int>(text(node["node"]).size()));
        if (node.contains("tag"))
            widths.tag = std::max({widths.tag, 3, static_cast<int>(text(node["tag"]).size())});
    }
    return widths;
}

void printTable(const json& status) {
    NameColumns widths = nameColumns(status["nodes"]);
    if (widths.tag > 0) std::printf("%-*s ", widths.tag, "TAG");
    std::printf("%-*s %-10s %-19s %-36s %-19s %-12s %s\n", widths.node, "NODE", "STATE", "SINCE",
                "ACKNOWLEDGED", "SHELVED UNTIL", "VALUE", "READ");
    for (const json& node : status["nodes"]) {
        std::string acknowledged = "-";
        if (!node["acknowledged_by"].is_null())
            acknowledged =
                text(node["acknowledged_by"]) +
                (node["acknowledged_owner"].is_null() ? ""
                                                      : " (user " + text(node["acknowledged_owner"]) + ")") +
                (text(node["acknowledged_via"]) == "shell" ? "" : " via " + text(node["acknowledged_via"])) +
                " " + text(node["acknowledged_at"]).substr(11);
        std::string state = text(node["state"]) + (node["escalated"].get<bool>() ? "+esc" : "");
        int result = node["read_result"].get<int>();
        std::string read = text(node["last_read"]) + (result == kReadFailed ? " failed"
                                                      : result != 0 ? " failed " + std::to_string(result)
                                                                    : "");
        // A value that is not the device's present one says so.
        std::string quality = text(node["quality"]);
        std::string value = quality == "good"    ? text(node["value"])
                            : quality == "stale" ? text(node["value"]) + " (stale)"
                                                 : "(never read)";
        if (widths.tag > 0)
            std::printf("%-*s ", widths.tag, node.contains("tag") ? text(node["tag"]).c_str() : "-");
        std::printf("%-*s %-10s %-19s %-36s %-19s %-12s %s\n", widths.node, text(node["node"]).c_str(),
                    state.c_str(), text(node["since"]).c_str(), acknowledged.c_str(),
                    text(node["shelved_until"]).c_str(), value.c_str(), read.c_str());
    }
    const json& source = status["source"];
    std::printf("source %s (%s): last successful read %s, %d node(s) failing at their last read\n",
                text(source["name"]).c_str(), text(source["type"]).c_str(),
                text(source["last_successful_read"]).c_str(), source["nodes_failing"].get<int>());
    const json& outbox = status["outbox"];
    std::printf("outbox: %s entries, oldest %s, next attempt %s\n", text(outbox["entries"]).c_str(),
                text(outbox["oldest"]).c_str(), text(outbox["next_attempt"]).c_str());
}

}  // namespace

int showStatus(const OperatorArguments& arguments, const char* programPath) {
    if (!arguments.positional.empty()) {
        std::fprintf(stderr, "zentok status: takes no operand but -i CONFIG and --json\n");
        return kOperatorUsage;
    }
    std::string config = operatorConfigPath(arguments.config, programPath);
    Coupler coupler;
    std::string why;
    if (!openInstance(config, coupler, &why)) {
        std::fprintf(stderr, "zentok status: %s\n", why.c_str());
        return kOperatorRefused;
    }
    // A file that is there but cannot be read would show as "normal" and an
    // empty outbox: an all-clear nobody gave.
    if (!readableOrAbsent(coupler.statesName, &why) || !readableOrAbsent(kOutboxName, &why)) {
        std::fprintf(stderr, "zentok status: %s\n", why.c_str());
        return kOperatorRefused;
    }
    RunningState running = zentokRunningHere(&why);
    coupler.readStates();
    Outbox box(kOutboxName);
    box.load();
    int64_t now = currentTime();
    json status = {{"configuration", config},
                   {"running", running == RunningState::Unknown ? json(nullptr)
                                                                : json(running == RunningState::Running)},
                   {"source", sourceJson(coupler)},
                   {"outbox", outboxJson(box)}};
    status["nodes"] = json::array();
    for (int i = 0; i < coupler.nodeCount; ++i) status["nodes"].push_back(nodeJson(coupler, i, now));
    if (arguments.json)
        std::printf("%s\n", status.dump(2).c_str());
    else
        printTable(status);
    if (running == RunningState::Running) return kOperatorDone;
    if (running == RunningState::Unknown) {
        std::fprintf(stderr, "zentok status: %s\n", why.c_str());
        return kOperatorRefused;
    }
    std::fprintf(stderr,
                 "zentok status: no Zentok is running here (stopped or restarting): NOTIFICATIONS ARE NOT "
                 "GOING OUT; the table is what it left\n");
    return kOperatorNoAnswer;
}
