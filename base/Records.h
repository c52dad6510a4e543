// The limits of the tables and the plain records the coupler keeps in them:
// sources, nodes, distribution groups and receiver-to-group links.
// Connections and the trigger code need these and nothing else of the
// coupler, so they include this header instead of cycle/Coupler.h.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class SourceConnection;
struct Node;
struct Receiver;

constexpr int kMaxSources = 1;
constexpr int kMaxNodes = 5;
constexpr int kMaxReceivers = 5;
constexpr int kMaxDirs = 5;
constexpr int kMaxLinks = 50;

constexpr int kNameSize = 100;      // names, addresses, conditions: 99 characters
constexpr int kMessageSize = 4000;  // message templates: 3999 characters
constexpr int kPathSize = 256;      // file paths: 255 characters
constexpr int kTextSize = 8000;     // an expanded notification text

// How a node's raw value is taken from the bytes the device answers with.
// Plain reads as the address alone says (unsigned, or a bit); the others are
// the types a node address may name behind a colon.
enum class ValueType : uint8_t {
    Plain,
    S7Int,    // INT: 16 bits, two's complement
    S7Dint,   // DINT: 32 bits, two's complement
    S7Real,   // REAL: IEEE 754 single precision
    Int16,    // one Modbus register, two's complement
    Uint32,   // two Modbus registers
    Int32,    // two Modbus registers, two's complement
    Float32,  // two Modbus registers, IEEE 754 single precision
};

// The order of the two registers of a 32-bit Modbus value: ABCD puts the
// high word first, as the protocol does with bytes; CDAB the low word.
enum class WordOrder : uint8_t { ABCD, CDAB };

constexpr int kNoUnitId = -1;

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
    int unitId = kNoUnitId;  // Modbus unit identifier from the parameters; none: 0 sent, answers not checked
    int readInterval = 0;
    int64_t lastRead = 0;
    int failedReads = 0;       // reads of the last cycle that failed; written by the worker before readDone
    int connectBackoffMs = 0;  // the wait after the last failed connect; 0 while none failed
    int64_t connectRetryAtMs = 0;  // steady clock: no connect attempt before this
    std::thread worker;            // reads the nodes once per cycle, from the first cycle on
    uint64_t cyclesRequested = 0;  // guarded by readDoneMutex
    bool stopping = false;         // guarded by readDoneMutex

    SourceEntry();
    ~SourceEntry();
    SourceEntry(const SourceEntry&) = delete;
    SourceEntry& operator=(const SourceEntry&) = delete;

    // Connects unless connected already or a failed connect is still in its back-off.
    bool open();
    bool isConnected();
    // Milliseconds until a connect may be tried again; 0 when connected or not waiting.
    int64_t msUntilConnectAttempt() const;
    // Takes the unit identifier from a Modbus source's parameters
    // ("tcp:address:port:unit"); false when it is not 0..255.
    bool readUnitId();
    bool readNode(Node* node);
    void startRead(Node* nodeTable, int count);
    // The worker's last step: hands the nodes back and wakes the main thread.
    void markReadDone();
    // Blocks the main thread until the worker has handed its nodes back.
    void waitReadDone();
    // The worker's life: one pass over the nodes per requested cycle.
    void serveCycles();
    // Ends the worker; it is idle between cycles.
    void stopWorker();
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
    double raw = 0.0;  // the last value read, before scaling
    // Parsed once at load from the address and the "scale" line.
    ValueType valueType = ValueType::Plain;
    WordOrder wordOrder = WordOrder::ABCD;
    int typeAt = 0;  // where ":TYPE" starts in `address`; 0 when the address names no type
    bool scaled = false;
    double scaleFactor = 1.0;
    double scaleOffset = 0.0;
    bool active = false;
    bool sent = false;
    int64_t triggerTime = 0;
    int64_t lastRead = 0;
    bool evaluated = false;         // its trigger has run under this configuration
    bool unrecordedFiring = false;  // the outbox could not store this firing: the states file waits

    // Takes the ":TYPE" or ":TYPE:ORDER" behind the address into the typed
    // fields; false, with the reason, when it is unknown or does not fit the
    // address on this node's source.
    bool readValueType(std::string* why);

    // A REAL, a FLOAT32 or a scaled value keeps its decimals wherever it is
    // printed; every other node prints whole numbers as it always has.
    bool keepsDecimals() const {
        return scaled || valueType == ValueType::S7Real || valueType == ValueType::Float32;
    }
};

struct Link {
    Receiver* receiver = nullptr;
    DirEntry* dir = nullptr;
};
