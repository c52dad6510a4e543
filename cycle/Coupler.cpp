// Coupler construction and the lookups by name.
#include "cycle/Coupler.h"

#include <atomic>
#include <cstring>

#include "base/Log.h"
#include "base/Text.h"
#include "cycle/NodeAnnouncement.h"

namespace {
std::atomic<uint64_t> gCouplerSerial{0};
// Entries a coupler starts with: a small plant's nodes need no growing, and
// a large one's table grows to what its file uses (a table of kMaxNodes
// entries would hold 400 kB whatever the file says).
constexpr size_t kFirstNodeEntries = 16;
}  // namespace

Coupler::Coupler() : nodes(kFirstNodeEntries), serial(++gCouplerSerial) {
    copyText(cfgName, "zentok.ini");
    copyText(statesName, "zentok_states.csv");
    // A channel holds its uplinks from when it is built, and an uplink line
    // may come after the address lines that use it: all share this one set.
    for (Receiver& receiver : receivers) receiver.uplinks = uplinks;
}

Coupler::~Coupler() = default;

bool Coupler::iniError() const {
    for (const LineFault& fault : faults)
        if (fault.kind == FaultKind::Fatal) return true;
    return false;
}

int Coupler::lineErrors() const {
    int count = 0;
    for (const LineFault& fault : faults) count += fault.kind == FaultKind::LineError ? 1 : 0;
    return count;
}

std::vector<std::string> Coupler::unknownLines() const {
    std::vector<std::string> lines;
    for (const LineFault& fault : faults)
        if (fault.kind == FaultKind::Unknown)
            lines.push_back("line " + std::to_string(fault.line) + ": " + fault.text);
    return lines;
}

namespace {

// The uplink settings a channel of that kind sends through are the same in both.
bool sameUplink(ChannelKind kind, const Uplinks& a, const Uplinks& b) {
    auto same = [](const char* x, const char* y) { return std::strcmp(x, y) == 0; };
    switch (kind) {
        case ChannelKind::ServerManager:
            return same(a.srvmgrHost, b.srvmgrHost);
        case ChannelKind::Mail:
            return same(a.smtpUrl, b.smtpUrl) && same(a.smtpUser, b.smtpUser) &&
                   same(a.smtpPassword, b.smtpPassword) && same(a.smtpFrom, b.smtpFrom) &&
                   same(a.smtpTls, b.smtpTls);
        case ChannelKind::Telegram:
            return same(a.telegramToken, b.telegramToken) && same(a.telegramApiBase, b.telegramApiBase);
        case ChannelKind::Sms:
            return same(a.smsSpool, b.smsSpool);
        default:
            return true;
    }
}

// A Twitter channel is built anew at each load, so the keys file is read
// again as it always was; the others keep what they hold open.
bool keepsAcrossReload(const Receiver& from, const Receiver& to) {
    return from.notifier && from.channelKind != ChannelKind::Twitter && from.channelKind == to.channelKind &&
           std::strcmp(from.name, to.name) == 0 && from.addressLine == to.addressLine &&
           sameUplink(to.channelKind, *from.uplinks, *to.uplinks);
}

}  // namespace

void Coupler::takeChannelsAndStart(Coupler& running) {
    for (int i = 0; i < receiverCount; ++i) {
        Receiver& receiver = receivers[i];
        Receiver* before = running.findReceiver(receiver.name, occurrenceOf(&receiver));
        if (before && keepsAcrossReload(*before, receiver))
            receiver.notifier = std::move(before->notifier);
        else
            receiver.start();
    }
    announceNodes(*this);
}

// A file without the line leaves the level as it was, as it always has.
void Coupler::applyLogLevel() const {
    if (logLevel >= 0) setLogLevel(logLevel);
}

void Coupler::startChannels() {
    for (int i = 0; i < receiverCount; ++i) receivers[i].start();
    announceNodes(*this);
}

DirEntry* Coupler::findDir(const char* name, bool create) {
    for (int i = 0; i < dirCount; ++i)
        if (equalsIgnoreCase(dirs[i].name, name)) return &dirs[i];
    if (!create || dirCount >= kMaxDirs) return nullptr;
    DirEntry& entry = dirs[dirCount++];
    copyText(entry.name, name);
    return &entry;
}

SourceEntry* Coupler::findSource(const char* name) {
    for (int i = 0; i < sourceCount; ++i)
        if (equalsIgnoreCase(sources[i].name, name)) return &sources[i];
    return nullptr;
}

Node* Coupler::findNode(const char* address, SourceEntry* source, bool create) {
    for (int i = 0; i < nodeCount; ++i)
        if (nodes[i].source == source && equalsIgnoreCase(nodes[i].address, address)) return &nodes[i];
    if (!create || countedNodes() >= kMaxNodes) return nullptr;
    Node& node = freeNode();
    ++nodeCount;
    node.info = 1;
    copyText(node.address, address);
    node.source = source;
    return &node;
}

Node& Coupler::freeNode() {
    if (nodes.size() <= static_cast<size_t>(nodeCount)) nodes.resize(static_cast<size_t>(nodeCount) + 1);
    Node& node = nodes[nodeCount];
    node = Node{};  // an incomplete node line may have left fields in the free entry
    return node;
}

int Coupler::countedNodes() const {
    int counted = 0;
    for (int i = 0; i < nodeCount; ++i) counted += nodes[i].bit < 0 ? 1 : 0;
    return counted;
}

Receiver* Coupler::findReceiver(const char* name, int occurrence) {
    for (int i = 0; i < receiverCount; ++i)
        if (equalsIgnoreCase(receivers[i].name, name) && occurrence-- == 0) return &receivers[i];
    return nullptr;
}

int Coupler::occurrenceOf(const Receiver* receiver) const {
    int occurrence = 0;
    for (int i = 0; i < receiverCount && &receivers[i] != receiver; ++i)
        if (equalsIgnoreCase(receivers[i].name, receiver->name)) ++occurrence;
    return occurrence;
}

Link* Coupler::findLink(Receiver* receiver, DirEntry* dir, bool create) {
    for (int i = 0; i < linkCount; ++i)
        if (links[i].receiver == receiver && links[i].dir == dir) return &links[i];
    if (!create || linkCount >= kMaxLinks) return nullptr;
    Link& link = links[linkCount++];
    link.receiver = receiver;
    link.dir = dir;
    return &link;
}
