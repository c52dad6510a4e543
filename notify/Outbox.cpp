// The outbox file: read at start, rewritten whole (temporary file, sync,
// rename) whenever its contents change, never while nothing does.
#include "notify/Outbox.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "core/DurableFile.h"
#include "core/Text.h"
#include "core/ValueText.h"

namespace {

constexpr size_t kFileLimit = 16u << 20;
constexpr size_t kFieldLimit = 20000;  // an expanded text is at most 7999 bytes; quotes may double it
constexpr int kFieldCount = 9;

// Splits one record off `text` at `pos`: fields separated by ";", a quoted
// field may hold ";", doubled quotes and line breaks. False when a field is
// oversized, there are too many or a quote is never closed; what follows an
// oversized field or a field too many is skipped unstored up to the line end.
bool readRecord(const std::string& text, size_t& pos, std::vector<std::string>& fields, int& line) {
    fields.assign(1, std::string());
    bool quoted = false, wasQuoted = false, ok = true;
    while (pos < text.size()) {
        char c = text[pos++];
        if (!ok && !quoted) {
            if (c == '\n') {
                ++line;
                return false;
            }
            continue;
        }
        if (!ok) {
            if (c == '"')
                quoted = false;
            else if (c == '\n')
                ++line;
            continue;
        }
        if (quoted) {
            if (c == '"' && pos < text.size() && text[pos] == '"') {
                fields.back() += '"';
                ++pos;
            } else if (c == '"') {
                quoted = false;
            } else {
                if (c == '\n') ++line;
                fields.back() += c;
            }
        } else if (c == '"' && fields.back().empty() && !wasQuoted) {
            quoted = wasQuoted = true;
        } else if (c == ';') {
            fields.emplace_back();
            wasQuoted = false;
        } else if (c == '\n') {
            ++line;
            return ok;
        } else if (c != '\r') {
            fields.back() += c;
        }
        if (fields.back().size() > kFieldLimit || fields.size() > kFieldCount + 1) {
            ok = false;
            fields.assign(1, std::string());  // nothing more of this record is kept
        }
    }
    return ok && !quoted;
}

bool isNumber(const std::string& field) {
    // A double printed whole may have over 300 digits.
    if (field.empty() || field.size() > 400) return false;
    char* end = nullptr;
    std::strtod(field.c_str(), &end);
    return end && *end == 0;
}

bool toEntry(const std::vector<std::string>& fields, OutboxEntry* entry) {
    if (fields.size() != kFieldCount) return false;
    if (!isNumber(fields[8])) return false;
    if (fields[0].empty() || fields[2].empty()) return false;
    if (!isNumber(fields[5]) || !isNumber(fields[7])) return false;
    entry->receiver = fields[0];
    entry->source = fields[1];
    entry->address = fields[2];
    entry->triggerTime = fields[3].empty() ? 0 : parseDateTime(fields[3].c_str());
    if (!fields[3].empty() && entry->triggerTime == 0) return false;
    entry->text = fields[4];
    entry->attempts = parseInt(fields[5].c_str());
    entry->nextAttempt = fields[6].empty() ? 0 : parseDateTime(fields[6].c_str());
    entry->value = std::strtod(fields[7].c_str(), nullptr);
    entry->receiverOccurrence = parseInt(fields[8].c_str());
    return entry->attempts >= 0 && entry->receiverOccurrence >= 0;
}

}  // namespace

bool OutboxEntry::sameKey(const std::string& receiverName, int occurrence, const std::string& sourceName,
                          const std::string& nodeAddress) const {
    return equalsIgnoreCase(receiver.c_str(), receiverName.c_str()) && receiverOccurrence == occurrence &&
           equalsIgnoreCase(source.c_str(), sourceName.c_str()) &&
           equalsIgnoreCase(address.c_str(), nodeAddress.c_str());
}

std::string formatOutbox(const std::vector<OutboxEntry>& entries) {
    std::string out;
    for (const OutboxEntry& entry : entries) {
        appendQuoted(&out, entry.receiver);
        out += ';';
        appendQuoted(&out, entry.source);
        out += ';';
        appendQuoted(&out, entry.address);
        out += ';' + formatDateTime(entry.triggerTime) + ';';
        appendQuoted(&out, entry.text);
        char tail[512];
        std::snprintf(tail, sizeof tail, ";%d;%s;%s;%d\n", entry.attempts,
                      formatDateTime(entry.nextAttempt).c_str(), formatStoredValue(entry.value, true).c_str(),
                      entry.receiverOccurrence);
        out += tail;
    }
    return out;
}

std::vector<OutboxEntry> parseOutbox(const std::string& text, std::vector<int>* damagedLines) {
    std::vector<OutboxEntry> entries;
    std::vector<std::string> fields;
    size_t pos = 0;
    int line = 1;
    while (pos < text.size()) {
        int first = line;
        bool ok = readRecord(text, pos, fields, line);
        if (fields.size() == 1 && fields[0].empty() && ok) continue;  // an empty line
        OutboxEntry entry;
        if (ok && toEntry(fields, &entry)) {
            entries.push_back(std::move(entry));
        } else if (damagedLines) {
            damagedLines->push_back(first);
        }
    }
    // As Outbox::add does, the newest entries stay beyond the bound.
    if (entries.size() > kMaxOutboxEntries)
        entries.erase(entries.begin(), entries.end() - static_cast<long>(kMaxOutboxEntries));
    return entries;
}

Outbox::Outbox(std::string path) : path_(std::move(path)) {}

void Outbox::load() {
    entries_.clear();
    written_.clear();
    if (path_.empty() || !readWholeFile(path_, kFileLimit, &written_)) return;
    std::vector<int> damaged;
    entries_ = parseOutbox(written_, &damaged);
    for (OutboxEntry& entry : entries_) entry.fromEarlierRun = entry.carriedOver = true;
    for (int line : damaged) std::printf("outbox file '%s', line %d damaged: skipped\n", path_.c_str(), line);
}

void Outbox::save() {
    if (path_.empty()) return;
    // Most cycles have nothing waiting: no text to build or compare.
    if (entries_.empty() && written_.empty() && !failing_) return;
    std::string text = formatOutbox(entries_);
    if (text == written_ && !failing_) return;
    std::string error;
    if (replaceFile(path_, text, Durability::Sync, &error)) {
        if (failing_) std::printf("outbox file '%s' written again\n", path_.c_str());
        failing_ = false;
        written_ = text;
        return;
    }
    if (!failing_) std::printf("outbox file '%s' not writable, err '%s'\n", path_.c_str(), error.c_str());
    failing_ = true;
}

OutboxEntry* Outbox::findCarriedOver(const std::string& receiver, int occurrence, const std::string& source,
                                     const std::string& address) {
    for (OutboxEntry& entry : entries_)
        if (entry.carriedOver && entry.sameKey(receiver, occurrence, source, address)) return &entry;
    return nullptr;
}

void Outbox::add(OutboxEntry entry) {
    if (entries_.size() >= kMaxOutboxEntries) entries_.erase(entries_.begin());
    entries_.push_back(std::move(entry));
}

int Outbox::inFlightCount() const {
    int count = 0;
    for (const OutboxEntry& entry : entries_)
        if (entry.inFlight && !entry.inFlight->settled()) ++count;
    return count;
}
