// The alarm journal: one line per event appended to a CSV file in the
// working directory, rotated by size, for "zentok report" and the plant's
// own alarm analysis. It is opt-in ("coupler;journal") and kept by the run
// across reloads, so a failing directory is reported once, not per load.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cycle/JournalRecord.h"

class AlarmJournal {
  public:
    // An empty name turns the journal off. `keep` rotated files are kept
    // beside it, as NAME.1 (the newest) to NAME.KEEP.
    void configure(const std::string& name, int64_t maxBytes, int keep);
    bool enabled() const { return !name_.empty(); }
    const std::string& name() const { return name_; }

    // Appends the record as one line with a single write, so a crash leaves
    // no half line. While the file cannot be written the event is lost and
    // that is said once; the notifications are not held up by it.
    void record(const JournalRecord& record);

  private:
    bool append(const std::string& line, std::string* error);
    void rotate();

    std::string name_;
    int64_t maxBytes_ = kJournalDefaultMaxBytes;
    int keep_ = kJournalDefaultKeep;
    bool failing_ = false;
};

// The journal's files, oldest first: NAME.KEEP down to NAME.1, then NAME;
// only those that exist.
std::vector<std::string> journalFiles(const std::string& name);
