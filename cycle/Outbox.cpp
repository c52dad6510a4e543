// The outbox file: read at start, new entries appended with one data sync,
// rewritten whole (temporary file, sync, rename) when an entry goes; removals
// at most once a second after the last one, never while nothing changes.
#include "cycle/Outbox.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "base/Clock.h"
#include "base/DurableFile.h"
#include "base/Log.h"
#include "base/RecordText.h"
#include "base/Records.h"
#include "base/Text.h"
#include "base/ValueText.h"

namespace {

constexpr size_t kFileLimit = 16u << 20;
constexpr size_t kFieldLimit = 20000;  // an expanded text is at most 7999 bytes; quotes may double it
constexpr int kOldFieldCount = 9;      // without the channel fingerprint
constexpr int kFieldCount = 10;
constexpr int kAlarmFieldCount = 12;  // a clear or a reminder: its kind and when it was decided
constexpr int kHeldFieldCount = 13;   // held back by the flood guard for its summary
constexpr const char* kHeldField = "held";
constexpr int kStepFieldCount = 14;  // held back and a ladder step
constexpr const char* kStepField = "step=";
constexpr int kFingerprintSize = 16;
// An age beyond a century is a damaged time; bounding it keeps the
// arithmetic on it in range.
constexpr int64_t kLongestAgeSeconds = 100LL * 366 * 24 * 3600;

// The first line of a file this version writes: "zentok outbox" and the
// format's number, so a later version can tell which form it reads. A file
// without it (older versions) reads the same.
constexpr const char* kHeaderName = "zentok outbox";
constexpr int kFormatVersion = 2;

bool isOutboxHeader(const std::vector<std::string>& fields) {
    return fields.size() == 2 && fields[0] == kHeaderName;
}

// An empty outbox is an empty file, as it always was.
std::string outboxFile(const std::vector<OutboxEntry>& entries, bool withHeader) {
    std::string text;
    if (entries.empty()) return text;
    if (withHeader) RecordWriter(&text).quoted(kHeaderName).plain(std::to_string(kFormatVersion)).end();
    return text + formatOutbox(entries);
}

bool isNumber(const std::string& field) {
    // A double printed whole may have over 300 digits.
    if (field.empty() || field.size() > 400) return false;
    char* end = nullptr;
    std::strtod(field.c_str(), &end);
    return end && *end == 0;
}

bool isFingerprint(const std::string& field) {
    if (field.empty()) return true;
    if (field.size() != kFingerprintSize) return false;
    for (char c : field)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// Names and texts no longer than the program writes them.
bool fitsTheProgram(const std::vector<std::string>& fields) {
    const size_t nameLimit = kNameSize - 1;
    return fields[0].size() <= nameLimit && fields[1].size() <= nameLimit && fields[2].size() <= nameLimit &&
           fields[4].size() <= static_cast<size_t>(kTextSize - 1);
}

int clampedCount(const std::string& field, int most) {
    return std::min(std::max(parseInt(field.c_str()), 0), most);
}

// The kind field of each notice but a raise, which writes none: one table
// for the writer and the reader, so the two cannot drift apart.
struct KindName {
    AlarmNotice kind;
    const char* field;
};
constexpr KindName kKindFields[] = {
    {AlarmNotice::Raise, "raise"},
    {AlarmNotice::Clear, "clear"},
    {AlarmNotice::Reminder, "reminder"},
    {AlarmNotice::Summary, "summary"},
    {AlarmNotice::Acknowledged, "acknowledged"},
    {AlarmNotice::Unshelved, "unshelved"},
    {AlarmNotice::Escalated, "escalated"},
};

const char* kindField(AlarmNotice kind) {
    for (const KindName& known : kKindFields)
        if (known.kind == kind) return known.field;
    return "reminder";
}

bool readKind(const std::string& field, AlarmNotice* kind) {
    for (const KindName& known : kKindFields)
        if (field == known.field) {
            *kind = known.kind;
            return true;
        }
    return false;
}

// "step=ROUND.STEP" into the entry's rung; false when it is no step.
bool readStepField(const std::string& field, OutboxEntry* entry) {
    if (field.compare(0, std::strlen(kStepField), kStepField) != 0) return false;
    int round = -1, step = -1;
    char end = 0;
    if (std::sscanf(field.c_str() + std::strlen(kStepField), "%d.%d%c", &round, &step, &end) != 2)
        return false;
    if (round < 0 || round > kMaxLadderRepeats || step < 0 || step >= kMaxLadderSteps) return false;
    entry->ladderRung = round * kMaxLadderSteps + step;
    return true;
}

bool readAlarmFields(const std::vector<std::string>& fields, OutboxEntry* entry) {
    if (fields.size() < kAlarmFieldCount) return true;
    if (!readKind(fields[10], &entry->kind)) return false;
    entry->decidedAt = parseDateTimeWithOffset(fields[11].c_str());
    for (size_t i = kAlarmFieldCount; i < fields.size(); ++i) {
        if (i == kAlarmFieldCount && fields[i] == kHeldField)
            entry->heldBack = true;
        else if (i + 1 != fields.size() || !readStepField(fields[i], entry))
            return false;
    }
    return entry->decidedAt != 0;
}

bool toEntry(const std::vector<std::string>& fields, OutboxEntry* entry) {
    if (fields.size() != kFieldCount && fields.size() != kOldFieldCount &&
        fields.size() != kAlarmFieldCount && fields.size() != kHeldFieldCount &&
        fields.size() != kStepFieldCount)
        return false;
    if (!isNumber(fields[8])) return false;
    if (fields[0].empty() || fields[2].empty() || !fitsTheProgram(fields)) return false;
    if (!isNumber(fields[5]) || !isNumber(fields[7])) return false;
    if (fields.size() >= kFieldCount && !isFingerprint(fields[9])) return false;
    if (parseInt(fields[5].c_str()) < 0 || parseInt(fields[8].c_str()) < 0) return false;
    entry->receiver = fields[0];
    entry->source = fields[1];
    entry->address = fields[2];
    entry->triggerTime = fields[3].empty() ? 0 : parseDateTimeWithOffset(fields[3].c_str());
    if (!fields[3].empty() && entry->triggerTime == 0) return false;
    entry->text = fields[4];
    entry->attempts = clampedCount(fields[5], kMaxOutboxAttempts);
    entry->nextAttempt = fields[6].empty() ? 0 : parseDateTimeWithOffset(fields[6].c_str());
    entry->value = std::strtod(fields[7].c_str(), nullptr);
    entry->receiverOccurrence = clampedCount(fields[8], kMaxReceivers);
    if (fields.size() >= kFieldCount) entry->channel = fields[9];
    entry->decidedAt = entry->triggerTime;
    return readAlarmFields(fields, entry);
}

}  // namespace

bool OutboxEntry::sameNode(const std::string& sourceName, const std::string& nodeAddress) const {
    return equalsIgnoreCase(source.c_str(), sourceName.c_str()) &&
           equalsIgnoreCase(address.c_str(), nodeAddress.c_str());
}

bool OutboxEntry::sameKey(const std::string& receiverName, int occurrence, const std::string& sourceName,
                          const std::string& nodeAddress) const {
    return equalsIgnoreCase(receiver.c_str(), receiverName.c_str()) && receiverOccurrence == occurrence &&
           sameNode(sourceName, nodeAddress);
}

std::string outboxLane(const OutboxEntry& entry) {
    std::string lane = entry.receiver;
    for (char& c : lane) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lane + "#" + std::to_string(entry.receiverOccurrence);
}

std::string channelFingerprint(const std::string& addressLine) {
    // FNV-1a, 64 bits: tells address lines apart, nothing more is asked of it.
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : addressLine) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char text[kFingerprintSize + 1];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::string formatOutbox(const std::vector<OutboxEntry>& entries) {
    std::string out;
    RecordWriter record(&out);
    for (const OutboxEntry& entry : entries) {
        record.quoted(entry.receiver).quoted(entry.source).quoted(entry.address);
        record.plain(formatDateTimeWithOffset(entry.triggerTime)).quoted(entry.text);
        record.plain(std::to_string(entry.attempts)).plain(formatDateTimeWithOffset(entry.nextAttempt));
        record.plain(formatStoredValue(entry.value, true)).plain(std::to_string(entry.receiverOccurrence));
        record.plain(entry.channel);
        // A raise is written as it always was, so a file of raises reads in older versions.
        if (entry.kind != AlarmNotice::Raise || entry.heldBack)
            record.plain(kindField(entry.kind)).plain(formatDateTimeWithOffset(entry.decidedAt));
        // What the flood guard holds back goes out as its summary after a restart too.
        if (entry.heldBack) record.plain(kHeldField);
        // Which step of its ladder a notice is, so a restart does not decide that step again.
        if (entry.ladderRung >= 0)
            record.plain(kStepField + std::to_string(entry.ladderRung / kMaxLadderSteps) + "." +
                         std::to_string(entry.ladderRung % kMaxLadderSteps));
        record.end();
    }
    return out;
}

std::vector<OutboxEntry> parseOutbox(const std::string& text, std::vector<int>* damagedLines, size_t* dropped,
                                     bool lastNeedsLineEnd) {
    std::vector<OutboxEntry> entries;
    std::vector<std::string> fields;
    RecordReader reader(text, {kFieldLimit, kStepFieldCount});
    while (reader.next(&fields)) {
        if (reader.blank()) continue;
        if (reader.firstLine() == 1 && isOutboxHeader(fields)) continue;
        // Records are appended, so a crash during a write can leave the last
        // one cut short, which may still read as a shorter record.
        bool ok = reader.whole() && (reader.endedWithLineFeed() || !lastNeedsLineEnd);
        OutboxEntry entry;
        if (ok && toEntry(fields, &entry)) {
            entries.push_back(std::move(entry));
        } else if (damagedLines) {
            damagedLines->push_back(reader.firstLine());
        }
    }
    // As Outbox::add does, the newest entries stay beyond the bound.
    if (entries.size() > kMaxOutboxEntries) {
        if (dropped) *dropped += entries.size() - kMaxOutboxEntries;
        entries.erase(entries.begin(), entries.end() - static_cast<long>(kMaxOutboxEntries));
    }
    return entries;
}

Outbox::Outbox(std::string path) : path_(std::move(path)) {}

void Outbox::load() {
    entries_.clear();
    savedCount_ = 0;
    readDamaged_ = false;
    knowsFile_ = false;
    std::string text;
    if (path_.empty() || !readWholeFile(path_, kFileLimit, &text)) return;
    std::vector<int> damaged;
    entries_ = parseOutbox(text, &damaged, &dropped_, true);
    savedCount_ = entries_.size();
    knowsFile_ = damaged.empty() && dropped_ == 0 && identityOf(path_, &written_);
    // Skipped records are written out of the file with the next write.
    readDamaged_ = !damaged.empty() || dropped_ > 0;
    // What is still here at start is due at once: the operator who mended a
    // mail server and restarted, or the next run from cron, expects that.
    int64_t now = currentTime(), nowMs = steadyMs();
    for (OutboxEntry& entry : entries_) {
        entry.fromEarlierRun = entry.carriedOver = entry.saved = true;
        entry.nextAttempt = 0;
        // A time ahead of the clock (a clock set back, a hand edit) is now,
        // so the retry window still ends.
        entry.triggerTime = std::min(entry.triggerTime, now);
        entry.decidedAt = std::min(entry.decidedAt, now);
        int64_t age = std::min(now - entry.decidedAt, kLongestAgeSeconds);
        entry.firedMs = nowMs - age * 1000;
    }
    for (int line : damaged)
        logf(Log::Always, "outbox file '%s', line %d damaged: skipped\n", path_.c_str(), line);
    reportDropped();
}

// Entries only ever come (unsaved) or go, and every entry the file does not
// hold is marked, so a count and the marks tell whether the file is behind.
bool Outbox::changedSinceWrite() const {
    return failing_ || readDamaged_ || heldUnwritten_ || entries_.size() != savedCount_ || holdsUnsaved();
}

// Entries the file holds that have left since: a write now removes them.
bool Outbox::removesEntries() const {
    size_t held = static_cast<size_t>(std::count_if(entries_.begin(), entries_.end(),
                                                    [](const OutboxEntry& entry) { return entry.saved; }));
    return held < savedCount_;
}

bool Outbox::save() {
    waiting_ = false;
    if (path_.empty() || !changedSinceWrite()) return true;
    std::string error;
    // Only a write that removed entries starts a batch, and a write of new
    // entries alone ends it: the removal that follows is the first of its
    // drain and goes at once, so a crash right after a delivery does not
    // repeat it.
    lastRemovalMs_ = removesEntries() ? steadyMs() : std::numeric_limits<int64_t>::min() / 2;
    if ((onlyAddsEntries() && append(&error)) || rewrite(&error)) {
        if (failing_) logf(Log::Always, "outbox file '%s' written again\n", path_.c_str());
        failing_ = readDamaged_ = heldUnwritten_ = false;
        savedCount_ = entries_.size();
        for (OutboxEntry& entry : entries_) entry.saved = true;
        return true;
    }
    if (!failing_)
        logf(Log::Always,
             "outbox file '%s' not writable, err '%s': new firings are sent from memory and not recorded "
             "in the states file until it is\n",
             path_.c_str(), error.c_str());
    failing_ = true;
    return false;
}

// New entries behind those the file holds, in the file this outbox wrote:
// they can be appended, and the file then reads as the whole outbox.
bool Outbox::onlyAddsEntries() const {
    if (!knowsFile_ || failing_ || readDamaged_ || heldUnwritten_ || entries_.size() <= savedCount_)
        return false;
    for (size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].saved != (i < savedCount_)) return false;
    FileIdentity now;
    return identityOf(path_, &now) && now == written_;
}

