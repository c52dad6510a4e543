// The dispatch step. A fired node's notification is expanded once and put
// into the outbox, one entry per linked receiver, before the states file
// records the firing; then every due entry is handed to its receiver's
// channel, and the step returns: the network channels' transfers run on the
// sender. An entry leaves the outbox when its channel reports success (or,
// without retries, after its one attempt whatever the outcome), recorded by
// the main loop as soon as the outcome settles. So a crash between the two
// writes can neither lose a firing nor queue it twice.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>

#include "core/Clock.h"
#include "core/Coupler.h"
#include "core/StopSignal.h"
#include "core/Text.h"
#include "notify/Outbox.h"
#include "notify/Sender.h"

namespace {

constexpr int kFirstRetrySeconds = 10;
constexpr int kLongestRetrySeconds = 600;
constexpr int kIdleCheckMs = 250;  // how often a wait for the sender looks whether it is idle

// 10 s after the first failure, doubling up to 10 minutes.
int retryDelaySeconds(int failedAttempts) {
    int delay = kFirstRetrySeconds;
    for (int i = 1; i < failedAttempts && delay < kLongestRetrySeconds; ++i) delay *= 2;
    return std::min(delay, kLongestRetrySeconds);
}

const char* sourceNameOf(const Node& node) {
    return node.source ? node.source->name : "";
}

// Records one settled hand-over; false when the entry leaves the outbox.
bool keepAfterOutcome(OutboxEntry& entry, int retrySeconds, int64_t now) {
    bool delivered = entry.inFlight->delivered();
    entry.inFlight.reset();
    if (delivered || retrySeconds <= 0) return false;
    if (now - entry.triggerTime >= retrySeconds) {
        std::printf("outbox, receiver %s, source %s, node %s: given up after %d attempts\n",
                    entry.receiver.c_str(), entry.source.c_str(), entry.address.c_str(), entry.attempts);
        return false;
    }
    int delay = retryDelaySeconds(entry.attempts);
    entry.nextAttempt = now + delay;
    std::printf("outbox, receiver %s, source %s, node %s: retry in %d s\n", entry.receiver.c_str(),
                entry.source.c_str(), entry.address.c_str(), delay);
    return true;
}

// Applies the outcomes that have settled since the last look and writes the
// outbox when that changed it.
void applyOutcomes(Outbox& box, int retrySeconds) {
    int64_t now = currentTime();
    auto& entries = box.entries();
    bool changed = false;
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](OutboxEntry& entry) {
                                     if (!entry.inFlight || !entry.inFlight->settled()) return false;
                                     changed = true;
                                     return !keepAfterOutcome(entry, retrySeconds, now);
                                 }),
                  entries.end());
    if (changed) box.save();
}

// The sender's lane of a receiver: its name (case ignored, as receivers are
// matched) and which of the receivers of that name it is, so the lane stays
// the same across a reload of the configuration.
std::string laneOf(const OutboxEntry& entry) {
    std::string lane = entry.receiver;
    for (char& c : lane) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lane + "#" + std::to_string(entry.receiverOccurrence);
}

// A hand-over that a crash cut short may have reached a channel that can
// tell (a local file); then it is not made a second time.
bool deliveredBeforeTheRestart(OutboxEntry& entry, Receiver& receiver, const Node& node) {
    if (!entry.fromEarlierRun) return false;
    entry.fromEarlierRun = false;
    if (!receiver.notifier || !receiver.notifier->holdsDelivery(node, entry.text.c_str(), entry.triggerTime))
        return false;
    std::printf("outbox, receiver %s, source %s, node %s: delivered before the restart\n",
                entry.receiver.c_str(), entry.source.c_str(), entry.address.c_str());
    return true;
}

}  // namespace

