// The outbox: every notification that was decided and not yet handed over
// successfully, kept in a file beside the states file so that neither a failed
// channel nor a crash loses an alarm, and a restart never queues one twice.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "base/Alarm.h"
#include "base/DurableFile.h"
#include "notify/Notifier.h"

struct OutboxEntry {
    std::string receiver;
    int receiverOccurrence = 0;  // among receivers of the same name; read where no channel is stored
    std::string channel;         // fingerprint of the receiver's address line; empty in older files
    std::string source;
    std::string address;
    int64_t triggerTime = 0;
    std::string text;
    int attempts = 0;
    int64_t nextAttempt = 0;  // wall clock, for the file and its reader; 0: at the next dispatch
    double value = 0.0;       // the node's value when it fired
    // Retries follow elapsed time, so a step of the wall clock neither gives
    // an entry up early nor holds its next attempt back (steady clock, ms).
    int64_t dueMs = 0;            // the next attempt; 0: at the next dispatch
    int64_t firedMs = 0;          // the firing, for the retry window
    int64_t missingSinceMs = 0;   // since when no receiver of this configuration takes it; 0 while one does
    DeliveryHandle inFlight;      // while a hand-over runs; not written to the file
    bool fromEarlierRun = false;  // read at start: a crash may have cut its hand-over short
    // It may stand for a firing the states file has not recorded (a crash, or
    // an outbox that could not be written, between the two writes): the node's
    // first evaluation under a configuration may match it, once.
    bool carriedOver = false;
    bool saved = false;  // the outbox file holds it
    AlarmNotice kind = AlarmNotice::Raise;
    bool heldBack = false;   // the receiver's flood guard holds it for the summary
    bool textShown = false;  // an attempt of this run printed its text; a retry prints its key only
    int64_t decidedAt = 0;   // when a clear or reminder was decided; a raise's is its trigger time
    int ladderRung = -1;     // a ladder step's: round * kMaxLadderSteps + step; -1 for other notices

    bool sameNode(const std::string& sourceName, const std::string& nodeAddress) const;
    bool sameKey(const std::string& receiverName, int occurrence, const std::string& sourceName,
                 const std::string& nodeAddress) const;
};

constexpr const char* kOutboxName = "zentok_outbox.csv";
// Beyond this the oldest entries are dropped, with a line; no configuration comes near it.
constexpr size_t kMaxOutboxEntries = 1000;
// A count read from the file is clamped to this, so counting on cannot overflow.
constexpr int kMaxOutboxAttempts = 1000000;
// Removals that come within this time of the last write that removed
// entries share one rewrite, so a drain of many entries does not rewrite a
// large file once per entry; the first removal after a quiet spell, or after
// a write that only added entries, is written at once.
constexpr int64_t kOutboxBatchMs = 1000;

// The file form: one record per entry, fields separated by ";", texts in
// double quotes with each quote doubled (a line break inside stays in the
// record), times as "YYYY-MM-DD hh:mm:ss+hh:mm" local time with its offset
// from UTC: receiver, source, node address, trigger time, text, attempts, next
// attempt, value, which of the receivers of that name it is (0 for the
// first) and the fingerprint of that receiver's address line; a clear or a
// reminder adds its kind and when it was decided, an entry the flood guard
// holds back for its summary its kind, that time and "held", a ladder step's
// notice "step=ROUND.STEP" last. Records of older versions,
// with local times without offset and no fingerprint, read.
std::string formatOutbox(const std::vector<OutboxEntry>& entries);
// Reads records; a damaged one is skipped and its first line number is
// appended to `damagedLines`. Counts are clamped; names and texts longer than
// the program writes make a record damaged. Beyond kMaxOutboxEntries the
// oldest are left out and counted in `dropped`. With `lastNeedsLineEnd` a
// last record without its line feed is damaged: a write the program did not
// finish.
std::vector<OutboxEntry> parseOutbox(const std::string& text, std::vector<int>* damagedLines,
                                     size_t* dropped = nullptr, bool lastNeedsLineEnd = false);
