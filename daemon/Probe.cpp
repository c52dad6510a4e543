// The probe: one read of every node, with its type, raw and scaled value and
// whether its condition holds now. The states file is only read, for the
// previous value a D condition compares with.
#include "daemon/Probe.h"

#include <cstdio>
#include <string>

#include "base/Log.h"
#include "base/Text.h"
#include "base/ValueText.h"
#include "cycle/Coupler.h"
#include "daemon/ConfigCheck.h"
#include "sources/ReadPlan.h"
#include "sources/SourceWorker.h"
#include "sources/ValueType.h"
#include "trigger/Trigger.h"

namespace {

std::string conditionText(Node& node, double previous) {
    if (!node.condition[0]) return "no condition";
    bool holds = evaluateCondition(&node, previous);
    return std::string("condition ") + node.condition + (holds ? " holds" : " does not hold");
}

// The node as the probe names it: "tag (address)" for a node with a tag.
std::string probeName(const Node& node) {
    return node.tag[0] ? std::string(node.tag) + " (" + node.address + ")" : node.address;
}

// Reads one node and prints its line; false when the read failed. An
// alarm bit is not read: it shows its bit of the word's read before it.
bool probeNode(Node& node, const Node* table) {
    std::string type = node.bit >= 0 ? "BIT" : valueTypeName(node);
    std::string name = probeName(node);
    double previous = node.value;
    bool read = false;
    if (node.bit >= 0) {
        node.readError = 0;
        takeWordBit(table, &node);
        read = node.readError == 0;
    } else if (node.source) {
        // The source's read interval must not pass a node over.
        node.source->lastRead = 0;
        read = node.source->readNode(&node);
    }
    if (!read) {
        std::printf("%-20s %-14s read failed\n", name.c_str(), type.c_str());
        return false;
    }
    if (equalsIgnoreCase(node.address, "!OFFLINE")) node.raw = node.value;
    bool decimals = node.keepsDecimals();
    std::printf("%-20s %-14s raw %-12s value %-12s %s\n", name.c_str(), type.c_str(),
                formatValue(node.raw, true).c_str(), formatValue(node.value, decimals).c_str(),
                conditionText(node, previous).c_str());
    return true;
}

// The requests of one cycle, sent now as a cycle sends them; the nodes'
// lines below take their values from them.
void probeBlocks(Coupler& coupler) {
    for (int s = 0; s < coupler.sourceCount; ++s) {
        SourceEntry& source = coupler.sources[s];
        source.nodes = coupler.nodes;
        source.nodeCount = coupler.nodeCount;
        source.lastRead = 0;
        for (int i = 0; i < coupler.nodeCount; ++i) coupler.nodes[i].lastRead = 0;
        source.readBlocks();
        const std::vector<ReadBlock>& plan = source.readPlan();
        size_t read = 0;
        for (const ReadBlock& block : plan) read += block.nodes.size();
        std::printf("source '%s': %zu node%s in %zu request%s a cycle\n", source.name, read,
                    read == 1 ? "" : "s", plan.size(), plan.size() == 1 ? "" : "s");
        for (size_t b = 0; b < plan.size(); ++b) {
            bool failed = b < source.blockOutcomes.size() &&
                          source.blockOutcomes[b] == SourceEntry::BlockOutcome::Failed;
            std::printf("  %s%s\n", describeBlock(plan[b], coupler.nodes).c_str(),
                        failed ? ": failed, its nodes are read one by one" : "");
        }
    }
}

}  // namespace

int probeConfiguration(const std::string& path) {
    Coupler coupler;
    coupler.loadConfig(path.c_str());
    if (coupler.iniError()) {
        std::printf("probe: configuration '%s' has errors, nothing read\n", path.c_str());
        return kExitConfigError;
    }
    if (coupler.cfgStat.size < 0) {
        std::printf("probe: configuration '%s' cannot be read\n", path.c_str());
        return kProbeReadFailed;
    }
    // A probe is for seeing why a read fails: the sources' failure lines show from level 1.
    coupler.applyLogLevel();
    if (logLevel() < 1) setLogLevel(1);
    coupler.readStates();
    probeBlocks(coupler);
    int failed = 0;
    for (int i = 0; i < coupler.nodeCount; ++i)
        if (!probeNode(coupler.nodes[i], coupler.nodes.data())) ++failed;
    std::printf("probe: %d of %d nodes read\n", coupler.nodeCount - failed, coupler.nodeCount);
    return failed == 0 ? 0 : kProbeReadFailed;
}
