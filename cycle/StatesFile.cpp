// The node states file: keeps each node's trigger time, last read time, read
// result and value across restarts and reloads, so a fired node is not
// notified again. It is read at the start of every cycle, so a hand edit
// between two cycles takes effect at the next one, and rewritten whole after
// the sources have been read, but only when its bytes change; a change of
// the read times alone waits a minute.
#include "cycle/StatesFile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/Clock.h"
#include "base/DurableFile.h"
#include "base/Log.h"
#include "base/RecordText.h"
#include "base/Text.h"
#include "base/ValueText.h"
#include "cycle/Coupler.h"
#include "cycle/Outbox.h"

namespace {

constexpr size_t kLineSize = 5001;  // lines of up to 5000 characters
// A line is cut at kLineSize before its fields are read, so no field of it
// can exceed these bounds: the line is read as far as it goes.
constexpr RecordLimits kWholeLine{std::numeric_limits<size_t>::max(), std::numeric_limits<size_t>::max()};
// Five nodes and the retained lines fit many times over; a larger file is
// not one of ours and is read only this far.
constexpr size_t kFileLimit = 4u << 20;
constexpr int kMaxAlarmReminderCount = 1000000;  // a count read is clamped, so counting on cannot overflow
// A rewrite that would only move the nodes' read times waits this long after
// the last write: read every second, they would replace the file every second.
constexpr int64_t kReadTimesEveryMs = 60000;

// Reads one line without its line feed into `line`. The part of a longer
// line that does not fit is dropped, so it can never be taken for a line of
// its own. False at the end of the file.
bool readLine(FILE* file, char* line, size_t capacity) {
    size_t length = 0;
    int c = std::getc(file);
    if (c == EOF) return false;
    for (; c != EOF && c != '\n'; c = std::getc(file))
        if (length + 1 < capacity) line[length++] = static_cast<char>(c);
    line[length] = 0;
    return true;
}

// Two nodes may share a source and address (a high and a low alarm on one
// register): the n-th line of a key belongs to the n-th node of that key.
Node* unclaimedNode(Coupler& coupler, SourceEntry* source, const char* address, bool* claimed) {
    for (int i = 0; i < coupler.nodeCount; ++i) {
        Node& node = coupler.nodes[i];
        if (claimed[i] || node.source != source || !equalsIgnoreCase(node.address, address)) continue;
        claimed[i] = true;
        return &node;
    }
    return nullptr;
}

// The fields of one states line, taken one by one; nullptr once they are done.
class FieldCursor {
  public:
    explicit FieldCursor(std::vector<std::string> fields) : fields_(std::move(fields)) {}
    const char* next() { return at_ < fields_.size() ? fields_[at_++].c_str() : nullptr; }
    void finish() { at_ = fields_.size(); }

