// The flood guard: a fixed window per receiver, opened by the first hand-over
// after the last one ended. A plant-wide upset then costs each guarded
// receiver at most MAX messages and one summary per window.
#include "cycle/FloodGuard.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Log.h"
#include "base/Records.h"
#include "cycle/Outbox.h"
#include "notify/Receiver.h"

namespace {

bool windowOpen(const FloodWindow& window, int64_t nowMs) {
    return window.openedMs != 0 && nowMs - window.openedMs < static_cast<int64_t>(window.seconds) * 1000;
}

// Appends `piece`, cut at a character boundary when the text would outgrow
// a notification.
void appendBounded(std::string* text, const std::string& piece) {
    const size_t limit = kTextSize - 1;
    if (text->size() >= limit) return;
    size_t room = limit - text->size();
    if (piece.size() <= room) {
        *text += piece;
        return;
    }
    while (room > 0 && (static_cast<unsigned char>(piece[room]) & 0xC0) == 0x80) --room;
    *text += piece.substr(0, room);
}

// "12 further alarms: text / text / ...".
std::string summaryText(const std::vector<const OutboxEntry*>& held) {
    std::string text =
        std::to_string(held.size()) + (held.size() == 1 ? " further alarm: " : " further alarms: ");
    for (size_t i = 0; i < held.size(); ++i) appendBounded(&text, (i ? " / " : "") + held[i]->text);
    return text;
}

OutboxEntry summaryOf(const std::vector<const OutboxEntry*>& held, int64_t nowMs) {
    const OutboxEntry& first = *held.front();
    OutboxEntry summary;
    summary.receiver = first.receiver;
    summary.receiverOccurrence = first.receiverOccurrence;
    summary.channel = first.channel;
    summary.source = first.source;
    summary.address = first.address;
    summary.triggerTime = first.triggerTime;
    summary.kind = AlarmNotice::Summary;
    summary.decidedAt = currentTime();
    summary.firedMs = nowMs;
    summary.value = held.back()->value;
    summary.text = summaryText(held);
    return summary;
}

}  // namespace

bool floodGuardAdmits(Outbox& box, const Receiver& receiver, OutboxEntry& entry, int64_t nowMs) {
    if (receiver.floodMax <= 0) return true;
    FloodWindow& window = box.floodWindow(outboxLane(entry));
    if (!windowOpen(window, nowMs)) window = FloodWindow{nowMs, 0, receiver.floodSeconds};
    if (window.handedOver < receiver.floodMax) {
        window.handedOver++;
        return true;
    }
    if (!entry.heldBack) {
        logf(Log::Always,
             "outbox, receiver %s, source %s, node %s: held back by the flood guard for the summary\n",
             entry.receiver.c_str(), entry.source.c_str(), entry.address.c_str());
        box.noteHeldBack();
    }
    entry.heldBack = true;
    return false;
}

bool summarizeHeldBack(Outbox& box, int64_t nowMs) {
    std::map<std::string, std::vector<const OutboxEntry*>> heldByLane;
    for (const OutboxEntry& entry : box.entries())
        if (entry.heldBack && !windowOpen(box.floodWindow(outboxLane(entry)), nowMs))
            heldByLane[outboxLane(entry)].push_back(&entry);
    if (heldByLane.empty()) return false;
    std::vector<OutboxEntry> summaries;
    for (auto& [lane, held] : heldByLane) {
        summaries.push_back(summaryOf(held, nowMs));
        box.floodWindow(lane).openedMs = 0;  // the summary opens the next window
    }
    auto& entries = box.entries();
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const OutboxEntry& entry) {
                                     return entry.heldBack && heldByLane.count(outboxLane(entry));
                                 }),
                  entries.end());
    for (OutboxEntry& summary : summaries) box.add(std::move(summary));
    return true;
}
