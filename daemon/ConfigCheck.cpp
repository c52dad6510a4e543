// The configuration check: the parser's own messages, then warnings about
// what loads cleanly but would not do what its writer meant.
#include "daemon/ConfigCheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "base/Log.h"
#include "base/Settings.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "cycle/Ladder.h"
#include "daemon/Instance.h"
#include "notify/channels/ExecChannel.h"
#include "notify/channels/FileChannel.h"
#include "notify/channels/NtfyChannel.h"
#include "notify/channels/SmsChannel.h"
#include "sources/ReadPlan.h"
#include "sources/s7/S7Frame.h"

namespace {

// A warning's text; the compiler checks each call's arguments against its pattern.
__attribute__((format(printf, 1, 2))) std::string format(const char* pattern, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, pattern);
    std::vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
    return text;
}

// A file opened as the parser opens it: a directory does not count.
FILE* openConfig(const char* path) {
    if (!path || !*path) return nullptr;
    FILE* file = std::fopen(path, "r");
    struct stat status {};
    if (file && (fstat(fileno(file), &status) != 0 || S_ISDIR(status.st_mode))) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

bool isDirectory(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

void addSourcelessNodeWarnings(const Coupler& c, std::vector<std::string>& warnings) {
    for (int i = 0; i < c.nodeCount; ++i)
        if (!c.nodes[i].source)
            warnings.push_back(
                format("node '%s' comes before the source line and is never read", c.nodes[i].address));
}

void addNodeWarnings(const Coupler& c, std::vector<std::string>& warnings) {
    for (int i = 0; i < c.nodeCount; ++i) {
        const Node& node = c.nodes[i];
        if (!node.source) continue;
        for (int j = 0; j < i; ++j)
            if (c.nodes[j].source == node.source && equalsIgnoreCase(c.nodes[j].address, node.address)) {
                warnings.push_back(
                    format("node address '%s' is used twice for source '%s'; both nodes read "
                           "the same value",
                           node.address, node.source->name));
                break;
            }
    }
    // A frozen value decided by one or two reads: a single late read, or a
    // value that happens to repeat, would raise it.
    for (int i = 0; i < c.nodeCount; ++i) {
        const Node& node = c.nodes[i];
        if (node.trigger.kind != ConditionKind::Frozen || !node.source) continue;
        int interval = std::max({c.readInterval, node.source->readInterval, node.readInterval});
        if (node.trigger.seconds < 2 * interval)
            warnings.push_back(
                format("node '%s': frozen for %d s is shorter than two read intervals (%d s each)",
                       node.label(), node.trigger.seconds, interval));
    }
}

bool namedByNode(const Coupler& c, const DirEntry* dir) {
    for (int i = 0; i < c.nodeCount; ++i)
        if (c.nodes[i].dir == dir) return true;
    return false;
}

bool hasReceiver(const Coupler& c, const DirEntry* dir) {
    for (int l = 0; l < c.linkCount; ++l)
        if (c.links[l].dir == dir) return true;
    return false;
}

bool namedByEscalation(const Coupler& c, const DirEntry* dir) {
    for (int e = 0; e < c.escalationCount; ++e)
        if (c.escalations[e].from == dir || c.escalations[e].to == dir) return true;
    return false;
}

// An escalation to or from a group that only its own line names is a
// misspelled group: the alarm it should carry on goes nowhere.
void addEscalationWarnings(const Coupler& c, std::vector<std::string>& warnings) {
    for (int e = 0; e < c.escalationCount; ++e) {
        const Escalation& escalation = c.escalations[e];
        for (const DirEntry* end : {escalation.from, escalation.to})
            if (!namedByNode(c, end) && !hasReceiver(c, end))
                warnings.push_back(format(
                    "escalate from group '%s' to '%s': unknown group '%s', no node or receiver names it",
                    escalation.from->name, escalation.to->name, end->name));
    }
}

bool pagedByLadder(const Coupler& c, const DirEntry* dir) {
    for (int l = 0; l < c.ladderCount; ++l)
        for (int s = 0; s < c.ladders[l].stepCount; ++s)
            if (c.ladders[l].steps[s].groups & groupBit(c, dir)) return true;
    return false;
}

bool namedByLadder(const Coupler& c, const DirEntry* dir) {
    return ladderOf(c, dir) || pagedByLadder(c, dir);
}

// A ladder's group or step group that nothing else names is misspelled: the
// step pages nobody. A duty window only ladder steps look at.
void addLadderWarnings(const Coupler& c, std::vector<std::string>& warnings) {
    for (int l = 0; l < c.ladderCount; ++l) {
        const Ladder& ladder = c.ladders[l];
        for (int d = 0; d < c.dirCount; ++d) {
            const DirEntry* dir = &c.dirs[d];
            bool inLadder = dir == ladder.from;
            for (int s = 0; s < ladder.stepCount; ++s)
                inLadder = inLadder || (ladder.steps[s].groups & (1u << d));
            if (inLadder && !namedByNode(c, dir) && !hasReceiver(c, dir))
                warnings.push_back(
                    format("ladder of group '%s': unknown group '%s', no node or receiver names it",
                           ladder.from->name, dir->name));
        }
    }
    for (int d = 0; d < c.dirCount; ++d)
        if (c.duty[d].limited && !pagedByLadder(c, &c.dirs[d]))
            warnings.push_back(
                format("when;%s: no ladder step pages group '%s', its duty windows change nothing",
                       c.dirs[d].name, c.dirs[d].name));
}

void addGroupWarnings(const Coupler& c, std::vector<std::string>& warnings) {
    for (int d = 0; d < c.dirCount; ++d) {
        const DirEntry* dir = &c.dirs[d];
        // An unknown group of an escalation has its own warning above.
        bool unknownEscalationGroup =
            !namedByNode(c, dir) && (namedByEscalation(c, dir) || namedByLadder(c, dir));
        if (!hasReceiver(c, dir) && !unknownEscalationGroup)
            warnings.push_back(format("group '%s' has no receiver: its nodes notify nobody", dir->name));
    }
    for (int r = 0; r < c.receiverCount; ++r) {
        bool linked = false;
        for (int l = 0; l < c.linkCount; ++l) linked = linked || c.links[l].receiver == &c.receivers[r];
        if (!linked)
            warnings.push_back(
                format("receiver '%s' is in no group and is never notified", c.receivers[r].name));
    }
    addEscalationWarnings(c, warnings);
    addLadderWarnings(c, warnings);
}

// The directory of the file the pattern names today; empty for the working directory.
std::string patternDirectory(const char* pattern) {
    std::string name = expandTimePattern(pattern, static_cast<int64_t>(std::time(nullptr)), kPathSize);
    size_t slash = name.rfind('/');
    if (slash == std::string::npos) return "";
    if (slash == 0) return "/";
    return name.substr(0, slash);
}

// The packaged unit of the configuration `configPath` gets its working and
// logs directories from systemd at its start (StateDirectory=,
// LogsDirectory=): before the first start they are missing, and fine.
bool madeByTheUnit(const std::string& directory, const std::string& configPath) {
    const std::string state = instanceDirectory(configPath);
    const std::string stateRoot = "/var/lib/";
    if (state.compare(0, stateRoot.size(), stateRoot) != 0) return false;
    return directory == state || directory == "/var/log/" + state.substr(stateRoot.size());
}

// The directory a file receiver writes to is emptied with the machine's (or,
// under systemd, the unit's private) temporary directory.
bool isTemporary(const std::string& directory) {
    for (const char* temporary : {"/tmp", "/var/tmp"}) {
        size_t n = std::strlen(temporary);
        if (directory.compare(0, n, temporary) == 0 && (directory.size() == n || directory[n] == '/'))
            return true;
    }
    return false;
}

// What the Telegram and command channels need beyond their address line.
void addOutsideChannelWarnings(const Receiver& receiver, std::vector<std::string>& warnings) {
    if (receiver.channelKind == ChannelKind::Telegram && !receiver.uplinks->telegramToken[0])
        warnings.push_back(
            format("receiver '%s' sends to Telegram, but there is no uplink;telegram line", receiver.name));
    // The spool is checked as the user the check runs as: run it as the service's user.
    std::string spool = receiver.channelKind == ChannelKind::Sms ? smsSpoolFault(*receiver.uplinks) : "";
    if (!spool.empty()) warnings.push_back(format("receiver '%s': %s", receiver.name, spool.c_str()));
    // A reply topic that is the alarm topic would show every alarm as a reply and every reply as an alarm.
    const auto* ntfy = receiver.channelKind == ChannelKind::Ntfy && !receiver.replyTopic.empty()
                           ? dynamic_cast<const NtfyChannel*>(receiver.notifier.get())
                           : nullptr;
    if (ntfy && ntfy->url() == ntfy->serverBase() + "/" + receiver.replyTopic)
        warnings.push_back(format("receiver '%s': the ntfy reply topic '%s' is its alarm topic",
                                  receiver.name, receiver.replyTopic.c_str()));
    const auto* command = receiver.channelKind == ChannelKind::Exec && receiver.notifier
                              ? static_cast<const ExecChannel*>(receiver.notifier.get())
                              : nullptr;
    if (command && !command->program().empty() && access(command->program().c_str(), X_OK) != 0)
        warnings.push_back(format("receiver '%s' runs '%s', which is no executable file here", receiver.name,
                                  command->program().c_str()));
}

void addChannelWarnings(const Coupler& c, std::vector<std::string>& warnings) {
    for (int r = 0; r < c.receiverCount; ++r) {
        const Receiver& receiver = c.receivers[r];
        if (receiver.channelKind == ChannelKind::ServerManager && !c.uplinks->srvmgrHost[0])
            warnings.push_back(
                format("receiver '%s' posts to the server manager, but there is no uplink;srvmgr "
                       "line",
                       receiver.name));
        addOutsideChannelWarnings(receiver, warnings);
        if (receiver.channelKind == ChannelKind::Mail && !c.uplinks->smtpUrl[0])
            warnings.push_back(
                format("receiver '%s' sends mail, but there is no uplink;smtp line", receiver.name));
        if (receiver.channelKind == ChannelKind::File && receiver.notifier) {
            const auto* file = static_cast<const FileChannel*>(receiver.notifier.get());
            std::string directory = patternDirectory(file->namePattern);
            if (!directory.empty() && !isDirectory(directory) && !madeByTheUnit(directory, c.cfgName))
                warnings.push_back(
                    format("receiver '%s' writes to '%s', but the directory '%s' does not exist",
                           receiver.name, file->namePattern, directory.c_str()));
        }
    }
}

void addTemporaryFileWarnings(const Coupler& c, std::vector<std::string>& warnings) {
    for (int r = 0; r < c.receiverCount; ++r) {
        const Receiver& receiver = c.receivers[r];
        if (receiver.channelKind != ChannelKind::File || !receiver.notifier) continue;
        const auto* file = static_cast<const FileChannel*>(receiver.notifier.get());
        if (isTemporary(patternDirectory(file->namePattern)))
            warnings.push_back(
                format("receiver '%s' writes to '%s', a temporary directory: under systemd "
                       "it is the service's own and is emptied at every stop",
                       receiver.name, file->namePattern));
    }
}

// The metrics and the journal are written beside files of their own; in a
// directory that is not there neither is ever written.
void addWatchFileWarnings(const Coupler& c, std::vector<std::string>& warnings) {
    const std::pair<const char*, const std::string*> files[] = {
        {"metrics", &c.metricsPath}, {"journal", &c.journalName}, {"statuspage", &c.statusPagePath}};
    for (const auto& [setting, path] : files) {
        size_t slash = path->rfind('/');
        if (slash == std::string::npos || slash == 0) continue;
        std::string directory = path->substr(0, slash);
        if (!isDirectory(directory) && !madeByTheUnit(directory, c.cfgName))
            warnings.push_back(format("coupler;%s writes to '%s', but the directory '%s' does not exist",
                                      setting, path->c_str(), directory.c_str()));
    }
}

}  // namespace

std::vector<std::string> modelWarnings(const Coupler& coupler) {
    std::vector<std::string> warnings;
    if (coupler.readInterval == 0 && coupler.sourceCount > 0)
        warnings.push_back(
            "coupler;readinterval is 0: the source is read as fast as the device answers; "
            "coupler;readinterval;1 or more gives it a rest");
    addNodeWarnings(coupler, warnings);
    addTemporaryFileWarnings(coupler, warnings);
    return warnings;
}

std::vector<std::string> deadEndWarnings(const Coupler& coupler) {
    // Lines the parser read past: what a start ignores the check names.
    std::vector<std::string> warnings = coupler.unknownLines();
    addSourcelessNodeWarnings(coupler, warnings);
    for (const std::string& drill : unknownDrillReceivers(coupler)) warnings.push_back(drill);
    addGroupWarnings(coupler, warnings);
    addChannelWarnings(coupler, warnings);
    addWatchFileWarnings(coupler, warnings);
    return warnings;
}

// How many requests a cycle makes for each source's nodes; an S7 source is
// planned with the PDU length asked for, which the PLC may lower.
void printReadPlans(const Coupler& c) {
    for (int s = 0; s < c.sourceCount; ++s) {
        const SourceEntry& source = c.sources[s];
        std::vector<ReadBlock> plan = planReads(c.nodes, c.nodeCount, &source, s7::kRequestedPdu);
        size_t read = 0;
        for (const ReadBlock& block : plan) read += block.nodes.size();
        if (read > plan.size())
            logf(Log::Always, "source '%s': %zu nodes read with %zu requests a cycle\n", source.name, read,
                 plan.size());
    }
}

void printDeadEndWarnings(const Coupler& coupler) {
    for (const std::string& warning : deadEndWarnings(coupler))
        logf(Log::Always, "*** warning: %s\n", warning.c_str());
}

int checkConfiguration(const std::string& path, bool errorsOnly) {
    Coupler coupler;
    coupler.loadConfig(path.c_str());

    FILE* readable = openConfig(coupler.cfgName);
    if (!readable) {
        logf(Log::Always, "configuration '%s': cannot be read\n", path.c_str());
        return kCheckUnreadable;
    }
    std::fclose(readable);

    // Before a start or a reload the running program says the warnings
    // itself; the check there looks only for what would refuse the file.
    std::vector<std::string> deadEnds;
    std::vector<std::string> warnings;
    if (!errorsOnly) {
        deadEnds = deadEndWarnings(coupler);
        warnings = modelWarnings(coupler);
    }
    for (const std::string& warning : deadEnds) logf(Log::Always, "*** warning: %s\n", warning.c_str());
    for (const std::string& warning : warnings) logf(Log::Always, "*** warning: %s\n", warning.c_str());

    if (coupler.iniError()) {
        logf(Log::Always, "configuration '%s': configuration error, the program would end without a cycle\n",
             path.c_str());
        return kExitConfigError;
    }
    // A start runs without these lines; the check fails, so they are fixed
    // before. Before a start or reload they must not stop a coupler that
    // would run with the rest.
    if (coupler.lineErrors() > 0 && !errorsOnly) {
        logf(Log::Always, "configuration '%s': configuration error, %d line%s cannot work as written\n",
             path.c_str(), coupler.lineErrors(), coupler.lineErrors() == 1 ? "" : "s");
        return kExitConfigError;
    }
    if (errorsOnly) {
        logf(Log::Always, "configuration '%s': loads\n", path.c_str());
        return kCheckLoads;
    }
    // A start runs too, but something written would never take effect.
    if (!deadEnds.empty()) {
        logf(Log::Always,
             "configuration '%s': configuration error, %zu warning%s about what would never work\n",
             path.c_str(), deadEnds.size(), deadEnds.size() == 1 ? "" : "s");
        return kExitConfigError;
    }
    printReadPlans(coupler);
    logf(Log::Always, "configuration '%s': loads, %zu warning%s\n", path.c_str(), warnings.size(),
         warnings.size() == 1 ? "" : "s");
    return kCheckLoads;
}
