// Frames of ISO-on-TCP and S7 communication: building the three requests the
// layer sends and checking every answer before a byte of it is used. Pure
// functions over byte buffers, so they can be tested and fuzzed without a peer.
#pragma once

#include <cstdint>

namespace s7 {

constexpr int kTpktHeaderSize = 4;               // RFC 1006: version, reserved, length
constexpr int kDtHeaderSize = 3;                 // COTP data transfer: LI, 0xF0, EOT
constexpr int kS7JobHeaderSize = 10;             // job: no error class/code
constexpr int kS7AckHeaderSize = 12;             // ack with data: error class/code
constexpr int kMaxPacket = 1100;                 // receive buffer: a 1024-byte TPDU and headers
constexpr int kMinPacket = kTpktHeaderSize + 3;  // TPKT and the smallest COTP header
constexpr int kRequestedPdu = 480;
// An answer of the largest read: S7 header, function and item count, item header.
constexpr int kReadAnswerOverhead = kS7AckHeaderSize + 2 + 4;

constexpr int kConnectRequestSize = kTpktHeaderSize + 18;
constexpr int kSetupRequestSize = kTpktHeaderSize + kDtHeaderSize + kS7JobHeaderSize + 8;
constexpr int kReadRequestSize = kTpktHeaderSize + kDtHeaderSize + kS7JobHeaderSize + 14;

// Each builder writes the whole packet into out (at least the size above) and
// returns its length.
int buildConnectRequest(uint8_t* out, int rack, int slot);
int buildSetupRequest(uint8_t* out, uint16_t pduRef, int pduLength);
// count: bytes for the byte areas, elements for timers and counters.
int buildReadRequest(uint8_t* out, uint16_t pduRef, int area, int dbNumber, int start, int count);

// The TPKT header of a packet: its total length, or a negative result code
// (wrong version, too short to hold a COTP header, larger than kMaxPacket).
int checkTpktHeader(const uint8_t* header);

// The checks below take a whole packet (TPKT header included) of `length`
// bytes and return 0 or a negative result code; parseReadAnswer may also
// return the PLC's positive item return code.
int parseConnectConfirm(const uint8_t* packet, int length);
int parseSetupAnswer(const uint8_t* packet, int length, uint16_t pduRef, int* pduLength);
// Copies exactly `byteCount` data bytes to out when everything fits the request.
int parseReadAnswer(const uint8_t* packet, int length, uint16_t pduRef, int area, int byteCount,
                    uint8_t* out);

// One item of a "read variable" job of several items. count: bytes for the
// byte areas, elements for timers and counters; `byteCount` is what the
// answer carries for it, at most kMaxItemBytes.
struct ReadItem {
    int area = 0;
    int dbNumber = 0;
    int start = 0;
    int count = 0;
    int byteCount = 0;
};
constexpr int kMaxItemBytes = 4;
constexpr int kRequestItemSize = 12;
constexpr int kMaxReadItems = 20;
constexpr int kMultiReadRequestSize =
    kTpktHeaderSize + kDtHeaderSize + kS7JobHeaderSize + 2 + kMaxReadItems * kRequestItemSize;

// The request for `itemCount` items (1..kMaxReadItems) into out (at least
// kMultiReadRequestSize bytes); its length.
int buildMultiReadRequest(uint8_t* out, uint16_t pduRef, const ReadItem* items, int itemCount);
// Checks the answer to that request: 0 when it is sound as a whole, each
// item's own result in results[i] (0, or the PLC's item return code) and
// the data of a good one in data[i]; a negative code when the answer cannot
// be read (then no item counts).
int parseMultiReadAnswer(const uint8_t* packet, int length, uint16_t pduRef, const ReadItem* items,
                         int itemCount, int* results, uint8_t (*data)[kMaxItemBytes]);

// Bytes an answer carries for `count` elements of the area.
inline int answerBytes(int area, int count) {
    return (area == 0x1C || area == 0x1D) ? count * 2 : count;
}

}  // namespace s7
