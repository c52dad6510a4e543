// The shared record form, read and written.
#include "base/RecordText.h"

#include "base/Text.h"

bool RecordReader::next(std::vector<std::string>* fields) {
    if (pos_ >= text_.size()) return false;
    fields->assign(1, std::string());
    firstLine_ = line_;
    whole_ = true;
    endedWithLineFeed_ = false;
    bool quoted = false, wasQuoted = false;
    while (pos_ < text_.size()) {
        char c = text_[pos_++];
        if (c == '\n') ++line_;
        if (!whole_) {
            // Passing over the rest of a damaged record: a quote the damage
            // fell in still runs to its close, so a line feed inside it does
            // not end the record.
            if (quoted && c == '"') {
                quoted = false;
            } else if (!quoted && c == '\n') {
                endedWithLineFeed_ = true;
                break;
            }
            continue;
        }
        if (quoted) {
            if (c == '"' && pos_ < text_.size() && text_[pos_] == '"') {
                fields->back() += '"';
                ++pos_;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields->back() += c;
            }
        } else if (c == '"' && fields->back().empty() && !wasQuoted) {
            quoted = wasQuoted = true;
        } else if (c == ';') {
            fields->emplace_back();
            wasQuoted = false;
        } else if (c == '\n') {
            endedWithLineFeed_ = true;
            break;
        } else if (c != '\r') {
            fields->back() += c;
        }
        if (fields->back().size() > limits_.longestField || fields->size() > limits_.mostFields) {
            whole_ = false;
            fields->assign(1, std::string());  // nothing more of this record is kept
        }
    }
    if (quoted) whole_ = false;
    blank_ = whole_ && fields->size() == 1 && fields->front().empty();
    return true;
}

std::vector<std::string> recordFieldsOf(const std::string& line, RecordLimits limits) {
    std::vector<std::string> fields;
    RecordReader reader(line, limits);
    if (!reader.next(&fields)) fields.clear();
    return fields;
}

RecordWriter& RecordWriter::quoted(const std::string& text) {
    separate();
    appendQuoted(out_, text);
    return *this;
}

RecordWriter& RecordWriter::plain(const std::string& text) {
    separate();
    *out_ += text;
    return *this;
}

void RecordWriter::end() {
    *out_ += '\n';
    first_ = true;
}

void RecordWriter::separate() {
    if (!first_) *out_ += ';';
    first_ = false;
}
