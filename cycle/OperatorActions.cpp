// What an operator's request does to a node: acknowledge its alarm, shelve
// it, end its shelve. Each is recorded in the states file before the answer
// goes back, so a restart right after the operator was told keeps it, and its
// notice is in the outbox before that, as a firing is.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/Clock.h"
#include "base/Text.h"
#include "cycle/Coupler.h"

namespace {

std::string nodeName(const Node& node) {
    return std::string("node ") + node.address;
}

std::string withNote(const std::string& text, const char* note) {
    return note && *note ? text + " (" + note + ")" : text;
}

}  // namespace

Node* Coupler::nodeNamed(const char* name) {
    if (!name || !*name) return nullptr;
    std::string address = name;
    int wanted = 1;
    size_t hash = address.rfind('#');
    if (hash != std::string::npos && hash > 0) {
        const char* count = address.c_str() + hash + 1;
        if (*count < '1' || *count > '9' || std::strspn(count, "0123456789") != std::strlen(count))
            return nullptr;
        wanted = parseInt(count);
        address.resize(hash);
    }
    for (int i = 0; i < nodeCount; ++i)
        if (equalsIgnoreCase(nodes[i].address, address.c_str()) && --wanted == 0) return &nodes[i];
    return nullptr;
}

bool Coupler::acknowledge(Node& node, const char* by, const char* note, std::string* answer) {
    if (!node.active || node.triggerTime == 0) {
        *answer = nodeName(node) + ": no active alarm, nothing acknowledged";
        return false;
    }
    if (node.acknowledged()) {
        *answer = nodeName(node) + ": already acknowledged by " + node.ack.by + " at " +
                  formatDateTime(node.ack.at);
        return true;
    }
    node.ack.episode = node.triggerTime;
    node.ack.at = currentTime();
    copyText(node.ack.by, by);
    copyText(node.ack.note, note);
    queueOperatorNotice(node, AlarmNotice::Acknowledged,
                        withNote(std::string("Acknowledged by ") + by, note) + ": ");
    journalEvent(JournalEvent::Acknowledged, node, node.triggerTime);
    writeStates();
    std::printf("%s acknowledged by %s\n", nodeName(node).c_str(), by);
    *answer = nodeName(node) + ": acknowledged by " + by + "; no more reminders or escalation for this alarm";
    return true;
}

bool Coupler::shelveNode(Node& node, int seconds, const char* note, std::string* answer) {
    if (seconds < 1 || seconds > maxShelveSeconds) {
        *answer = nodeName(node) + ": a shelve lasts from 1 s to " + std::to_string(maxShelveSeconds) +
                  " s (coupler;maxshelve), nothing shelved";
        return false;
    }
    node.shelve.until = currentTime() + seconds;
    copyText(node.shelve.note, note);
    journalEvent(JournalEvent::Shelved, node, node.active ? node.triggerTime : 0);
    writeStates();
    std::printf("%s shelved until %s\n", nodeName(node).c_str(), formatDateTime(node.shelve.until).c_str());
    *answer = nodeName(node) + ": shelved until " + formatDateTime(node.shelve.until) +
              "; it sends nothing until then";
    return true;
}

bool Coupler::unshelveNode(Node& node, std::string* answer) {
    if (!node.shelvedAt(currentTime())) {
        *answer = nodeName(node) + ": not shelved, nothing changed";
        return false;
    }
    bool active = node.active;
    endShelve(node);
    writeStates();
    *answer =
        nodeName(node) + ": unshelved" + (active ? "; its alarm is still active, a notice says so" : "");
    return true;
}

void Coupler::endShelve(Node& node) {
    node.shelve = Shelve{};
    std::printf("%s: shelve ended\n", nodeName(node).c_str());
    journalEvent(JournalEvent::Unshelved, node, node.active ? node.triggerTime : 0);
    if (node.active && node.triggerTime != 0)
        queueOperatorNotice(node, AlarmNotice::Unshelved, "Shelve ended, still active: ");
}
