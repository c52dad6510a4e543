// The Coupler: everything one load of the configuration file builds, owned in
// one place, so that a reload destroys it whole and a new configuration never
// sees a record of the old one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/Records.h"
#include "base/Settings.h"
#include "cycle/Drill.h"
#include "cycle/JournalRecord.h"
#include "cycle/StatesFile.h"
#include "notify/Receiver.h"
#include "sources/SourceEntry.h"

class AlarmJournal;
class Metrics;
class Outbox;

// What an alarm notification tells beyond the value: its kind, how long its
// episode has lasted and which reminder it is.
struct NoticeContext {
    AlarmNotice kind = AlarmNotice::Raise;
    int64_t duration = 0;  // seconds
    int reminder = 0;
};

// The node table: a vector sized to what the file uses that still hands out
// a pointer to its first entry where one is asked for, as the fixed array
// it replaced did (a source's worker walks the table by that pointer).
struct NodeTable : std::vector<Node> {
    using std::vector<Node>::vector;
    operator Node*() { return data(); }
    operator const Node*() const { return data(); }
};

// How long the program runs: for ever, for one cycle, or as long as every
// cycle notifies somebody.
enum class RunMode { Cycle = 0, Single = 1, Trigger = 2 };

// Status of the configuration file, taken when it was loaded. Besides the
// modification time, the change time, the size and the file identity count:
// a save that lands within the time stamp's resolution of the load (a file
// written in two steps), a file replaced by one with an older time (cp -p, a
// checkout) or copied over with the same size still moves the change time,
// which no copy can set back. The access time never counts: a read is no change.
struct ConfigStat {
    int64_t modificationTime = 0;  // seconds
    long modificationNanos = 0;
    int64_t changeTime = 0;
    long changeNanos = 0;
    int64_t size = -1;  // -1 until a file was read
    uint64_t inode = 0;
};

// How much a fault of a line weighs.
enum class FaultKind : uint8_t {
    Unknown,    // an unknown keyword or setting: the check warns, a start passes over it in silence
    LineError,  // a line that cannot work as written: the check fails, a start says it and runs on
    Fatal,      // a start ends with a configuration error and a reload is refused
};

// One fault a load found, named with its line (0: before the first line).
struct LineFault {
    int line = 0;
    FaultKind kind = FaultKind::Fatal;
    std::string text;
};

class Coupler {
  public:
    Coupler();
    ~Coupler();
    Coupler(const Coupler&) = delete;
    Coupler& operator=(const Coupler&) = delete;

