// The node states file: keeps each node's trigger time, last read time, read
// result and value across restarts and reloads, so a fired node is not
// notified again. It is read at the start of every cycle, so a hand edit
// between two cycles takes effect at the next one, and rewritten whole after
// the sources have been read, but only when its bytes change; a change of
// the read times alone waits a minute.
#include "cycle/StatesFile.h"

#include <algorithm>
#include <cstdlib>
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

// The operator's marks behind the alarm fields: an acknowledgement and an
// escalation belong to the episode of field 3, a shelve lasts until its time.
void applyOperatorFields(Node* node, FieldCursor& cursor) {
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
}

void applyFields(Node* node, FieldCursor& cursor) {
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
    applyOperatorFields(node, cursor);
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

// A file without its read times (field 4): when nothing else changed, the
// rewrite can wait.
std::string withoutReadTimes(const std::string& text) {
    return textWithout(text, 3, 4);
}

// What the program knows of the states file beyond one Coupler: a reload
// builds a new Coupler, but while the file cannot be written the states it
// failed to record must survive that too.
struct StatesMemory {
    std::string path;
    // The coupler whose nodes hold what the file says, and the file as it was
    // then: while neither changed, reading the file again would change nothing.
    uint64_t inStepWith = 0;
    FileIdentity identity;
    std::string onDisk;   // the file's text as last read or written
    std::string pending;  // the text that could not be written; the truth while failing
    bool failing = false;
    bool writeOwed = false;  // a cycle's write that waits for its hand-over
    int64_t writtenAtMs = std::numeric_limits<int64_t>::min() / 2;  // steady clock; never yet
};

StatesMemory& memoryFor(const char* path) {
    static StatesMemory memory;
    if (memory.path != path) {
        memory = StatesMemory{};
        memory.path = path;
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

bool hasOperatorMarks(const Node& node) {
    return node.acknowledged() || node.shelve.until != 0 || node.escalated();
}

// Only nodes an operator acknowledged or shelved, or that were escalated,
// write these, so a configuration that never uses them writes the file it
// always did. A node without an "alarm" line leaves the alarm fields empty.
void appendOperatorFields(std::string* text, const Node& node) {
    if (!node.alarm.enabled) appendAlarmFields(text, AlarmState{});
    *text += ';' + formatDateTime(node.acknowledged() ? node.ack.at : 0) + ';';
    appendQuoted(text, node.acknowledged() ? node.ack.by : "");
    *text += ';';
    appendQuoted(text, node.acknowledged() ? node.ack.note : "");
    *text += ';' + formatDateTime(node.shelve.until) + ';';
    appendQuoted(text, node.shelve.until != 0 ? node.shelve.note : "");
    *text += node.escalated() ? ";1" : ";";
    // Only an acknowledgement whose request file had an owner writes it, so
    // one restored from an older file is written back as it was.
    if (node.acknowledged() && node.ack.owner[0]) {
        *text += ';';
        appendQuoted(text, node.ack.owner);
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
    if (!file) return;
    std::unique_ptr<bool[]> claimedEntries(new bool[coupler.nodes.size() + 1]());
    bool* claimed = claimedEntries.get();
    char line[kLineSize];
    while (readLine(file, line, sizeof line)) {
        if (line[0] == '#') continue;
        std::string raw = line;
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
            applyFields(node, cursor);
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
        if (hasOperatorMarks(node)) appendOperatorFields(&text, node);
        text += '\n';
    }
    for (const RetainedState& state : coupler.retainedStates) text += state.line + "\n";
    return text;
}

bool writeStatesTo(const Coupler& coupler, FILE* file) {
    if (!file) return false;
    std::string text = renderStates(coupler);
    return std::fwrite(text.data(), 1, text.size(), file) == text.size();
}

void Coupler::readStates() {
    if (!statesName[0]) return;
    StatesMemory& memory = memoryFor(statesName);
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

    StatesMemory& memory = memoryFor(statesName);
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
    if (!coupler.statesName[0] || !memoryFor(coupler.statesName).writeOwed) return;
    writeStatesFile(coupler, true);
}

void Coupler::writeStates() {
    // The cycle's notices are in the outbox file already: only that write
    // stands between the read that decided them and their hand-over, and
    // this one follows it (writeDeferredStates).
    if (queuedThisCycle && statesName[0]) {
        memoryFor(statesName).writeOwed = true;
        return;
    }
    writeStatesFile(*this, true);
}

void Coupler::writeLatestStates() {
    writeStatesFile(*this, false);
}
