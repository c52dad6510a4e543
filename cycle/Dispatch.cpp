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
#include <set>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Log.h"
#include "base/StopSignal.h"
#include "base/Text.h"
#include "base/ValueText.h"
#include "cycle/AlarmJournal.h"
#include "cycle/Coupler.h"
#include "cycle/FloodGuard.h"
#include "cycle/Ladder.h"
#include "cycle/Metrics.h"
#include "cycle/OperatorRequest.h"
#include "cycle/Outbox.h"
#include "cycle/PhoneReplies.h"
#include "cycle/StatesFile.h"
#include "notify/ChannelWork.h"
#include "notify/Sender.h"

namespace {

constexpr int kFirstRetrySeconds = 10;
constexpr int kLongestRetrySeconds = 600;
// A configuration saved in two writes may lack a receiver for a moment: what
// waits for it is dropped only once it has been missing this long.
constexpr int64_t kMissingReceiverGraceMs = int64_t{60} * 1000;
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

// The steady-clock moment of a firing at wall time `triggerTime`.
int64_t firedMsOf(int64_t triggerTime) {
    int64_t age = std::max<int64_t>(currentTime() - triggerTime, 0);
    return steadyMs() - age * 1000;
}

// The receiver an entry waits for: the one of that name and address line.
// When the address line of the one receiver of that name was changed (a
// mended URL or mail address), what waits for it still goes there. Entries
// of older files, without an address fingerprint, go by their position among
// the receivers of that name.
Receiver* receiverFor(Coupler& coupler, const OutboxEntry& entry) {
    if (entry.channel.empty()) return coupler.findReceiver(entry.receiver.c_str(), entry.receiverOccurrence);
    Receiver* onlyOfName = nullptr;
    int ofName = 0;
    for (int i = 0; i < coupler.receiverCount; ++i) {
        Receiver& receiver = coupler.receivers[i];
        if (!equalsIgnoreCase(receiver.name, entry.receiver.c_str())) continue;
        if (channelFingerprint(receiver.addressLine) == entry.channel) return &receiver;
        onlyOfName = &receiver;
        ++ofName;
    }
    return ofName == 1 ? onlyOfName : nullptr;
}

// Notes since when each entry's receiver is missing from the configuration.
void markMissingReceivers(Coupler& coupler) {
    int64_t nowMs = steadyMs();
    for (OutboxEntry& entry : coupler.outbox->entries()) {
        if (receiverFor(coupler, entry))
            entry.missingSinceMs = 0;
        else if (entry.missingSinceMs == 0)
            entry.missingSinceMs = nowMs;
    }
}

// The wait before the next attempt: the one the channel's server asked for,
// within the longest back-off, or the back-off itself.
int nextRetryDelay(const Delivery& outcome, int failedAttempts) {
    int asked = outcome.retryAfterSeconds();
    if (asked > 0) return std::min(asked, kLongestRetrySeconds);
    return retryDelaySeconds(failedAttempts);
}

// The channel of the receiver an entry waits for, as the metrics name it.
std::string channelOf(Coupler& coupler, const OutboxEntry& entry) {
    Receiver* receiver = receiverFor(coupler, entry);
    return receiver ? channelKindName(receiver->channelKind) : "unknown";
}

// Counts a settled hand-over and records it in the journal.
void noteOutcome(Coupler& coupler, const OutboxEntry& entry, NotificationOutcome outcome) {
    if (coupler.metrics)
        coupler.metrics->countNotification(entry.receiver, channelOf(coupler, entry), outcome);
    if (noteDrillOutcome(coupler, entry, outcome)) return;  // journalled as drills, not as alarms
    if (outcome == NotificationOutcome::Failed || !coupler.journal || !coupler.journal->enabled()) return;
    JournalRecord record;
    record.time = currentTime();
    record.event =
        outcome == NotificationOutcome::Delivered ? JournalEvent::Delivered : JournalEvent::GivenUp;
    record.source = entry.source;
    record.node = entry.address;
    record.value = formatValue(entry.value, true);
    record.receiver = entry.receiver;
    record.episode = entry.triggerTime;
    coupler.journal->record(record);
}

// Drops, each with a line, the entries whose receiver has been missing for
// the grace time, or all whose receiver is missing when `atOnce`; true when
// it dropped one.
bool dropMissingReceivers(Coupler& coupler, bool atOnce) {
    int64_t nowMs = steadyMs();
    auto& entries = coupler.outbox->entries();
    size_t before = entries.size();
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const OutboxEntry& entry) {
                                     if (entry.inFlight || entry.missingSinceMs == 0) return false;
                                     if (!atOnce && nowMs - entry.missingSinceMs < kMissingReceiverGraceMs)
                                         return false;
                                     logf(Log::Always,
                                          "outbox, receiver %s no longer configured: notification of "
                                          "source %s, node %s dropped\n",
                                          entry.receiver.c_str(), entry.source.c_str(),
                                          entry.address.c_str());
                                     noteOutcome(coupler, entry, NotificationOutcome::GivenUp);
                                     return true;
                                 }),
                  entries.end());
    return entries.size() != before;
}

