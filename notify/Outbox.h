// The outbox: every notification that was decided and not yet handed over
// successfully, kept in a file beside the states file so that neither a failed
// channel nor a crash loses an alarm, and a restart never queues one twice.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "notify/Notifier.h"

struct OutboxEntry {
    std::string receiver;
    int receiverOccurrence = 0;  // among receivers of the same name (two may share one)
    std::string source;
    std::string address;
    int64_t triggerTime = 0;
    std::string text;
    int attempts = 0;
    int64_t nextAttempt = 0;      // 0: at the next dispatch
    double value = 0.0;           // the node's value when it fired
    DeliveryHandle inFlight;      // while a hand-over runs; not written to the file
    bool fromEarlierRun = false;  // read at start: a crash may have cut its hand-over short
    bool carriedOver = false;     // read at start and not yet matched by a firing of this run

    bool sameKey(const std::string& receiverName, int occurrence, const std::string& sourceName,
                 const std::string& nodeAddress) const;
};

constexpr const char* kOutboxName = "zentok_outbox.csv";
// Beyond this the oldest entries are dropped; no configuration comes near it.
constexpr size_t kMaxOutboxEntries = 1000;

// The file form: one record per entry, fields separated by ";", texts in
// double quotes with each quote doubled (a line break inside stays in the
// record), times as "YYYY-MM-DD hh:mm:ss" local time: receiver, source, node
// address, trigger time, text, attempts, next attempt, value, and which of
// the receivers of that name it is (0 for the first).
std::string formatOutbox(const std::vector<OutboxEntry>& entries);
// Reads records; a damaged one is skipped and its first line number is
// appended to `damagedLines`.
std::vector<OutboxEntry> parseOutbox(const std::string& text, std::vector<int>* damagedLines);

class Outbox {
  public:
    // An empty path keeps the outbox in memory only.
    explicit Outbox(std::string path = "");

    // Reads the file; a missing file is an empty outbox.
    void load();
    // Writes the file when its contents changed; says once when that fails.
    void save();

    std::vector<OutboxEntry>& entries() { return entries_; }
    const std::vector<OutboxEntry>& entries() const { return entries_; }
    // An entry left by an earlier run for this receiver and node that no
    // firing of this run has matched yet.
    OutboxEntry* findCarriedOver(const std::string& receiver, int occurrence, const std::string& source,
                                 const std::string& address);
    void add(OutboxEntry entry);
    // Entries whose hand-over has not settled yet.
    int inFlightCount() const;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::vector<OutboxEntry> entries_;
    std::string written_;  // the file's text as last read or written
    bool failing_ = false;
};
