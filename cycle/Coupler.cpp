// Coupler construction and the lookups by name.
#include "cycle/Coupler.h"

#include <atomic>

#include "base/Text.h"

namespace {
std::atomic<uint64_t> gCouplerSerial{0};
}

Coupler::Coupler() : serial(++gCouplerSerial) {
    copyText(cfgName, "zentok.ini");
    copyText(statesName, "zentok_states.csv");
    // A channel holds its uplinks from when it is built, and an uplink line
    // may come after the address lines that use it: all share this one set.
    for (Receiver& receiver : receivers) receiver.uplinks = uplinks;
}

Coupler::~Coupler() = default;

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
    if (!create || nodeCount >= kMaxNodes) return nullptr;
    Node& node = nodes[nodeCount++];
    node = Node{};  // an incomplete node line may have left fields in the free entry
    node.info = 1;
    copyText(node.address, address);
    node.source = source;
    return &node;
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