// A receiver hears of one node's notices in the order they were decided: the
// entries of a receiver and node form a queue, in outbox order.
std::string deliveryQueueOf(const OutboxEntry& entry) {
    std::string key = outboxLane(entry) + '\n' + entry.source + '\n' + entry.address;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

// Gives up an entry that waited behind one given up: told after it, the
// later notice would contradict what the receiver last heard.
void giveUpBehind(Coupler& coupler, const OutboxEntry& entry) {
    logf(Log::Always, "outbox, receiver %s, source %s, node %s: given up with the notice before it\n",
         entry.receiver.c_str(), entry.source.c_str(), entry.address.c_str());
    noteOutcome(coupler, entry, NotificationOutcome::GivenUp);
}

// Records one settled hand-over; false when the entry leaves the outbox.
// The retry window and the delay follow elapsed time, not the wall clock.
bool keepAfterOutcome(Coupler& coupler, OutboxEntry& entry, int64_t nowMs) {
    int retrySeconds = coupler.retrySeconds;
    bool delivered = entry.inFlight->delivered();
    int delay = nextRetryDelay(*entry.inFlight, entry.attempts);
    entry.inFlight.reset();
    if (delivered || retrySeconds <= 0) {
        noteOutcome(coupler, entry,
                    delivered ? NotificationOutcome::Delivered : NotificationOutcome::GivenUp);
        return false;
    }
    if (nowMs - entry.firedMs >= static_cast<int64_t>(retrySeconds) * 1000) {
        logf(Log::Always, "outbox, receiver %s, source %s, node %s: given up after %d attempts\n",
             entry.receiver.c_str(), entry.source.c_str(), entry.address.c_str(), entry.attempts);
        noteOutcome(coupler, entry, NotificationOutcome::GivenUp);
        return false;
    }
    noteOutcome(coupler, entry, NotificationOutcome::Failed);
    entry.dueMs = nowMs + static_cast<int64_t>(delay) * 1000;
    entry.nextAttempt = currentTime() + delay;
    logf(Log::Always, "outbox, receiver %s, source %s, node %s: retry in %d s\n", entry.receiver.c_str(),
         entry.source.c_str(), entry.address.c_str(), delay);
    return true;
}

// Applies the outcomes that have settled since the last look. The outbox is
// written when that changed it: at once after a write that only added
// entries, otherwise together with the outcomes that settle within a second
// of the last removal, so a drain does not rewrite it per entry. An entry
// whose retries ran out takes the entries waiting behind it along.
void applyOutcomes(Coupler& coupler) {
    Outbox& box = *coupler.outbox;
    int64_t now = steadyMs();
    auto& entries = box.entries();
    bool changed = false;
    std::set<std::string> givenUp;
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](OutboxEntry& entry) {
                                     if (!entry.inFlight && givenUp.count(deliveryQueueOf(entry))) {
                                         giveUpBehind(coupler, entry);
                                         return changed = true;
                                     }
                                     if (!entry.inFlight || !entry.inFlight->settled()) return false;
                                     changed = true;
                                     bool failed = !entry.inFlight->delivered();
                                     if (keepAfterOutcome(coupler, entry, now)) return false;
                                     if (failed && coupler.retrySeconds > 0)
                                         givenUp.insert(deliveryQueueOf(entry));
                                     return true;
                                 }),
                  entries.end());
    if (changed) box.saveBatched();
}

