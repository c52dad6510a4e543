// The configuration model: one Coupler per load of the configuration file,
// with fixed-capacity tables of sources, nodes, receivers, distribution groups
// and receiver-to-group links, and the run-time state the cycle keeps in them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/StatesFile.h"

class SourceConnection;
class Notifier;
class Outbox;
struct Node;

constexpr int kMaxSources = 1;
constexpr int kMaxNodes = 5;
constexpr int kMaxReceivers = 5;
constexpr int kMaxDirs = 5;
constexpr int kMaxLinks = 50;

constexpr int kNameSize = 100;      // names, addresses, conditions: 99 characters
constexpr int kMessageSize = 4000;  // message templates: 3999 characters
constexpr int kPathSize = 256;      // file paths: 255 characters
constexpr int kTextSize = 8000;     // an expanded notification text

struct SourceEntry {
    Node* nodes = nullptr;  // the node table handed to the worker each cycle
    int nodeCount = 0;
    std::atomic<bool> readDone{false};  // released by the worker, acquired by the main thread
    std::mutex readDoneMutex;           // with readDoneSignal, wakes the main thread at the hand-over
    std::condition_variable readDoneSignal;
    std::unique_ptr<SourceConnection> connection;
    char name[kNameSize] = {};
    char pass[kNameSize] = {};
    char type[kNameSize] = {};
    char parameters[kNameSize] = {};
    int readInterval = 0;
    int64_t lastRead = 0;
    int failedReads = 0;  // reads of the last cycle that failed; written by the worker before readDone

    SourceEntry();
    ~SourceEntry();
    SourceEntry(const SourceEntry&) = delete;
    SourceEntry& operator=(const SourceEntry&) = delete;

    bool open();
    bool isConnected();
    bool readNode(Node* node);
    void startRead(Node* nodeTable, int count);
    // The worker's last step: hands the nodes back and wakes the main thread.
    void markReadDone();
    // Blocks the main thread until the worker has handed its nodes back.
    void waitReadDone();
};

struct DirEntry {
    char name[kNameSize] = {};
};

struct Node {
    SourceEntry* source = nullptr;
    DirEntry* dir = nullptr;
    int info = 0;
    char address[kNameSize] = {};
    char message[kMessageSize] = {};
    char condition[kNameSize] = {};
    int readError = 0;
    int readInterval = 0;
    double value = 0.0;
    bool active = false;
    bool sent = false;
    int64_t triggerTime = 0;
    int64_t lastRead = 0;
};

struct Receiver {
    std::unique_ptr<Notifier> notifier;
    char name[kNameSize] = {};

    Receiver();
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // Creates the channel from the rest of an address line (may be null).
    void setAddress(char* rest);
    // Hands a notification to the channel, creating the default channel first;
    // the channel settles `delivery` (may be null) with the outcome.
    bool notify(const Node& node, const char* text, const std::shared_ptr<class Delivery>& delivery = nullptr);
};

struct Link {
    Receiver* receiver = nullptr;
    DirEntry* dir = nullptr;
};

// Status of the configuration file, taken when it was loaded. Besides the
// modification and access times, the change time, the size and the file
// identity count: a save that lands within the time stamp's resolution of the
// load (a file written in two steps), a file replaced by one with an older
// time (cp -p, a checkout) or copied over with the same size still moves the
// change time, which no copy can set back.
struct ConfigStat {
    int64_t modificationTime = 0;  // seconds
    int64_t accessTime = 0;        // seconds
    long modificationNanos = 0;
    long accessNanos = 0;
    int64_t changeTime = 0;
    long changeNanos = 0;
    int64_t size = -1;  // -1 until a file was read
    uint64_t inode = 0;
};

class Coupler {
public:
    Coupler();
    ~Coupler();
    Coupler(const Coupler&) = delete;
    Coupler& operator=(const Coupler&) = delete;

    int runMode = 0;  // 0 cycle, 1 single, 2 trigger
    ConfigStat cfgStat;
    bool notified = false;
    char cfgName[kPathSize] = {};
    char statesName[kPathSize] = {};
    SourceEntry sources[kMaxSources];
    Node nodes[kMaxNodes];
    Receiver receivers[kMaxReceivers];
    DirEntry dirs[kMaxDirs];
    Link links[kMaxLinks];
    int sourceCount = 0;
    int nodeCount = 0;
    int receiverCount = 0;
    int dirCount = 0;
    int linkCount = 0;
    int rehashTime = 60;
    int readInterval = 0;
    int64_t lastCycle = 0;
    int logLevel = 0;
    std::vector<RetainedState> retainedStates;
    int retrySeconds = 0;             // "coupler;retry": how long a failed notification is tried again
    std::shared_ptr<Outbox> outbox;   // shared by the couplers of one run; in memory when none is given
    bool queuedThisCycle = false;  // states lines of nodes this configuration lacks
    bool iniError = false;
    bool cfgUnreadable = false;  // the file exists but could not be opened
    bool reportCantOpen = true;  // false while the same failure was already reported

    // Lookups by name (ASCII case-insensitive, whole text).
    DirEntry* findDir(const char* name, bool create);
    SourceEntry* findSource(const char* name);
    Node* findNode(const char* address, SourceEntry* source, bool create);
    Link* findLink(Receiver* receiver, DirEntry* dir, bool create);
    // The `occurrence`-th receiver (from 0) of that name.
    Receiver* findReceiver(const char* name, int occurrence = 0);
    // Which of the receivers of its name `receiver` is.
    int occurrenceOf(const Receiver* receiver) const;

    // Configuration file.
    void loadConfig(const char* path);
    void parseConfig();

    // Main loop.
    bool configChanged();
    bool keepRunning();

    // Read cycle.
    bool cycleNotDue();
    void readSources();

    // States file.
    void readStates();
    void writeStates();

    // Templates and dispatch.
    void prepareTemplates();
    bool formatMessage(char* out, int capacity, const Node* node);
    // Puts the notifications of newly fired nodes into the outbox and writes
    // it, before the states file records the firings.
    void queueNotifications();
    // Hands every due outbox entry to its receiver's channel and waits for the
    // senders, at most 10 s; queues first when the cycle has not yet.
    void dispatchNotifications();
    // Takes over the run's outbox after a load: entries of receivers this
    // configuration lacks are dropped, each with a line.
    void adoptOutbox(std::shared_ptr<Outbox> box);
    // Waits until the transfers still running have settled or the deadline
    // (steady clock, ms) passes, and records their outcomes.
    void finishDeliveries(int64_t deadlineMs);
};
