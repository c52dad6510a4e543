// The limits of the tables and the plain records the coupler keeps in them:
// nodes, distribution groups and receiver-to-group links. Sources and
// receivers are declared where they are implemented (sources/SourceEntry.h,
// notify/Receiver.h).
// Connections, the trigger code and the cycle need these and nothing else of
// the coupler, so they include this header instead of cycle/Coupler.h.
#pragma once

#include <cstdint>
#include <string>

#include "base/Alarm.h"
#include "base/DeviceAddress.h"
#include "base/Ladder.h"

struct Node;
struct Receiver;
struct SourceEntry;

constexpr int kMaxSources = 1;
constexpr int kMaxNodes = 250;  // per source; a word of alarm bits counts once
constexpr int kMaxReceivers = 50;
constexpr int kMaxDirs = 50;
constexpr int kMaxLinks = kMaxReceivers * kMaxDirs;  // every receiver in every group
constexpr int kMaxWordBits = 32;                     // the alarms of one word: bits 0 to 31
// Entries of the node table: the nodes and one entry per alarm bit of a word.
constexpr int kMaxNodeEntries = kMaxNodes * (1 + kMaxWordBits);

constexpr int kNameSize = 100;             // names, addresses, conditions: 99 characters
constexpr int kMessageSize = 4000;         // message templates: 3999 characters
constexpr int kPathSize = 256;             // file paths: 255 characters
constexpr int kTextSize = 8000;            // an expanded notification text
constexpr int kTagSize = 33;               // a node's "tag" name: 32 characters
constexpr int kBitTagSize = kTagSize + 3;  // an alarm bit's: the word's tag and ".31"

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
    Bits16,   // ":BITS": a word of 16 alarm bits (a register, an S7 word)
    Bits32,   // ":BITS" on two registers with their word order or an S7 double word
};

// The order of the two registers of a 32-bit Modbus value: ABCD puts the
// high word first, as the protocol does with bytes; CDAB the low word.
enum class WordOrder : uint8_t { ABCD, CDAB };

constexpr int kNoUnitId = -1;
// A read that failed without a code of its device: no link, no answer, or a
// node left unread in a cycle because its source's link was lost.
constexpr int kReadFailed = -1001;

// A node's condition as the trigger code reads it once, at load, from the
// text of the node line ("O:100", "T:8,12:0").
enum class ConditionKind : uint8_t {
    Never,       // empty, an unknown letter, or a T without both tables
    Difference,  // D: the magnitude moved by more than the threshold
    NonZero,     // N
    Over,        // O: above the threshold
    Under,       // U: below the threshold
    Zero,        // Z
    TimeTable,   // T: hours and minutes of the local time
    Frozen,      // S: the value has not moved by more than the tolerance for the duration
    Range,       // R: the value lies outside what the sensor can give ("sensor suspect")
};

struct Condition {
    ConditionKind kind = ConditionKind::Never;
    double threshold = 0.0;  // D, O and U; the tolerance of S; the least value of R
    double upper = 0.0;      // R: the greatest value
    int seconds = 0;         // S: how long the value stands still before the condition holds
    int hours[24] = {};      // T: 1 for each hour that matches
    int minutes[60] = {};    // T: 1 for each minute that matches
};

// How long a node's value has stood still, for an S condition. Only time
// between two good reads counts: a failed read is the link's fault, not the
// sensor's, so the time of a link loss is left out.
struct StillWatch {
    bool seeded = false;       // `reference` holds a value read
    double reference = 0.0;    // the value the stillness is measured from
    int64_t stillSeconds = 0;  // counted between good reads; kept in the states file
    int64_t countedAt = 0;     // the last good read counted; 0 after a failed read or a restart
};

struct DirEntry {
    char name[kNameSize] = {};
};

struct Node {
    SourceEntry* source = nullptr;
    DirEntry* dir = nullptr;
    int info = 0;
    char address[kNameSize] = {};
    // The node's name from its "tag" line ("tank_level"); empty without one.
    // An alarm bit's is its word's with ".INDEX" behind it.
    char tag[kBitTagSize] = {};
    DeviceAddress device;  // `address` without its ":TYPE", as read at load
    // Up to kMessageSize-1 characters. Held as a string: a table of
    // hundreds of nodes would otherwise reserve 4 kB each for texts most
    // leave short.
    std::string message;
    // An alarm bit of a word (`address` is the word's with ".INDEX"): the
    // table entry of its word and the bit; -1 for every other node. Its value
    // is that bit of the word's last read.
    int wordEntry = -1;
    int bit = -1;
    char condition[kNameSize] = {};
    Condition trigger;  // `condition` as read at load
    StillWatch still;   // an S condition's count
    // The result of the node's last read: 0, the device's own code, or
    // kReadFailed; kept in the states file, where the status reads it.
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
    AlarmSettings alarm{};          // from its "alarm" line; off without one
    AlarmState alarmState{};
    Acknowledgement ack{};
    Shelve shelve{};
    int64_t escalatedEpisode = 0;  // the trigger time of the episode sent on to the escalation group
    LadderPosition ladder{};       // its group's "ladder" line: the step the episode has reached
    bool staleTold = false;        // the channels that show its state were told its value is stale

    // How far its value can be trusted: "good" after a good last read,
    // "stale" while reads fail (the value is the last one read), "never read".
    const char* quality() const {
        if (lastRead == 0) return "never read";
        return readError == 0 ? "good" : "stale";
    }

    // How the node is shown and chosen: its tag where it has one, else its address.
    const char* label() const { return tag[0] ? tag : address; }

    // The current episode is acknowledged, or was sent on to the escalation group.
    bool acknowledged() const { return triggerTime != 0 && ack.episode == triggerTime; }
    bool escalated() const { return triggerTime != 0 && escalatedEpisode == triggerTime; }
    bool shelvedAt(int64_t now) const { return shelve.until > now; }

    // A REAL, a FLOAT32 or a scaled value keeps its decimals wherever it is
    // printed; every other node prints whole numbers as it always has.
    bool keepsDecimals() const {
        return scaled || valueType == ValueType::S7Real || valueType == ValueType::Float32;
    }
};

struct Link {
    Receiver* receiver = nullptr;
    DirEntry* dir = nullptr;
    bool acknowledged = false;  // "dir;GROUP;acknowledged": the receiver hears of acknowledgements too
};

// "escalate;GROUP;DELAY;SECOND_GROUP": an alarm of GROUP nobody acknowledged
// within DELAY goes to SECOND_GROUP too.
struct Escalation {
    DirEntry* from = nullptr;
    DirEntry* to = nullptr;
    int delaySeconds = 0;
};