// A hand-over that a crash cut short may have reached a channel that can
// tell (a local file); then it is not made a second time.
bool deliveredBeforeTheRestart(OutboxEntry& entry, Receiver& receiver, const Notification& notification) {
    if (!entry.fromEarlierRun) return false;
    entry.fromEarlierRun = false;
    if (!receiver.notifier || !receiver.notifier->holdsDelivery(notification, entry.decidedAt)) return false;
    logf(Log::Always, "outbox, receiver %s, source %s, node %s: delivered before the restart\n",
         entry.receiver.c_str(), entry.source.c_str(), entry.address.c_str());
    return true;
}

// A stale value says so; any other is told as it always was, without a
// quality (a node is read before it notifies, so it is never "never read").
std::string qualityToTell(const Node& node) {
    return node.lastRead != 0 && node.readError != 0 ? "stale" : "";
}

// What the channel is told of an entry: the source and the node as this
// configuration has them (the password, the kind, how the value prints), the
// value, firing and text the entry keeps. Of a node this configuration no
// longer has, only what the entry names.
Notification notificationOf(Coupler& coupler, const OutboxEntry& entry) {
    Notification notification;
    notification.sourceName = entry.source;
    notification.address = entry.address;
    notification.value = entry.value;
    notification.triggerTime = entry.triggerTime;
    notification.decidedAt = entry.decidedAt;
    notification.text = entry.text;
    SourceEntry* source = coupler.findSource(entry.source.c_str());
    const Node* node = coupler.findNode(entry.address.c_str(), source, false);
    if (node) {
        // The entry keeps the node's address as it was configured then; the
        // node's own spelling is the one its channels always showed.
        notification.address = node->address;
        notification.tag = node->tag;
        if (node->source) {
            notification.sourceName = node->source->name;
            notification.sourcePassword = node->source->pass;
        }
        notification.kind = node->info ? NotificationKind::Info : NotificationKind::Message;
        notification.keepsDecimals = node->keepsDecimals();
        notification.quality = qualityToTell(*node);
    }
    // A node with an "alarm" line tells each notice's state, and so does a
    // flood guard's summary; the notices of other nodes are sent as they
    // always were. The episode is the firing that started the alarm.
    if ((node && node->alarm.enabled) || entry.kind != AlarmNotice::Raise) {
        notification.state = alarmNoticeName(entry.kind);
        if (entry.triggerTime > 0) notification.episode = static_cast<uint64_t>(entry.triggerTime);
    }
    return notification;
}

// After a crash, or an outbox that could not be written, between the outbox
// and the states write, the node fires again at its first evaluation: the
// entry left for this receiver stands, and the node takes its trigger time
// from it. Any later firing is a notification of its own. A clear or a
// reminder is matched the same way, by its kind.
OutboxEntry* carriedOverFor(Coupler& coupler, const Receiver* receiver, const Node& node, AlarmNotice kind,
                            int64_t episode) {
    for (OutboxEntry& entry : coupler.outbox->entries())
        if (entry.carriedOver && entry.kind == kind && entry.ladderRung < 0 &&
            entry.sameNode(sourceNameOf(node), node.address) &&
            (kind == AlarmNotice::Raise || entry.triggerTime == episode) &&
            receiverFor(coupler, entry) == receiver)
            return &entry;
    return nullptr;
}

