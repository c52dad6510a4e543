// What an operator's request does to a node: acknowledge its alarm, shelve
// it, end its shelve. Each is recorded in the states file before the answer
// goes back, so a restart right after the operator was told keeps it, and its
// notice is in the outbox before that, as a firing is.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/Clock.h"
#include "base/Log.h"
#include "base/Text.h"
#include "cycle/Coupler.h"
#include "cycle/OperatorRequest.h"

namespace {

std::string nodeName(const Node& node) {
    return std::string("node ") + node.label();
}

std::string withNote(const std::string& text, const char* note) {
    return note && *note ? text + " (" + note + ")" : text;
}

}  // namespace

Node* Coupler::nodeNamed(const char* name) {
    if (!name || !*name) return nullptr;
    for (int i = 0; i < nodeCount; ++i)
        if (nodes[i].tag[0] && equalsIgnoreCase(nodes[i].tag, name)) return &nodes[i];
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

// An acknowledgement answers the alarm the operator saw: one that ended
// meanwhile, or was raised after the request was made (a request that waited
// for a start), is not the one meant, and the next episode is left alone.
bool Coupler::acknowledge(Node& node, const AckRequest& request, std::string* answer) {
    bool active = node.active && node.triggerTime != 0;
    if (request.episode != 0 && (!active || node.triggerTime != request.episode)) {
        *answer = nodeName(node) + ": the alarm raised " + formatDateTime(request.episode) +
                  " has ended, nothing acknowledged" +
                  (active ? "; the alarm active since " + formatDateTime(node.triggerTime) + " is not" : "");
        return false;
    }
    if (!active) {
        *answer = nodeName(node) + ": no active alarm, nothing acknowledged";
        return false;
    }
    if (request.madeAt != 0 && node.triggerTime > request.madeAt) {
        *answer = nodeName(node) + ": the alarm active since " + formatDateTime(node.triggerTime) +
                  " was raised after the request of " + formatDateTime(request.madeAt) +
                  ", nothing acknowledged";
        return false;
    }
    if (node.acknowledged()) {
        *answer = nodeName(node) + ": already acknowledged by " +
                  acknowledgerText(node.ack.by.c_str(), node.ack.owner.c_str(), node.ack.via.c_str()) +
                  " at " + formatDateTime(node.ack.at);
        return true;
    }
    node.ack.episode = node.triggerTime;
    node.ack.at = currentTime();
    copyText(node.ack.by, kOperatorNameSize, request.by);
    copyText(node.ack.owner, kOperatorNameSize, request.owner);
    copyText(node.ack.note, kOperatorNoteSize, request.note);
    copyText(node.ack.via, kAckViaSize, request.via ? request.via : "");
    std::string who = acknowledgerText(node.ack.by.c_str(), node.ack.owner.c_str(), node.ack.via.c_str());
    queueOperatorNotice(node, AlarmNotice::Acknowledged,
                        withNote("Acknowledged by " + who, request.note) + ": ");
    journalEvent(JournalEvent::Acknowledged, node, node.triggerTime, who.c_str());
    writeStates();
    logf(Log::Always, "%s acknowledged by %s\n", nodeName(node).c_str(), who.c_str());
    *answer =
        nodeName(node) + ": acknowledged by " + who + "; no more reminders or escalation for this alarm";
    return true;
}

// A shelve runs from when it was asked for, so one that waited for a start
// ends when the operator expected it to.
bool Coupler::shelveNode(Node& node, int seconds, int64_t from, const char* note, std::string* answer) {
    if (seconds < 1 || seconds > maxShelveSeconds) {
        *answer = nodeName(node) + ": a shelve lasts from 1 s to " + std::to_string(maxShelveSeconds) +
                  " s (coupler;maxshelve), nothing shelved";
        return false;
    }
    int64_t now = currentTime();
    int64_t until = std::min(from > 0 ? from : now, now) + seconds;
    if (until <= now) {
        *answer = nodeName(node) + ": the shelve asked for at " + formatDateTime(from) + " ended at " +
                  formatDateTime(until) + ", nothing shelved";
        return false;
    }
    node.shelve.until = until;
    copyText(node.shelve.note, kOperatorNoteSize, note);
    journalEvent(JournalEvent::Shelved, node, node.active ? node.triggerTime : 0);
    writeStates();
    logf(Log::Always, "%s shelved until %s\n", nodeName(node).c_str(),
         formatDateTime(node.shelve.until).c_str());
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
    logf(Log::Always, "%s: shelve ended\n", nodeName(node).c_str());
    journalEvent(JournalEvent::Unshelved, node, node.active ? node.triggerTime : 0);
    if (node.active && node.triggerTime != 0)
        queueOperatorNotice(node, AlarmNotice::Unshelved, "Shelve ended, still active: ");
}
