// The record form the states file, the outbox and the journal share: fields
// separated by ";", a field that starts with a double quote runs to its
// closing quote and may hold ";", line breaks and doubled quotes, and a line
// feed outside quotes ends the record. One reader and one writer for all of
// them, so no file reads a field its writer did not mean.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Bounds of one record; beyond either the record is damaged. A file may be
// anything, so a field is never allowed to grow without end.
struct RecordLimits {
    size_t longestField = 20000;
    size_t mostFields = 64;
};

// Reads the records of a text one by one.
class RecordReader {
  public:
    RecordReader(const std::string& text, RecordLimits limits) : text_(text), limits_(limits) {}

    // Reads the next record into `fields`; false once the text is done.
    // What follows an oversized field or a field too many, up to the line
    // end, is passed over unstored.
    bool next(std::vector<std::string>* fields);
    // The record last read is whole: within its limits, its quotes closed.
    bool whole() const { return whole_; }
    // It ended with a line feed, not with the end of the text: a record a
    // writer was cut off in lacks it.
    bool endedWithLineFeed() const { return endedWithLineFeed_; }
    // An empty line: no field at all.
    bool blank() const { return blank_; }
    // The line (counted from 1) the record last read starts on.
    int firstLine() const { return firstLine_; }

  private:
    const std::string& text_;
    RecordLimits limits_;
    size_t pos_ = 0;
    int line_ = 1;
    int firstLine_ = 1;
    bool whole_ = false;
    bool endedWithLineFeed_ = false;
    bool blank_ = false;
};

// The fields of one line, for files read a line at a time: as the reader
// reads them, but a quote left open keeps the rest of the line as its field.
std::vector<std::string> recordFieldsOf(const std::string& line, RecordLimits limits);

// Writes records field by field into `out`, separators and line feed included.
class RecordWriter {
  public:
    explicit RecordWriter(std::string* out) : out_(out) {}
    // A text: in quotes, each quote doubled.
    RecordWriter& quoted(const std::string& text);
    // A number, a time or a word of the file's own: as it is.
    RecordWriter& plain(const std::string& text);
    // Ends the record with its line feed; the next field starts a new one.
    void end();

  private:
    void separate();

    std::string* out_;
    bool first_ = true;
};