// One notice of a node's alarm episode that started at `episode`.
struct Notice {
    AlarmNotice kind;
    int64_t episode;
    const char* text;     // the template
    const char* lead;     // put before the expanded text; empty for the plant's own notices
    GroupSet groups = 0;  // a ladder step's: the groups it pages
    int rung = -1;        // a ladder step's, as the outbox keeps it
};

// The group an unacknowledged alarm of `group` is sent on to; null when none.
DirEntry* escalationOf(const Coupler& coupler, const DirEntry* group) {
    for (int i = 0; i < coupler.escalationCount; ++i)
        if (group && coupler.escalations[i].from == group) return coupler.escalations[i].to;
    return nullptr;
}

// Whom a notice reaches through `link`: the node's group; once its episode
// was escalated, the second group too, and the groups its ladder paged; an
// escalation only the second group, a ladder step only its groups on duty;
// an acknowledgement only the links that asked for it.
bool reaches(const Coupler& coupler, const Node& node, const Notice& notice, const Link& link) {
    if (!link.receiver || !node.dir) return false;
    if (notice.rung >= 0) return (notice.groups & groupBit(coupler, link.dir)) != 0;
    const DirEntry* second = escalationOf(coupler, node.dir);
    if (notice.kind == AlarmNotice::Escalated) return second && link.dir == second;
    bool escalated = second && notice.episode != 0 && node.escalatedEpisode == notice.episode;
    bool laddered = notice.episode != 0 && node.ladder.episode == notice.episode &&
                    (node.ladder.reached & groupBit(coupler, link.dir)) != 0;
    bool inGroup = link.dir == node.dir || (escalated && link.dir == second) || laddered;
    if (notice.kind == AlarmNotice::Acknowledged) return inGroup && link.acknowledged;
    return inGroup;
}

// A receiver linked to both groups hears of a notice once.
bool reachedBefore(const Coupler& coupler, const Node& node, const Notice& notice, int linkIndex) {
    for (int j = 0; j < linkIndex; ++j)
        if (coupler.links[j].receiver == coupler.links[linkIndex].receiver &&
            reaches(coupler, node, notice, coupler.links[j]))
            return true;
    return false;
}

// One expansion per notice, one entry per receiver it reaches.
void queueNotice(Coupler& coupler, Node& node, const Notice& notice, char* text) {
    int64_t now = currentTime();
    NoticeContext context{notice.kind, now - notice.episode, node.alarmState.reminders};
    coupler.formatTemplate(text, kTextSize, &node, notice.text, node.alarm.enabled ? &context : nullptr);
    std::string full = std::string(notice.lead) + text;
    if (full.size() >= static_cast<size_t>(kTextSize)) full.resize(kTextSize - 1);
    int64_t decidedAt = notice.kind == AlarmNotice::Raise ? notice.episode : now;
    for (int j = 0; j < coupler.linkCount; ++j) {
        Link& link = coupler.links[j];
        if (!reaches(coupler, node, notice, link) || reachedBefore(coupler, node, notice, j)) continue;
        if (OutboxEntry* pending =
                carriedOverFor(coupler, link.receiver, node, notice.kind, notice.episode)) {
            pending->carriedOver = false;
            if (notice.kind == AlarmNotice::Raise) node.triggerTime = pending->triggerTime;
            continue;
        }
        OutboxEntry entry;
        entry.receiver = link.receiver->name;
        entry.receiverOccurrence = coupler.occurrenceOf(link.receiver);
        entry.channel = channelFingerprint(link.receiver->addressLine);
        entry.source = sourceNameOf(node);
        entry.address = node.address;
        entry.triggerTime = notice.episode;
        entry.kind = notice.kind;
        entry.decidedAt = decidedAt;
        entry.firedMs = firedMsOf(decidedAt);
        entry.text = full;
        entry.value = node.value;
        entry.ladderRung = notice.rung;
        coupler.outbox->add(std::move(entry));
        coupler.notified = true;
    }
}