void Coupler::queueNotifications() {
    if (!outbox) outbox = std::make_shared<Outbox>();
    notified = false;
    queuedThisCycle = true;
    char text[kTextSize];
    for (int i = 0; i < nodeCount; ++i) {
        Node& node = nodes[i];
        if (!node.active || node.sent) continue;
        // One expansion per node, shared by all its receivers.
        formatMessage(text, kTextSize, &node);
        for (int j = 0; j < linkCount; ++j) {
            Link& link = links[j];
            if (!node.dir || link.dir != node.dir || !link.receiver) continue;
            // After a crash between the outbox and the states write the node
            // fires again at its first read: the entry the earlier run left
            // stands, and the node takes its trigger time from it. Entries of
            // this run never absorb a firing; a new firing while an earlier
            // one is still on its way is a notification of its own.
            int occurrence = occurrenceOf(link.receiver);
            if (OutboxEntry* pending = outbox->findCarriedOver(link.receiver->name, occurrence,
                                                               sourceNameOf(node), node.address)) {
                pending->carriedOver = false;
                node.triggerTime = pending->triggerTime;
                continue;
            }
            OutboxEntry entry;
            entry.receiver = link.receiver->name;
            entry.receiverOccurrence = occurrence;
            entry.source = sourceNameOf(node);
            entry.address = node.address;
            entry.triggerTime = node.triggerTime;
            entry.text = text;
            entry.value = node.value;
            outbox->add(std::move(entry));
            notified = true;
        }
        // Each firing is decided once; what becomes of it is the outbox's.
        node.sent = true;
    }
    outbox->save();
}

void Coupler::dispatchNotifications() {
    if (!queuedThisCycle) queueNotifications();
    queuedThisCycle = false;
    int64_t now = currentTime();
    SourceEntry standInSource;
    for (OutboxEntry& entry : outbox->entries()) {
        // Asked to stop, the program hands over nothing more; the rest waits
        // in the outbox for the next start.
        if (stopRequested()) break;
        if (entry.inFlight || entry.nextAttempt > now) continue;
        Receiver* receiver = findReceiver(entry.receiver.c_str(), entry.receiverOccurrence);
        if (!receiver) continue;
        // The channel sees the node as it was when it fired; a node this
        // configuration no longer has is stood in for.
        SourceEntry* source = findSource(entry.source.c_str());
        Node* current = findNode(entry.address.c_str(), source, false);
        Node node = current ? *current : Node{};
        if (!current) {
            copyText(standInSource.name, entry.source.c_str());
            node.source = &standInSource;
            copyText(node.address, entry.address.c_str());
        }
        node.value = entry.value;
        node.triggerTime = entry.triggerTime;
        entry.inFlight = std::make_shared<Delivery>(laneOf(entry));
        if (deliveredBeforeTheRestart(entry, *receiver, node)) {
            entry.inFlight->settle(true);
            continue;
        }
        entry.attempts++;
        if (!receiver->notify(node, entry.text.c_str(), entry.inFlight) && !entry.inFlight->settled())
            entry.inFlight->settle(false);
    }
    // The file channel's outcomes and the refused hand-overs are known now;
    // the sender's come later and are recorded by recordOutcomes.
    applyOutcomes(*outbox, retrySeconds);
}

void Coupler::recordOutcomes() {
    if (outbox) applyOutcomes(*outbox, retrySeconds);
}

void Coupler::adoptOutbox(std::shared_ptr<Outbox> box) {
    outbox = std::move(box);
    auto& entries = outbox->entries();
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const OutboxEntry& entry) {
                                     if (entry.inFlight ||
                                         findReceiver(entry.receiver.c_str(), entry.receiverOccurrence))
                                         return false;
                                     std::printf(
                                         "outbox, receiver %s no longer configured: notification of "
                                         "source %s, node %s dropped\n",
                                         entry.receiver.c_str(), entry.source.c_str(), entry.address.c_str());
                                     return true;
                                 }),
                  entries.end());
    outbox->save();
}

void Coupler::finishDeliveries(int64_t deadlineMs) {
    if (!outbox) return;
    for (;;) {
        uint64_t seen = settlementCount();
        // Idle is taken before the outcomes are applied: a transfer settles
        // before it leaves the sender, so then every outcome is there to apply.
        bool idle = sender().pending() == 0;
        applyOutcomes(*outbox, retrySeconds);
        if (idle || steadyMs() >= deadlineMs) return;
        waitForSettlement(std::min(deadlineMs, steadyMs() + kIdleCheckMs), seen);
    }
}