// The fingerprint of a receiver's address line that entries carry; the line
// itself may hold a token and is not copied into the file.
std::string channelFingerprint(const std::string& addressLine);

// A receiver's flood guard window: how many hand-overs it has taken since
// the window opened (steady clock, ms). Kept with the outbox, so a reload of
// the configuration keeps the window; a restart opens a new one.
struct FloodWindow {
    int64_t openedMs = 0;
    int handedOver = 0;
    int seconds = 0;
};

// The sender's lane of a receiver: its name (case ignored, as receivers are
// matched) and which of the receivers of that name it is, so the lane stays
// the same across a reload of the configuration.
std::string outboxLane(const OutboxEntry& entry);

class Outbox {
  public:
    // An empty path keeps the outbox in memory only.
    explicit Outbox(std::string path = "");

    // Reads the file; a missing file is an empty outbox. Every entry read is
    // due at once, and times ahead of the clock count as now.
    void load();
    // Writes the file at once when an entry was added or has left since the
    // last write; says once when that fails. False while the file does not
    // hold every entry. An attempt alone (its count, its next time) is no
    // reason to write: those fields go to the file with the next change, so
    // entries that only wait for their retries cost no writes.
    bool save();
    // As save, but no sooner than kOutboxBatchMs after the last write that
    // removed entries; a change that comes earlier waits for saveIfDue.
    void saveBatched();
    // Writes what saveBatched left waiting once its time has come.
    void saveIfDue();
    // Milliseconds until what saveBatched left waiting is due; -1 when
    // nothing waits.
    int64_t msUntilBatchedSave() const;

    std::vector<OutboxEntry>& entries() { return entries_; }
    const std::vector<OutboxEntry>& entries() const { return entries_; }
    // No firing of a node matches its carried-over entries any more.
    void endCarryOver(const std::string& source, const std::string& address);
    // The states file shows this node's firing at `recordedTrigger` and a
    // read at `lastRead`: an entry the file holds for a firing the states
    // file recorded, or one it read past (the node re-armed after it), stands
    // for no firing of this run.
    void endCarryOverRecorded(const std::string& source, const std::string& address, int64_t recordedTrigger,
                              int64_t lastRead);
    // Some entry the file does not hold yet.
    bool holdsUnsaved() const;
    // An entry of this node and firing that the file does not hold yet.
    bool holdsUnsaved(const std::string& source, const std::string& address, int64_t triggerTime) const;
    // Adds an entry; beyond kMaxOutboxEntries the oldest goes, counted for
    // reportDropped.
    void add(OutboxEntry entry);
    // Says how many entries the bound has dropped since the last report.
    void reportDropped();
    // Entries whose hand-over has not settled yet.
    int inFlightCount() const;
    const std::string& path() const { return path_; }
    // The flood guard held an entry back: the file is behind until written.
    void noteHeldBack() { heldUnwritten_ = true; }
    bool heldBackUnwritten() const { return heldUnwritten_; }
    // The flood guard window of a receiver's lane.
    FloodWindow& floodWindow(const std::string& lane) { return floodWindows_[lane]; }

  private:
    bool changedSinceWrite() const;
    bool removesEntries() const;
    bool onlyAddsEntries() const;
    bool append(std::string* error);
    bool rewrite(std::string* error);

    std::string path_;
    std::vector<OutboxEntry> entries_;
    size_t savedCount_ = 0;     // entries the file held at the last read or write
    bool readDamaged_ = false;  // the file read held records that are not kept
    int64_t lastRemovalMs_ =
        std::numeric_limits<int64_t>::min() / 2;  // steady clock, the last write that removed
    bool waiting_ = false;                        // saveBatched left a write for saveIfDue
    size_t dropped_ = 0;
    bool failing_ = false;
    bool heldUnwritten_ = false;
    // The file as this outbox last left it; while it is so, new entries are
    // appended to it instead of rewriting it.
    bool knowsFile_ = false;
    FileIdentity written_;
    std::map<std::string, FloodWindow> floodWindows_;
};