// The node's state after `change`, as tellNodeState tells it.
Notification stateOf(Coupler& coupler, Node& node, const Notice& change, char* text) {
    NoticeContext context{change.kind, currentTime() - change.episode, node.alarmState.reminders};
    coupler.formatTemplate(text, kTextSize, &node, change.text, node.alarm.enabled ? &context : nullptr);
    Notification state;
    state.sourceName = sourceNameOf(node);
    state.address = node.address;
    state.tag = node.tag;
    state.value = node.value;
    state.keepsDecimals = node.keepsDecimals();
    state.kind = node.info ? NotificationKind::Info : NotificationKind::Message;
    state.triggerTime = change.episode;
    state.text = std::string(change.lead) + text;
    state.state = alarmNoticeName(change.kind);
    state.episode = static_cast<uint64_t>(change.episode);
    state.quality = qualityToTell(node);
    return state;
}

// Each change of a node's state (raised, acknowledged, back to normal) is
// told to every receiver of its groups, whatever notices that receiver gets:
// a channel that shows the state (MQTT's retained topic) would otherwise keep
// one the node has left, after a silent re-arm, a clear without a normal
// text, while shelved or folded into a flood summary.
void tellNodeState(Coupler& coupler, Node& node, const Notice& change, char* text) {
    Notification state = stateOf(coupler, node, change, text);
    // Reached as a raise is: the whole group, not only who asked for the notice.
    const Notice group{AlarmNotice::Raise, change.episode, change.text, change.lead};
    for (int j = 0; j < coupler.linkCount; ++j) {
        Receiver* receiver = coupler.links[j].receiver;
        if (!reaches(coupler, node, group, coupler.links[j]) || reachedBefore(coupler, node, group, j))
            continue;
        if (receiver->notifier) receiver->notifier->tellState(state);
    }
}

// The active alarms of each receiver whose channel mirrors them
// (Notifier::mirrorActive): the nodes raised and sent to its groups and not
// yet back to normal, unless shelved, each with its raise's text, an
// acknowledged one as its acknowledgement. Read from the node table, which
// the states file keeps, so a restart goes on mirroring what is active.
void mirrorActiveAlarms(Coupler& coupler) {
    int64_t now = currentTime();
    char text[kTextSize];
    for (int r = 0; r < coupler.receiverCount; ++r) {
        Receiver& receiver = coupler.receivers[r];
        if (!receiver.notifier || !receiver.notifier->mirrorDue(now)) continue;
        std::vector<Notification> active;
        for (int i = 0; i < coupler.nodeCount; ++i) {
            Node& node = coupler.nodes[i];
            if (!node.active || !node.sent || node.shelvedAt(now)) continue;
            const Notice raise{AlarmNotice::Raise, node.triggerTime, node.message.c_str(), ""};
            bool reached = false;
            for (int j = 0; j < coupler.linkCount && !reached; ++j)
                reached =
                    coupler.links[j].receiver == &receiver && reaches(coupler, node, raise, coupler.links[j]);
            if (!reached) continue;
            std::string lead =
                "Acknowledged by " +
                acknowledgerText(node.ack.by.c_str(), node.ack.owner.c_str(), node.ack.via.c_str()) + ": ";
            active.push_back(node.acknowledged() ? stateOf(coupler, node,
                                                           {AlarmNotice::Acknowledged, node.triggerTime,
                                                            node.message.c_str(), lead.c_str()},
                                                           text)
                                                 : stateOf(coupler, node, raise, text));
        }
        receiver.notifier->mirrorActive(active, now);
    }
}

// A link lost or back changes no alarm, but a channel that shows the state
// shows whether its value is the device's present one: the state it is in
// is told again, with its quality, when its reads start or stop failing.
void tellIfStaleChanged(Coupler& coupler, Node& node, char* text) {
    bool stale = node.lastRead != 0 && node.readError != 0;
    if (stale == node.staleTold) return;
    node.staleTold = stale;
    if (node.active)
        tellNodeState(coupler, node, {AlarmNotice::Raise, node.triggerTime, node.message.c_str(), ""}, text);
    else
        tellNodeState(coupler, node, {AlarmNotice::Clear, 0, node.alarm.normal.c_str(), ""}, text);
}

