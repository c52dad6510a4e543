// The daily drill: when it is due, what it sends where, how its outcome is
// kept, and the alarm a drill that was not delivered raises.
#include "cycle/Drill.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <limits>

#include "base/Clock.h"
#include "base/DurableFile.h"
#include "base/Log.h"
#include "base/RecordText.h"
#include "base/Text.h"
#include "cycle/AlarmJournal.h"
#include "cycle/Coupler.h"
#include "cycle/Metrics.h"
#include "cycle/Outbox.h"

namespace {

constexpr mode_t kDrillFileMode = 0644;
constexpr RecordLimits kDrillRecord{200, 4};
constexpr const char* kStandardText = "Daily drill: a test notice from Zentok, no action needed";

std::string lowerCase(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// "HH:MM" or "HH:MM:SS"; -1 for anything else.
int readTimeOfDay(const char* text) {
    int hours = -1, minutes = -1, seconds = 0, used = 0;
    int fields = std::sscanf(text, "%2d:%2d%n:%2d%n", &hours, &minutes, &used, &seconds, &used);
    if (fields < 2 || text[used] != 0) return -1;
    if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59 || seconds < 0 || seconds > 59) return -1;
    return hours * 3600 + minutes * 60 + seconds;
}

bool localDay(int64_t now, std::string* day, int* secondOfDay) {
    time_t clock = static_cast<time_t>(now);
    struct tm local {};
    if (!localtime_r(&clock, &local)) return false;
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    *day = text;
    *secondOfDay = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    return true;
}

const char* outcomeWord(DrillRecord::Outcome outcome) {
    if (outcome == DrillRecord::Outcome::Delivered) return "delivered";
    if (outcome == DrillRecord::Outcome::Failed) return "failed";
    return "sent";
}

// The file is small and read once per load; a damaged record is passed over,
// so its receiver is drilled as if it never was.
void loadBook(DrillBook& book) {
    book.loaded = true;
    book.byReceiver.clear();
    std::string text;
    if (!readWholeFile(book.path, 1 << 20, &text)) return;
    RecordReader reader(text, kDrillRecord);
    std::vector<std::string> fields;
    while (reader.next(&fields)) {
        if (!reader.whole() || fields.size() < 3 || fields[1].size() != 10) continue;
        DrillRecord record;
        record.day = fields[1];
        record.outcome = fields[2] == "delivered" ? DrillRecord::Outcome::Delivered
                         : fields[2] == "failed"  ? DrillRecord::Outcome::Failed
                                                  : DrillRecord::Outcome::Sent;
        book.byReceiver[lowerCase(fields[0])] = record;
    }
}

void saveBook(const DrillBook& book) {
    std::string text;
    for (const auto& entry : book.byReceiver) {
        appendQuoted(&text, entry.first);
        text += ';' + entry.second.day + ';' + outcomeWord(entry.second.outcome) + '\n';
    }
    std::string error;
    if (!replaceFileByRename(book.path, text, kDrillFileMode, &error))
        logf(Log::Always, "drill file '%s' not writable, err '%s'\n", book.path.c_str(), error.c_str());
}

DrillBook& bookOf(Coupler& coupler) {
    if (!coupler.drills.loaded) loadBook(coupler.drills);
    return coupler.drills;
}

void record(Coupler& coupler, JournalEvent event, const std::string& receiver, int64_t episode) {
    if (!coupler.journal || !coupler.journal->enabled()) return;
    JournalRecord line;
    line.time = currentTime();
    line.event = event;
    line.node = event == JournalEvent::DrillFailed ? kDrillFailedAddress : kDrillAddress;
    line.value = "0";
    line.receiver = receiver;
    line.episode = episode;
    coupler.journal->record(line);
}

void queueEntry(Coupler& coupler, Receiver& receiver, const char* address, const std::string& text,
                int64_t now) {
    OutboxEntry entry;
    entry.receiver = receiver.name;
    entry.receiverOccurrence = coupler.occurrenceOf(&receiver);
    entry.channel = channelFingerprint(receiver.addressLine);
    entry.address = address;
    entry.triggerTime = now;
    entry.decidedAt = now;
    entry.firedMs = steadyMs();
    entry.text = text;
    coupler.outbox->add(std::move(entry));
    coupler.notified = true;
}

// A drill of this receiver that an earlier run put in the outbox today and
// could not record before it ended: it stands, and is recorded now.
bool drillWaiting(Coupler& coupler, const Receiver& receiver, const std::string& today) {
    for (const OutboxEntry& entry : coupler.outbox->entries()) {
        std::string day;
        int second = 0;
        if (entry.address == kDrillAddress && equalsIgnoreCase(entry.receiver.c_str(), receiver.name) &&
            localDay(entry.triggerTime, &day, &second) && day == today)
            return true;
    }
    return false;
}

bool names(const DrillLine& line, const Receiver& receiver) {
    return line.receiver == "*" || equalsIgnoreCase(line.receiver.c_str(), receiver.name);
}

// Whom a failed drill of `failed` goes to: the receivers of the groups its
// own groups escalate to, else every other receiver.
std::vector<Receiver*> drillEscalation(Coupler& coupler, const Receiver* failed) {
    std::vector<Receiver*> to;
    auto add = [&](Receiver* receiver) {
        if (receiver != failed && std::find(to.begin(), to.end(), receiver) == to.end())
            to.push_back(receiver);
    };
    for (int l = 0; l < coupler.linkCount; ++l) {
        if (coupler.links[l].receiver != failed) continue;
        for (int e = 0; e < coupler.escalationCount; ++e) {
            if (coupler.escalations[e].from != coupler.links[l].dir) continue;
            for (int k = 0; k < coupler.linkCount; ++k)
                if (coupler.links[k].dir == coupler.escalations[e].to) add(coupler.links[k].receiver);
        }
    }
    if (to.empty())
        for (int r = 0; r < coupler.receiverCount; ++r) add(&coupler.receivers[r]);
    return to;
}

}  // namespace