  private:
    std::vector<std::string> fields_;
    size_t at_ = 0;
};

int64_t timeField(FieldCursor& cursor) {
    const char* field = cursor.next();
    return field ? parseDateTime(field) : 0;
}

// The fields behind the value, of a node with an "alarm" line: its pending
// delays and reminders, so a restart neither fires early nor starts a delay
// from zero. Missing fields (a file from before the line was added) are 0.
void applyAlarmFields(Node* node, FieldCursor& cursor) {
    AlarmState& state = node->alarmState;
    state.onSince = timeField(cursor);
    state.offSince = timeField(cursor);
    const char* field = cursor.next();
    state.reminders = field ? std::max(0, std::min(parseInt(field), kMaxAlarmReminderCount)) : 0;
    state.remindedAt = timeField(cursor);
}

void skipFields(FieldCursor& cursor, int count) {
    for (int i = 0; i < count; ++i) cursor.next();
}

void textField(FieldCursor& cursor, std::string* out, size_t capacity) {
    const char* field = cursor.next();
    copyText(*out, capacity, field ? field : "");
}

// The place on the ladder behind the owner: "ROUND.NEXT" and the groups its
// steps paged, "lead,manager"; of the episode of field 3.
void applyLadderFields(Coupler& coupler, Node* node, FieldCursor& cursor) {
    node->ladder = LadderPosition{};
    const char* position = cursor.next();
    const char* groups = cursor.next();
    int round = 0, next = 0;
    if (!position || node->triggerTime == 0 || std::sscanf(position, "%d.%d", &round, &next) != 2) return;
    if (round < 0 || round > kMaxLadderRepeats || next < 0 || next > kMaxLadderSteps) return;
    node->ladder = LadderPosition{node->triggerTime, round, next, 0};
    std::string names = groups ? groups : "";
    for (size_t start = 0; start < names.size();) {
        size_t comma = std::min(names.find(',', start), names.size());
        DirEntry* dir = coupler.findDir(names.substr(start, comma - start).c_str(), false);
        long index = dir ? dir - coupler.dirs : -1;
        if (index >= 0 && index < kMaxDirs) node->ladder.reached |= GroupSet{1} << index;
        start = comma + 1;
    }
}

// The operator's marks behind the alarm fields: an acknowledgement and an
// escalation belong to the episode of field 3, a shelve lasts until its time.
void applyOperatorFields(Coupler& coupler, Node* node, FieldCursor& cursor) {
    node->ack = Acknowledgement{};
    node->shelve = Shelve{};
    node->escalatedEpisode = 0;
    int64_t ackedAt = timeField(cursor);
    textField(cursor, &node->ack.by, kOperatorNameSize);
    textField(cursor, &node->ack.note, kOperatorNoteSize);
    node->shelve.until = timeField(cursor);
    textField(cursor, &node->shelve.note, kOperatorNoteSize);
    const char* escalated = cursor.next();
    textField(cursor, &node->ack.owner, kOperatorNameSize);
    if (ackedAt != 0 && node->triggerTime != 0) {
        node->ack.episode = node->triggerTime;
        node->ack.at = ackedAt;
    }
    if (escalated && parseInt(escalated) == 1) node->escalatedEpisode = node->triggerTime;
    applyLadderFields(coupler, node, cursor);
}

// A node with an S condition keeps how long its value has stood still, so a
// restart neither starts the count from zero nor reports a frozen value early.
bool keepsStillCount(const Node& node) {
    return node.trigger.kind == ConditionKind::Frozen && node.still.seeded;
}

void appendStillFields(std::string* text, const Node& node) {
    *text +=
        ';' + formatStoredValue(node.still.reference, true) + ';' + std::to_string(node.still.stillSeconds);
}

// The last fields of an S condition's line; a line without them (an older
// file, another condition before a reload) starts the count at the next read.
void applyStillFields(Node* node, FieldCursor& cursor) {
    node->still = StillWatch{};
    const char* reference = cursor.next();
    const char* seconds = cursor.next();
    if (node->trigger.kind != ConditionKind::Frozen || !reference || !seconds || !*reference) return;
    char* end = nullptr;
    double value = std::strtod(reference, &end);
    if (end == reference) return;
    node->still.seeded = true;
    node->still.reference = value;
    node->still.stillSeconds =
        std::max<int64_t>(0, std::min<int64_t>(parseInt(seconds), node->trigger.seconds));
}

void applyFields(Coupler& coupler, Node* node, FieldCursor& cursor) {
    node->triggerTime = timeField(cursor);
    node->lastRead = timeField(cursor);
    const char* field = cursor.next();
    node->readError = field ? parseInt(field) : 0;
    field = cursor.next();
    node->value = field ? std::strtod(field, nullptr) : 0.0;
    if (!field) cursor.finish();
    if (node->alarm.enabled)
        applyAlarmFields(node, cursor);
    else
        skipFields(cursor, 4);
    applyOperatorFields(coupler, node, cursor);
    applyStillFields(node, cursor);
    // The path an acknowledgement from the phone came by, behind them all.
    textField(cursor, &node->ack.via, kAckViaSize);
    // A recorded firing comes back as fired and sent, so it is not notified again.
    if (node->triggerTime != 0) {
        node->active = true;
        node->sent = true;
    }
}

// Keeps the newest firings within the bound; lines that never fired go first.
void boundRetained(std::vector<RetainedState>& retained) {
    if (retained.size() <= static_cast<size_t>(kMaxRetainedStates)) return;
    std::vector<RetainedState> byAge = retained;
    std::stable_sort(byAge.begin(), byAge.end(), [](const RetainedState& a, const RetainedState& b) {
        return a.triggerTime > b.triggerTime;
    });
    int64_t cutoff = byAge[kMaxRetainedStates - 1].triggerTime;
    // Ties at the cut-off are kept in file order until the bound is reached.
    int keepAtCutoff = 0;
    for (int i = 0; i < kMaxRetainedStates; ++i)
        if (byAge[i].triggerTime == cutoff) ++keepAtCutoff;
    std::vector<RetainedState> kept;
    for (auto& state : retained) {
        if (state.triggerTime > cutoff)
            kept.push_back(std::move(state));
        else if (state.triggerTime == cutoff && keepAtCutoff > 0) {
            --keepAtCutoff;
            kept.push_back(std::move(state));
        }
    }
    retained = std::move(kept);
}

// A whole file, each record without its fields `from` + 1 up to `to`,
// counted from 1: what two files are compared by.
std::string textWithout(const std::string& text, size_t from, size_t to) {
    std::string kept;
    RecordWriter writer(&kept);
    RecordReader reader(text, kWholeLine);
    std::vector<std::string> fields;
    while (reader.next(&fields)) {
        for (size_t i = 0; i < fields.size(); ++i)
            if (i < from || i >= to) writer.quoted(fields[i]);
        writer.end();
    }
    return kept;
}

// The alarm state of a whole file: source, address, trigger time, and the
// fields of an alarm line's delays and reminders behind the value. A change
// of it is worth a sync.
std::string alarmState(const std::string& text) {
    return textWithout(text, 3, 6);
}

// A file without its read times (field 4) and the still seconds of an S
// condition (field 21), which move at every read as they do: when nothing
// else changed, the rewrite can wait.
std::string withoutReadTimes(const std::string& text) {
    return textWithout(textWithout(text, 20, 21), 3, 4);
}

StatesMemory& memoryFor(const Coupler& coupler) {
    StatesMemory& memory = *coupler.statesMemory;
    if (memory.path != coupler.statesName) {
        memory = StatesMemory{};
        memory.path = coupler.statesName;
    }
    return memory;
}

// What reading back the file just written would do to the nodes: values
// come back as the file holds them (whole numbers unless the node keeps
// decimals), and a recorded firing as fired and sent.
void roundAsReadBack(Coupler& coupler) {
    for (int i = 0; i < coupler.nodeCount; ++i) {
        Node& node = coupler.nodes[i];
        node.value = std::strtod(formatStoredValue(node.value, node.keepsDecimals()).c_str(), nullptr);
        if (node.triggerTime != 0) node.active = node.sent = true;
    }
}

// Only nodes with an "alarm" line write these, so a file without them is
// written as it always was.
void appendAlarmFields(std::string* text, const AlarmState& state) {
    *text += ';' + formatDateTime(state.onSince) + ';' + formatDateTime(state.offSince) + ';' +
             std::to_string(state.reminders) + ';' + formatDateTime(state.remindedAt);
}

bool onLadder(const Node& node) {
    return node.triggerTime != 0 && node.ladder.episode == node.triggerTime &&
           (node.ladder.round > 0 || node.ladder.next > 0);
}

bool hasOperatorMarks(const Node& node) {
    return node.acknowledged() || node.shelve.until != 0 || node.escalated() || onLadder(node);
}

// The names of the groups the ladder paged, as "lead,manager".
std::string reachedGroups(const Coupler& coupler, GroupSet reached) {
    std::string names;
    for (int i = 0; i < coupler.dirCount; ++i)
        if (reached & (GroupSet{1} << i))
            names += (names.empty() ? "" : ",") + std::string(coupler.dirs[i].name);
    return names;
}

// Only nodes an operator acknowledged or shelved, or that were escalated,
// write these, so a configuration that never uses them writes the file it
// always did. A node without an "alarm" line leaves the alarm fields empty.
void appendOperatorFields(std::string* text, const Coupler& coupler, const Node& node) {
    if (!node.alarm.enabled) appendAlarmFields(text, AlarmState{});
    *text += ';' + formatDateTime(node.acknowledged() ? node.ack.at : 0) + ';';
    appendQuoted(text, node.acknowledged() ? node.ack.by : "");
    *text += ';';
    appendQuoted(text, node.acknowledged() ? node.ack.note : "");
    *text += ';' + formatDateTime(node.shelve.until) + ';';
    appendQuoted(text, node.shelve.until != 0 ? node.shelve.note : "");
    *text += node.escalated() ? ";1" : ";";
    // Only an acknowledgement whose request file had an owner writes it, so
    // one restored from an older file is written back as it was. The fields
    // behind it need it in place, empty or not: a ladder's place, an S
    // condition's count, then the path of an acknowledgement from the phone.
    bool ladder = onLadder(node), still = keepsStillCount(node);
    bool via = node.acknowledged() && !node.ack.via.empty();
    if ((node.acknowledged() && !node.ack.owner.empty()) || ladder || still || via) {
        *text += ';';
        appendQuoted(text, node.acknowledged() ? node.ack.owner : "");
    }
    // Only a node on a ladder writes its place there, only an S condition
    // its count; what follows leaves them empty.
    if (ladder) {
        *text += ';' + std::to_string(node.ladder.round) + '.' + std::to_string(node.ladder.next) + ';';
        appendQuoted(text, reachedGroups(coupler, node.ladder.reached));
    } else if (still || via) {
        *text += ";;";
    }
    if (still)
        appendStillFields(text, node);
    else if (via)
        *text += ";;";
    if (via) {
        *text += ';';
        appendQuoted(text, node.ack.via);
    }
}

void readInboxLine(Coupler& coupler, const std::string& line) {
    std::vector<std::string> fields = recordFieldsOf(line.substr(std::strlen(kInboxLinePrefix)), kWholeLine);
    if (fields.empty() || fields[0].empty()) return;
    std::string key = fields[0];
    fields.erase(fields.begin());
    coupler.inboxMarks[key] = std::move(fields);
}

void appendInboxLines(std::string* text, const InboxMarks& marks) {
    for (const auto& mark : marks) {
        *text += kInboxLinePrefix;
        appendQuoted(text, mark.first);
        for (const std::string& field : mark.second) {
            *text += ';';
            appendQuoted(text, field);
        }
        *text += '\n';
    }
}

void readStatesText(Coupler& coupler, const std::string& text) {
    FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (!file) return;
    readStatesFrom(coupler, file);
    std::fclose(file);
}

}  // namespace