// An alarm of a group with an escalation line that nobody acknowledged
// within the delay goes to the second group, once per episode.
void escalateIfDue(Coupler& coupler, Node& node, int64_t now, char* text) {
    if (!node.active || !node.sent || node.acknowledged() || node.escalated()) return;
    for (int i = 0; i < coupler.escalationCount; ++i) {
        const Escalation& escalation = coupler.escalations[i];
        if (escalation.from != node.dir || now - node.triggerTime < escalation.delaySeconds) continue;
        node.escalatedEpisode = node.triggerTime;
        logf(Log::Always, "node %s: not acknowledged within %d s, sent on to group %s\n", node.address,
             escalation.delaySeconds, escalation.to->name);
        queueNotice(coupler, node, {AlarmNotice::Escalated, node.triggerTime, node.message.c_str(), ""},
                    text);
        return;
    }
}

// An alarm of a group with a ladder that nobody acknowledged climbs it: each
// step due goes to its groups on duty.
void climbIfDue(Coupler& coupler, Node& node, int64_t now, char* text) {
    if (!node.active || !node.sent || node.acknowledged() || !ladderOf(coupler, node.dir)) return;
    for (const LadderRung& rung : climbLadder(coupler, coupler.outbox.get(), node, now)) {
        logf(Log::Always, "node %s: not acknowledged, ladder step %d of round %d\n", node.address,
             rung.step + 1, rung.round + 1);
        queueNotice(coupler, node,
                    {AlarmNotice::Escalated, node.triggerTime, node.message.c_str(), "", rung.groups,
                     rungKey(rung.round, rung.step)},
                    text);
    }
}

// The raise of an alarm with a ladder goes to the groups of the steps due at
// once (a first step "0:GROUP") too, as one raise.
void queueRaise(Coupler& coupler, Node& node, int64_t now, char* text) {
    int64_t episode = node.triggerTime;
    if (ladderOf(coupler, node.dir)) climbLadder(coupler, coupler.outbox.get(), node, now);
    queueNotice(coupler, node, {AlarmNotice::Raise, node.triggerTime, node.message.c_str(), ""}, text);
    // A raise a crash left in the outbox gives the node that entry's trigger time.
    if (node.ladder.episode == episode) node.ladder.episode = node.triggerTime;
}

// The raise of a fired node, and the clear and reminder its alarm decided.
// Each is decided once; what becomes of it is the outbox's. A shelved node
// decides them as ever and sends none of them.
void queueNode(Coupler& coupler, Node& node, char* text) {
    int64_t now = currentTime();
    if (node.shelve.until != 0 && !node.shelvedAt(now)) coupler.endShelve(node);
    bool shelved = node.shelvedAt(now);
    bool raised = node.active && !node.sent;
    if (raised) {
        // A range condition tells of the instrument, not the process.
        coupler.journalEvent(
            node.trigger.kind == ConditionKind::Range ? JournalEvent::SensorSuspect : JournalEvent::Raised,
            node, node.triggerTime);
        if (!shelved) queueRaise(coupler, node, now, text);
        node.sent = true;
    }
    AlarmState& state = node.alarmState;
    if (state.clearedEpisode != 0) coupler.journalEvent(JournalEvent::Cleared, node, state.clearedEpisode);
    // The episode that ended comes before the one that began, so the state ends active.
    if (state.clearedEpisode != 0)
        tellNodeState(coupler, node,
                      {AlarmNotice::Clear, state.clearedEpisode, node.alarm.normal.c_str(), ""}, text);
    if (raised)
        tellNodeState(coupler, node, {AlarmNotice::Raise, node.triggerTime, node.message.c_str(), ""}, text);
    if (state.clearedEpisode != 0 && !node.alarm.normal.empty() && !shelved)
        queueNotice(coupler, node, {AlarmNotice::Clear, state.clearedEpisode, node.alarm.normal.c_str(), ""},
                    text);
    state.clearedEpisode = 0;
    if (state.reminderDue && !shelved) {
        coupler.journalEvent(JournalEvent::Reminder, node, node.triggerTime);
        queueNotice(coupler, node, {AlarmNotice::Reminder, node.triggerTime, node.message.c_str(), ""}, text);
    }
    state.reminderDue = false;
    if (!shelved) escalateIfDue(coupler, node, now, text);
    if (!shelved) climbIfDue(coupler, node, now, text);
    tellIfStaleChanged(coupler, node, text);
}

