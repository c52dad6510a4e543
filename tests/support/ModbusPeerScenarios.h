// The misbehaving Modbus peer (tests/peers/modbus/misbehaving_peer.py) picks
// its fault by the holding register a read asks for. These are its magic
// registers; every other register is answered properly with its own number
// as the value.
#pragma once

#include <string>

namespace modbuspeer {

constexpr int kException = 2;        // exception 2, illegal data address
constexpr int kWrongTid = 3;         // the next transaction identifier
constexpr int kWrongFunction = 4;    // answered as function 4
constexpr int kTwoSegments = 5;      // the answer in two pieces, 300 ms apart
constexpr int kByteByByte = 6;       // one byte every 30 ms
constexpr int kLate = 7;             // after 3 s, past the client's deadline
constexpr int kHalfThenClose = 8;    // half an answer, then the link is closed
constexpr int kGarbage = 9;          // protocol identifier 0x5A5A
constexpr int kHugeLength = 10;      // a length field of 1024
constexpr int kSilent = 11;          // no answer; the link stays open
constexpr int kTrailingBytes = 12;   // a proper answer and 5 more bytes
constexpr int kWrongByteCount = 13;  // a byte count of 4 for one register
constexpr int kClose = 14;           // the link is closed at once
constexpr int kRepeated = 15;        // the answer, and again 200 ms later
constexpr int kOtherUnit = 16;       // the answer from the unit identifier after the one asked

// A register the peer answers properly, with this value.
constexpr int kPlain = 100;

// The node address of holding register `reg` ("4:reg").
inline std::string holding(int reg) {
    return "4:" + std::to_string(reg);
}

}  // namespace modbuspeer
