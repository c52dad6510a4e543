// The configuration model: one Coupler per load of the configuration file,
// with fixed-capacity tables of sources, nodes, receivers, distribution groups
// and receiver-to-group links, and the run-time state the cycle keeps in them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

class SourceConnection;
class Notifier;
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

// Status of the configuration file, taken when it was loaded. Besides the two
// times, the size and the file identity count: a save that lands within the
// time stamp's resolution of the load (a file written in two steps), or a
// file replaced by one with an older time (cp -p, a checkout), is still a change.
struct ConfigStat {
    int64_t modificationTime = 0;  // seconds
    int64_t accessTime = 0;        // seconds
    long modificationNanos = 0;
    long accessNanos = 0;
    int64_t size = -1;
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
    bool iniError = false;

    // Lookups by name (ASCII case-insensitive, whole text).
    DirEntry* findDir(const char* name, bool create);
    SourceEntry* findSource(const char* name);
    Node* findNode(const char* address, SourceEntry* source, bool create);
    Link* findLink(Receiver* receiver, DirEntry* dir, bool create);

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
    void dispatchNotifications();
};
