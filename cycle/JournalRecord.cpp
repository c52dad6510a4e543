// The journal line, written and read.
#include "cycle/JournalRecord.h"

#include <cstring>
#include <vector>

#include "base/RecordText.h"
#include "base/Text.h"

namespace {

struct EventName {
    JournalEvent event;
    const char* name;
};

const EventName kEventNames[] = {
    {JournalEvent::Raised, "raised"},
    {JournalEvent::Cleared, "cleared"},
    {JournalEvent::Reminder, "reminder"},
    {JournalEvent::Acknowledged, "acknowledged"},
    {JournalEvent::Shelved, "shelved"},
    {JournalEvent::Unshelved, "unshelved"},
    {JournalEvent::Delivered, "delivered"},
    {JournalEvent::GivenUp, "given up"},
    {JournalEvent::SensorSuspect, "sensor suspect"},
    {JournalEvent::Drill, "drill"},
    {JournalEvent::DrillFailed, "drill failed"},
    {JournalEvent::Refused, "refused"},
};

constexpr size_t kFields = 7;
// Longer than any line the program writes: names and addresses are at most
// 99 characters. A longer line is damage.
constexpr size_t kLongestLine = 2000;

// A line break inside a field would split the line: it becomes a blank.
std::string oneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c == '\n' || c == '\r') c = ' ';
    return out;
}

constexpr const char* kColumnNames = "time;event;source;node;value;receiver;episode";

}  // namespace

const char* journalEventName(JournalEvent event) {
    for (const EventName& known : kEventNames)
        if (known.event == event) return known.name;
    return "raised";
}

bool journalEventNamed(const std::string& word, JournalEvent* event) {
    for (const EventName& known : kEventNames) {
        if (word == known.name) {
            *event = known.event;
            return true;
        }
    }
    return false;
}

bool isJournalHeader(const std::string& line) {
    return line.compare(0, std::strlen(kColumnNames), kColumnNames) == 0;
}

std::string formatJournalLine(const JournalRecord& record) {
    std::string line;
    RecordWriter fields(&line);
    fields.plain(formatDateTimeWithOffset(record.time)).plain(journalEventName(record.event));
    fields.quoted(oneLine(record.source)).quoted(oneLine(record.node)).plain(oneLine(record.value));
    fields.quoted(oneLine(record.receiver)).plain(formatDateTimeWithOffset(record.episode));
    // A tag is the eighth field, behind what every line has had.
    if (!record.tag.empty()) fields.quoted(oneLine(record.tag));
    fields.end();
    return line;
}

bool parseJournalLine(const std::string& line, JournalRecord* record) {
    if (line.empty() || line.size() > kLongestLine || isJournalHeader(line)) return false;
    if (line.find('\0') != std::string::npos) return false;
    std::vector<std::string> fields = recordFieldsOf(line, {kLongestLine, kFields + 1});
    if (fields.size() != kFields && fields.size() != kFields + 1) return false;
    JournalRecord read;
    read.time = parseDateTimeWithOffset(fields[0].c_str());
    if (read.time == 0 || !journalEventNamed(fields[1], &read.event)) return false;
    read.source = fields[2];
    read.node = fields[3];
    read.value = fields[4];
    read.receiver = fields[5];
    read.episode = fields[6].empty() ? 0 : parseDateTimeWithOffset(fields[6].c_str());
    if (fields.size() > kFields) read.tag = fields[kFields];
    if (read.node.empty()) return false;
    *record = read;
    return true;
}