    RunMode runMode = RunMode::Cycle;
    ConfigStat cfgStat;
    bool notified = false;
    char cfgName[kPathSize] = {};
    char statesName[kPathSize] = {};
    SourceEntry sources[kMaxSources];
    // The nodes of the file, then the alarm bits of its words, then the
    // nodes only a template names: entries 0 to nodeCount-1. Sized to what
    // the file uses (at least 16 entries, so a small table may be filled by
    // index); it grows only while the file is loaded, so a reference into it
    // holds from then on.
    NodeTable nodes;
    Receiver receivers[kMaxReceivers];
    DirEntry dirs[kMaxDirs];
    Link links[kMaxLinks];
    Escalation escalations[kMaxDirs];
    int escalationCount = 0;
    Ladder ladders[kMaxDirs];  // "ladder" lines, one per group at most
    int ladderCount = 0;
    DutyWeek duty[kMaxDirs];          // "when" lines, by the index of their group in `dirs`
    int maxShelveSeconds = 8 * 3600;  // "coupler;maxshelve": bounds a forgotten shelve
    int sourceCount = 0;
    int nodeCount = 0;
    int receiverCount = 0;
    int dirCount = 0;
    int linkCount = 0;
    int rehashTime = 60;  // "coupler;rehashtime" is accepted and kept; nothing reads it
    int readInterval = 0;
    int64_t lastCycle = 0;  // by the cycle clock: the wall clock less cycleOffsetMs
    // Where in the read interval the cycles start (cycle/CycleOffset.h): 0
    // without "coupler;cycleoffset", that many ms with "cycleoffset;MS", and
    // a share of the interval fixed for the file's name with "cycleoffset;auto".
    int cycleOffsetMs = 0;
    bool cycleOffsetAuto = false;
    // "coupler;loglevel" as loaded, -1 without that line. Loading sets no
    // process-wide level (base/Log.h): a run applies it with applyLogLevel
    // once the load is accepted, so a refused file changes nothing.
    int logLevel = -1;
    void applyLogLevel() const;
    std::vector<RetainedState> retainedStates;  // states lines of nodes this configuration lacks
    InboxMarks inboxMarks;                      // what the phone paths took in (cycle/StatesFile.h)
    // What the uplink lines say; the receivers' channels share it, so it
    // lives as long as the last of them.
    const std::shared_ptr<Uplinks> uplinks = std::make_shared<Uplinks>();
    int retrySeconds = 0;            // "coupler;retry": how long a failed notification is tried again
    std::shared_ptr<Outbox> outbox;  // shared by the couplers of one run; in memory when none is given
    const uint64_t serial;           // tells the couplers of one process apart (the states file's cache)
    // The states file's memory; the run lends its own, which outlives this load.
    std::shared_ptr<StatesMemory> statesMemory = std::make_shared<StatesMemory>();
    bool queuedThisCycle = false;  // this cycle's firings are in the outbox already
    // Watching the watcher (docs/monitoring.md); each is off while its line is missing.
    std::string metricsPath;   // "coupler;metrics;PATH"
    std::string heartbeatUrl;  // "coupler;heartbeat;URL;SECONDS"
    int heartbeatSeconds = 0;
    // "coupler;statuspage;PATH"
    std::string statusPagePath;
    std::string journalName;  // "coupler;journal;NAME;MAXBYTES;KEEP"
    int64_t journalMaxBytes = kJournalDefaultMaxBytes;
    int journalKeep = kJournalDefaultKeep;
    // Kept by the run across reloads, like the outbox; null in a coupler of
    // its own (tests, probe), which then counts and records nothing.
    std::shared_ptr<Metrics> metrics;
    std::shared_ptr<AlarmJournal> journal;
    DrillBook drills;  // "drill" lines and the day of each receiver's last drill
    // Everything the load found wrong, in the order of the lines; a start, a
    // reload and the check all decide by it.
    std::vector<LineFault> faults;
    bool iniError() const;   // a fatal fault
    int lineErrors() const;  // lines that cannot work as written (the check fails on them)
    // Unknown keywords and coupler settings as "line N: TEXT".
    std::vector<std::string> unknownLines() const;
    int cantOpenReason = 0;      // errno of the last failed open of the file; 0 when it was read
    bool cfgUnreadable = false;  // the file exists but could not be opened
    bool reportCantOpen = true;  // false while the same failure was already reported
    bool skipSecrets = false;    // "coupler;secrets" is passed over: the operator's commands need none

    // Lookups by name (ASCII case-insensitive, whole text).
    DirEntry* findDir(const char* name, bool create);
    SourceEntry* findSource(const char* name);
    Node* findNode(const char* address, SourceEntry* source, bool create);
    // The next free entry of the node table, empty; nodeCount stays.
    Node& freeNode();
    // The nodes that count against kMaxNodes: a word of alarm bits counts once.
    int countedNodes() const;
    Link* findLink(Receiver* receiver, DirEntry* dir, bool create);
    // The `occurrence`-th receiver (from 0) of that name.
    Receiver* findReceiver(const char* name, int occurrence = 0);
    // Which of the receivers of its name `receiver` is.
    int occurrenceOf(const Receiver* receiver) const;

    // After a reload is accepted: each receiver whose name, address line and
    // uplink are those of a receiver of `running` takes over that one's
    // channel, connection and all; the others are started.
    void takeChannelsAndStart(Coupler& running);
    void startChannels();

    // Configuration file.
    void loadConfig(const char* path);
    void parseConfig();

    // Main loop.
    bool configChanged();
    bool keepRunning();