std::string parseDrillLine(char* cursor, DrillLine* out) {
    char* receiver = nextToken(&cursor, ";");
    char* time = receiver ? nextToken(&cursor, ";") : nullptr;
    char* text = time ? nextToken(&cursor, ";") : nullptr;
    constexpr const char* kForm = "drill needs a receiver (or *) and a time of day, as drill;*;07:30";
    if (!time || !*receiver) return kForm;
    out->secondOfDay = readTimeOfDay(time);
    if (out->secondOfDay < 0) return std::string("drill time '") + time + "': not HH:MM or HH:MM:SS";
    out->receiver = receiver;
    out->text = text ? text : "";
    return "";
}

void queueDrills(Coupler& coupler, int64_t now) {
    if (coupler.drills.lines.empty() || !coupler.outbox) return;
    std::string today;
    int secondOfDay = 0;
    if (!localDay(now, &today, &secondOfDay)) return;
    DrillBook& book = bookOf(coupler);
    bool changed = false;
    for (int r = 0; r < coupler.receiverCount; ++r) {
        Receiver& receiver = coupler.receivers[r];
        for (const DrillLine& line : book.lines) {
            if (!names(line, receiver) || secondOfDay < line.secondOfDay) continue;
            std::string key = lowerCase(receiver.name);
            auto known = book.byReceiver.find(key);
            if (known != book.byReceiver.end() && known->second.day >= today) break;
            // The first day, started after the drill's time: the first drill is tomorrow's.
            bool late = known == book.byReceiver.end() && secondOfDay - line.secondOfDay > 60;
            if (!late && !drillWaiting(coupler, receiver, today)) {
                std::string text = "DRILL " + today + " via " + receiver.name + ": " +
                                   (line.text.empty() ? kStandardText : line.text);
                queueEntry(coupler, receiver, kDrillAddress, text, now);
                logf(Log::Always, "drill, receiver %s: test notice queued\n", receiver.name);
                record(coupler, JournalEvent::Drill, receiver.name, now);
            }
            book.byReceiver[key] = DrillRecord{today, DrillRecord::Outcome::Sent};
            changed = true;
            break;
        }
    }
    if (!changed) return;
    // The drill is in the outbox file before its day is recorded: a crash
    // between the two finds it there and does not send it again.
    coupler.outbox->save();
    saveBook(book);
}

bool noteDrillOutcome(Coupler& coupler, const OutboxEntry& entry, NotificationOutcome outcome) {
    if (entry.address != kDrillAddress) return entry.address == kDrillFailedAddress;
    if (outcome == NotificationOutcome::Failed) return true;
    bool delivered = outcome == NotificationOutcome::Delivered;
    DrillBook& book = bookOf(coupler);
    std::string day;
    int second = 0;
    if (localDay(entry.triggerTime, &day, &second)) {
        book.byReceiver[lowerCase(entry.receiver)] =
            DrillRecord{day, delivered ? DrillRecord::Outcome::Delivered : DrillRecord::Outcome::Failed};
        saveBook(book);
    }
    if (delivered) return true;
    record(coupler, JournalEvent::DrillFailed, entry.receiver, entry.triggerTime);
    Receiver* failed = coupler.findReceiver(entry.receiver.c_str(), entry.receiverOccurrence);
    std::string text = "Drill failed: receiver " + entry.receiver + " did not deliver the test notice of " +
                       formatDateTime(entry.triggerTime) + " within its retry window";
    logf(Log::Always, "drill, receiver %s: not delivered, sent on as an alarm\n", entry.receiver.c_str());
    for (Receiver* receiver : drillEscalation(coupler, failed))
        queueEntry(coupler, *receiver, kDrillFailedAddress, text, currentTime());
    return true;
}

const DrillRecord* lastDrillOf(const DrillBook& book, const char* receiver) {
    auto found = book.byReceiver.find(lowerCase(receiver));
    return found == book.byReceiver.end() ? nullptr : &found->second;
}

std::vector<std::string> unknownDrillReceivers(const Coupler& coupler) {
    std::vector<std::string> warnings;
    for (const DrillLine& line : coupler.drills.lines) {
        bool known = line.receiver == "*";
        for (int r = 0; r < coupler.receiverCount && !known; ++r)
            known = equalsIgnoreCase(line.receiver.c_str(), coupler.receivers[r].name);
        if (!known)
            warnings.push_back("line " + std::to_string(line.line) + ": drill for unknown receiver '" +
                               line.receiver + "'");
    }
    return warnings;
}