// The path from a deciding read to the hand-over holds this one synced write:
// a firing is durable once its records are appended, and the file needs no
// temporary copy or directory sync for that.
bool Outbox::append(std::string* error) {
    std::vector<OutboxEntry> added(entries_.begin() + static_cast<long>(savedCount_), entries_.end());
    if (!appendToFile(path_, outboxFile(added, written_.size == 0), error)) return false;
    knowsFile_ = identityOf(path_, &written_);
    return true;
}

bool Outbox::rewrite(std::string* error) {
    if (!replaceFile(path_, outboxFile(entries_, true), Durability::Sync, error)) {
        knowsFile_ = false;
        return false;
    }
    knowsFile_ = identityOf(path_, &written_);
    return true;
}

void Outbox::saveBatched() {
    if (path_.empty() || !changedSinceWrite()) return;
    waiting_ = true;
    saveIfDue();
}

void Outbox::saveIfDue() {
    if (msUntilBatchedSave() == 0) save();
}

int64_t Outbox::msUntilBatchedSave() const {
    if (!waiting_) return -1;
    return std::max<int64_t>(lastRemovalMs_ + kOutboxBatchMs - steadyMs(), 0);
}

namespace {

// Whether the states file recorded what the entry tells. While it still
// shows a clear's, a reminder's or an escalation's episode raised, a crash
// may have come between the notice's outbox write and the states write: the
// node's first evaluation then decides that notice again and the entry
// stands for it, so the receivers hear of it once. (Had the states file
// recorded the reminder or the escalation, that evaluation decides none and
// the entry goes as it is.)
bool recordedBy(const OutboxEntry& entry, int64_t recordedTrigger, int64_t lastRead) {
    if (entry.kind == AlarmNotice::Clear || entry.kind == AlarmNotice::Reminder ||
        entry.kind == AlarmNotice::Escalated)
        return entry.triggerTime != recordedTrigger;
    return entry.triggerTime == recordedTrigger || lastRead > entry.triggerTime;
}

}  // namespace