    // Read cycle.
    bool cycleNotDue();
    // Milliseconds until a source that is down may try to connect again; 0
    // when some source can be read now.
    int64_t msUntilSourcesMayConnect();
    void readSources();

    // States file.
    void readStates();
    // After the states are read: entries an earlier run left for firings the
    // states file recorded stand for no firing of this run.
    void endCarryOverOfRecordedFirings();
    // Writes the file when the states changed; a change of read times alone
    // waits until a minute has passed since the last write.
    void writeStates();
    // Writes read times that were waiting too: at a stop and before a reload.
    void writeLatestStates();

    // Templates and dispatch.
    void prepareTemplates();
    // The first "{{%name}}" of `text` that is no alarm placeholder; empty when there is none.
    static std::string unknownPlaceholder(const char* text);
    bool formatMessage(char* out, int capacity, const Node* node);
    // Expands `text` for `node`; `notice` (null for nodes without an alarm
    // line) fills the alarm placeholders.
    bool formatTemplate(char* out, int capacity, const Node* node, const char* text,
                        const NoticeContext* notice);
    // Puts the notifications of newly fired nodes into the outbox and writes
    // it, before the states file records the firings.
    void queueNotifications();
    // Hands every due outbox entry to its receiver's channel and returns;
    // queues first when the cycle has not yet. The network channels'
    // outcomes come later, through recordOutcomes.
    void dispatchNotifications();
    // Records the outcomes that have settled since the last look and writes
    // the outbox when they changed it. The main loop calls it whenever a
    // settlement wakes it.
    void recordOutcomes();
    // Takes over the run's outbox after a load: entries of receivers this
    // configuration lacks are dropped, each with a line, once the receiver
    // has been missing for a minute (a file saved in two writes lacks it
    // only for a moment), or at the end of a single or trigger run.
    void adoptOutbox(std::shared_ptr<Outbox> box);
    // Queues an operator's notice of `node` (acknowledged, unshelved): the
    // node's message behind `lead`, to the receivers the kind reaches.
    void queueOperatorNotice(Node& node, AlarmNotice kind, const std::string& lead);

    // The operator's requests (cycle/OperatorActions.cpp), one function each.
    // Each changes one node, records it in the states file at once and
    // queues its notice; false, with the reason in `answer`, when nothing
    // changed. `answer` tells the operator what was done.
    // A request made at `madeAt` (0: unknown) for the episode raised at
    // `episode` (0: none named) acknowledges that episode only; a shelve
    // counts from `from`.
    struct AckRequest {
        const char* by = "";
        const char* owner = "";  // the request file's owner; empty when not known
        const char* note = "";
        int64_t madeAt = 0;
        int64_t episode = 0;
        const char* via = "";  // "telegram", "ntfy", "sms"; empty: the shell
    };
    bool acknowledge(Node& node, const AckRequest& request, std::string* answer);
    bool shelveNode(Node& node, int seconds, int64_t from, const char* note, std::string* answer);
    bool unshelveNode(Node& node, std::string* answer);
    // Ends a shelve whose time ran out or that the operator ended; a notice
    // says so when the alarm is still active.
    void endShelve(Node& node);
    // The node an operator names by its tag, or as the configuration writes its address
    // ("400001", "MW10", "!OFFLINE"); "ADDRESS#2" is the second of that address.
    Node* nodeNamed(const char* name);

    // The phone's replies (cycle/PhoneReplies.cpp): the acknowledgements that
    // came back through the receivers' channels, each applied once.
    void servePhoneReplies();
    // Lets the receivers' phone polls go at the end of a run: nothing waits for them.
    void endPhonePolls();

    // Waits until the sender has nothing queued or running or the deadline
    // (steady clock, ms) passes, recording each outcome as it settles. Unless
    // stopped by a signal, entries whose receiver is missing are dropped then.
    void finishDeliveries(int64_t deadlineMs);

    // Records an event of `node` in the alarm journal, when one is kept:
    // `episode` is the trigger time of the alarm it belongs to, `receiver`
    // the receiver of a notice (null for the node's own events).
    void journalEvent(JournalEvent event, const Node& node, int64_t episode, const char* receiver = nullptr);
};