void readStatesFrom(Coupler& coupler, FILE* file) {
    coupler.retainedStates.clear();
    coupler.inboxMarks.clear();
    if (!file) return;
    std::unique_ptr<bool[]> claimedEntries(new bool[coupler.nodes.size() + 1]());
    bool* claimed = claimedEntries.get();
    char line[kLineSize];
    while (readLine(file, line, sizeof line)) {
        std::string raw = line;
        if (raw.compare(0, std::strlen(kInboxLinePrefix), kInboxLinePrefix) == 0) readInboxLine(coupler, raw);
        if (line[0] == '#') continue;
        FieldCursor cursor(recordFieldsOf(raw, kWholeLine));
        const char* sourceName = cursor.next();
        if (!sourceName) continue;
        const char* address = cursor.next();
        if (!address) continue;
        // An empty source key is a node placed before every source line.
        SourceEntry* source = coupler.findSource(sourceName);
        bool sourceless = !source && !*sourceName;
        Node* node = source || sourceless ? unclaimedNode(coupler, source, address, claimed) : nullptr;
        if (node)
            applyFields(coupler, node, cursor);
        else
            coupler.retainedStates.push_back({raw, timeField(cursor)});
    }
    boundRetained(coupler.retainedStates);
}

std::string renderStates(const Coupler& coupler) {
    std::string text;
    for (int i = 0; i < coupler.nodeCount; ++i) {
        const Node& node = coupler.nodes[i];
        // A node placed before every source line has no source: its key is empty.
        appendQuoted(&text, node.source ? node.source->name : "");
        text += ';';
        appendQuoted(&text, node.address);
        // The outbox is written before a firing is recorded; a firing it could
        // not store is recorded once it has (or once it was delivered).
        text += ';' + formatDateTime(node.unrecordedFiring ? 0 : node.triggerTime) + ';' +
                formatDateTime(node.lastRead);
        text +=
            ';' + std::to_string(node.readError) + ';' + formatStoredValue(node.value, node.keepsDecimals());
        if (node.alarm.enabled) appendAlarmFields(&text, node.alarmState);
        if (hasOperatorMarks(node) || keepsStillCount(node)) appendOperatorFields(&text, coupler, node);
        text += '\n';
    }
    for (const RetainedState& state : coupler.retainedStates) text += state.line + "\n";
    appendInboxLines(&text, coupler.inboxMarks);
    return text;
}