// An acknowledgement stops the ladder: its steps still waiting in the outbox
// are not sent.
void dropLadderSteps(Coupler& coupler, const Node& node) {
    auto& entries = coupler.outbox->entries();
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const OutboxEntry& entry) {
                                     if (entry.ladderRung < 0 || entry.inFlight ||
                                         entry.triggerTime != node.triggerTime ||
                                         !entry.sameNode(sourceNameOf(node), node.address))
                                         return false;
                                     logf(Log::Always,
                                          "outbox, receiver %s, node %s: ladder step dropped, acknowledged\n",
                                          entry.receiver.c_str(), entry.address.c_str());
                                     return true;
                                 }),
                  entries.end());
}

}  // namespace

void Coupler::queueNotifications() {
    if (!outbox) outbox = std::make_shared<Outbox>();
    notified = false;
    queuedThisCycle = true;
    char text[kTextSize];
    queueDrills(*this, currentTime());
    for (int i = 0; i < nodeCount; ++i) {
        Node& node = nodes[i];
        queueNode(*this, node, text);
        if (node.evaluated) outbox->endCarryOver(sourceNameOf(node), node.address);
    }
    outbox->reportDropped();
    // A new firing is in the file before the states file records it; entries
    // that only left wait for their batch.
    if (outbox->holdsUnsaved())
        outbox->save();
    else
        outbox->saveBatched();
    // A firing whose entry the file does not hold is not recorded in the
    // states file yet: a restart then sees the node fire again instead of
    // losing the notification.
    for (int i = 0; i < nodeCount; ++i) {
        Node& node = nodes[i];
        node.unrecordedFiring =
            node.triggerTime != 0 && outbox->holdsUnsaved(sourceNameOf(node), node.address, node.triggerTime);
    }
}

void Coupler::queueOperatorNotice(Node& node, AlarmNotice kind, const std::string& lead) {
    if (!outbox) outbox = std::make_shared<Outbox>();
    char text[kTextSize];
    const Notice notice{kind, node.triggerTime, node.message.c_str(), lead.c_str()};
    if (kind == AlarmNotice::Acknowledged) tellNodeState(*this, node, notice, text);
    if (kind == AlarmNotice::Acknowledged) dropLadderSteps(*this, node);
    queueNotice(*this, node, notice, text);
    outbox->save();
}