void Outbox::endCarryOverRecorded(const std::string& source, const std::string& address,
                                  int64_t recordedTrigger, int64_t lastRead) {
    for (OutboxEntry& entry : entries_)
        if (entry.carriedOver && entry.saved && entry.sameNode(source, address) &&
            recordedBy(entry, recordedTrigger, lastRead))
            entry.carriedOver = false;
}

void Outbox::endCarryOver(const std::string& source, const std::string& address) {
    for (OutboxEntry& entry : entries_)
        if (entry.carriedOver && entry.sameNode(source, address)) entry.carriedOver = false;
}

bool Outbox::holdsUnsaved() const {
    return std::any_of(entries_.begin(), entries_.end(),
                       [](const OutboxEntry& entry) { return !entry.saved; });
}

bool Outbox::holdsUnsaved(const std::string& source, const std::string& address, int64_t triggerTime) const {
    for (const OutboxEntry& entry : entries_)
        if (!entry.saved && entry.kind == AlarmNotice::Raise && entry.triggerTime == triggerTime &&
            entry.sameNode(source, address))
            return true;
    return false;
}

void Outbox::add(OutboxEntry entry) {
    if (entries_.size() >= kMaxOutboxEntries) {
        entries_.erase(entries_.begin());
        ++dropped_;
    }
    entries_.push_back(std::move(entry));
}

void Outbox::reportDropped() {
    if (dropped_ == 0) return;
    logf(Log::Always, "outbox, more than %zu notifications pending: the %zu oldest dropped\n",
         kMaxOutboxEntries, dropped_);
    dropped_ = 0;
}

int Outbox::inFlightCount() const {
    int count = 0;
    for (const OutboxEntry& entry : entries_)
        if (entry.inFlight && !entry.inFlight->settled()) ++count;
    return count;
}