bool writeStatesTo(const Coupler& coupler, FILE* file) {
    if (!file) return false;
    std::string text = renderStates(coupler);
    return std::fwrite(text.data(), 1, text.size(), file) == text.size();
}

void Coupler::readStates() {
    if (!statesName[0]) return;
    StatesMemory& memory = memoryFor(*this);
    // While the file cannot be written it holds an old truth; what this
    // program decided since then is in memory.
    if (memory.failing) {
        readStatesText(*this, memory.pending);
        return;
    }
    // Read back each cycle so a hand edit takes effect at the next one; a file
    // that has not changed since this coupler read or wrote it is not read
    // again, which spares a fast cycle its parsing.
    FileIdentity now;
    bool present = identityOf(statesName, &now);
    if (present && memory.inStepWith == serial && now == memory.identity) {
        roundAsReadBack(*this);
        return;
    }
    memory.inStepWith = 0;
    if (!readWholeFile(statesName, kFileLimit, &memory.onDisk)) return;  // on the first start there is none
    readStatesText(*this, memory.onDisk);
    if (present) {
        memory.identity = now;
        memory.inStepWith = serial;
    }
}

namespace {

void writeStatesFile(Coupler& coupler, bool readTimesMayWait) {
    const char* statesName = coupler.statesName;
    if (!statesName[0]) return;
    // With no node loaded (the configuration file is missing) the file is left
    // as it is, so the states are still there when the configuration comes back.
    if (coupler.nodeCount == 0) return;

    StatesMemory& memory = memoryFor(coupler);
    memory.writeOwed = false;
    std::string text = renderStates(coupler);
    // Most cycles change nothing but the nodes' read times, and many change
    // nothing at all: an unchanged file is not touched, a change of read times
    // alone is written once a minute, and only a change of alarm state is
    // synced, which spares the flash cards of small gateways.
    if (!memory.failing && text == memory.onDisk) return;
    if (readTimesMayWait && !memory.failing && steadyMs() - memory.writtenAtMs < kReadTimesEveryMs &&
        withoutReadTimes(text) == withoutReadTimes(memory.onDisk))
        return;
    bool alarmsChanged = memory.failing || alarmState(text) != alarmState(memory.onDisk);
    // An entry that left the outbox may wait up to a second for its write.
    // The outbox must not still list it once this file no longer records its
    // node as fired: a restart would take the node's next firing for it.
    if (alarmsChanged && coupler.outbox) coupler.outbox->save();
    std::string error;
    if (replaceFile(statesName, text, alarmsChanged ? Durability::Sync : Durability::Replace, &error)) {
        if (memory.failing) logf(Log::Always, "states file '%s' written again\n", statesName);
        memory.failing = false;
        memory.pending.clear();
        memory.onDisk = text;
        memory.writtenAtMs = steadyMs();
        memory.inStepWith = identityOf(statesName, &memory.identity) ? coupler.serial : 0;
        return;
    }
    if (!memory.failing)
        logf(Log::Always,
             "states file '%s' not writable, err '%s': alarm states are kept in memory until it is\n",
             statesName, error.c_str());
    memory.failing = true;
    memory.pending = text;
}

}  // namespace

void writeDeferredStates(Coupler& coupler) {
    if (!coupler.statesName[0] || !memoryFor(coupler).writeOwed) return;
    writeStatesFile(coupler, true);
}

void Coupler::writeStates() {
    // The cycle's notices are in the outbox file already: only that write
    // stands between the read that decided them and their hand-over, and
    // this one follows it (writeDeferredStates).
    if (queuedThisCycle && statesName[0]) {
        memoryFor(*this).writeOwed = true;
        return;
    }
    writeStatesFile(*this, true);
}

void Coupler::writeLatestStates() {
    writeStatesFile(*this, false);
}