void Coupler::dispatchNotifications() {
    if (!queuedThisCycle) queueNotifications();
    queuedThisCycle = false;
    int64_t nowMs = steadyMs();
    bool summarized = summarizeHeldBack(*outbox, nowMs);
    if (dropMissingReceivers(*this, false) || summarized) outbox->save();
    // The queues of receiver and node that hold an entry still waiting or
    // under way: what comes later in them waits its turn, so a retried raise
    // is never overtaken by its clear. What the flood guard holds back for
    // its summary is no longer in the line.
    std::set<std::string> occupied;
    for (OutboxEntry& entry : outbox->entries()) {
        // Asked to stop, the program hands over nothing more; the rest waits
        // in the outbox for the next start.
        if (stopRequested()) break;
        if (entry.heldBack) continue;
        if (!occupied.insert(deliveryQueueOf(entry)).second) continue;
        if (entry.inFlight || entry.dueMs > nowMs) continue;
        Receiver* receiver = receiverFor(*this, entry);
        if (!receiver) continue;
        if (!floodGuardAdmits(*outbox, *receiver, entry, nowMs)) {
            occupied.erase(deliveryQueueOf(entry));
            continue;
        }
        Notification notification = notificationOf(*this, entry);
        offerReplies(*this, *receiver, &notification);
        entry.inFlight = std::make_shared<Delivery>(outboxLane(entry));
        if (deliveredBeforeTheRestart(entry, *receiver, notification)) {
            entry.inFlight->settle(true);
        } else {
            entry.attempts++;
            notification.attempt = entry.attempts;
            notification.textShown = entry.textShown;
            entry.textShown = true;
            if (!receiver->notify(notification, entry.inFlight) && !entry.inFlight->settled())
                entry.inFlight->settle(false);
        }
        // A channel that delivers while it is called (a local file) frees its
        // queue at once: the next notice of the node goes in the same pass.
        if (entry.inFlight->settled() && entry.inFlight->delivered()) occupied.erase(deliveryQueueOf(entry));
    }
    mirrorActiveAlarms(*this);
    // Only the outbox had to be on the disk before the hand-over; the states
    // file follows now, before any entry can leave the outbox.
    writeDeferredStates(*this);
    // The file channel's outcomes and the refused hand-overs are known now;
    // the sender's come later and are recorded by recordOutcomes.
    applyOutcomes(*this);
    // What the flood guard holds back is in the file at once, so a restart
    // still sends it as the summary it is to be.
    if (outbox->heldBackUnwritten()) outbox->save();
}

void Coupler::endCarryOverOfRecordedFirings() {
    if (!outbox) return;
    for (int i = 0; i < nodeCount; ++i) {
        const Node& node = nodes[i];
        if (!node.evaluated)
            outbox->endCarryOverRecorded(sourceNameOf(node), node.address, node.triggerTime, node.lastRead);
    }
}

void Coupler::recordOutcomes() {
    if (!outbox) return;
    applyOutcomes(*this);
    outbox->saveIfDue();
}

void Coupler::adoptOutbox(std::shared_ptr<Outbox> box) {
    outbox = std::move(box);
    markMissingReceivers(*this);
    // A firing the file could not take is not in the states file either: the
    // node's first evaluation under this configuration may be that firing.
    for (OutboxEntry& entry : outbox->entries())
        if (!entry.saved) entry.carriedOver = true;
    dropMissingReceivers(*this, false);
    outbox->save();
}

void Coupler::finishDeliveries(int64_t deadlineMs) {
    if (!outbox) return;
    for (;;) {
        uint64_t seen = settlementCount();
        // Idle is taken before the outcomes are applied: a transfer settles
        // before it leaves the sender, so then every outcome is there to apply.
        bool idle = sender().pending() == 0 && channelWorkPending() == 0;
        applyOutcomes(*this);
        if (idle || steadyMs() >= deadlineMs) break;
        outbox->saveIfDue();
        int64_t wakeMs = std::min(deadlineMs, steadyMs() + kIdleCheckMs);
        int64_t saveInMs = outbox->msUntilBatchedSave();
        if (saveInMs >= 0) wakeMs = std::min(wakeMs, steadyMs() + saveInMs);
        waitForSettlement(wakeMs, seen);
    }
    // The run ends here: what settled is written now, not a second later.
    outbox->save();
    // A run its run mode ends (single, trigger) has seen all of its
    // configuration it will: what has no receiver in it goes now. Stopped by
    // a signal, the program keeps it for the next start.
    if (stopRequested()) return;
    if (dropMissingReceivers(*this, true)) outbox->save();
}

void Coupler::journalEvent(JournalEvent event, const Node& node, int64_t episode, const char* receiver) {
    if (!journal || !journal->enabled()) return;
    JournalRecord record;
    record.time = currentTime();
    record.event = event;
    record.source = sourceNameOf(node);
    record.node = node.address;
    record.tag = node.tag;
    record.value = formatValue(node.value, node.keepsDecimals());
    record.receiver = receiver ? receiver : "";
    record.episode = episode;
    journal->record(record);
}
