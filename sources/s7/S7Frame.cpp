// Building ISO-on-TCP / S7 requests and checking their answers. Layouts from
// RFC 1006 (TPKT), ISO 8073 class 0 (COTP) and the public descriptions of S7
// communication; everything on the wire is big-endian.
#include "sources/s7/S7Frame.h"

#include <cstring>

#include "sources/ByteCursor.h"
#include "sources/s7/S7Codes.h"

namespace s7 {

namespace {

constexpr uint8_t kTpktVersion = 0x03;
constexpr uint8_t kCotpCR = 0xE0;
constexpr uint8_t kCotpCC = 0xD0;
constexpr uint8_t kCotpDT = 0xF0;
constexpr uint8_t kCotpEOT = 0x80;
constexpr uint8_t kS7ProtocolId = 0x32;
constexpr uint8_t kS7Job = 0x01;
constexpr uint8_t kS7Ack = 0x02;
constexpr uint8_t kS7AckData = 0x03;
constexpr uint8_t kFuncSetup = 0xF0;
constexpr uint8_t kFuncRead = 0x04;
constexpr uint8_t kItemSuccess = 0xFF;

void writeTpkt(ByteWriter& out, int length) {
    out.put8(kTpktVersion);                    // 0: version
    out.put8(0x00);                            // 1: reserved
    out.put16(static_cast<unsigned>(length));  // 2-3: length, header included
}

void writeDt(ByteWriter& out) {
    out.put8(0x02);      // 0: length indicator
    out.put8(kCotpDT);   // 1: data transfer
    out.put8(kCotpEOT);  // 2: last data unit, TPDU number 0
}

void writeJobHeader(ByteWriter& out, uint16_t pduRef, int paramLength, int dataLength) {
    out.put8(kS7ProtocolId);                        // 0: protocol id
    out.put8(kS7Job);                               // 1: message type job
    out.put16(0);                                   // 2-3: reserved
    out.put16(pduRef);                              // 4-5: PDU reference, echoed in the answer
    out.put16(static_cast<unsigned>(paramLength));  // 6-7
    out.put16(static_cast<unsigned>(dataLength));   // 8-9
}

// The length the TPKT header gives the packet, when the buffer holds all of it.
int packetLength(const uint8_t* packet, int length) {
    if (!packet || length < kTpktHeaderSize) return daveErrShortAnswer;
    int total = checkTpktHeader(packet);
    if (total < 0) return total;
    if (total > length) return daveErrShortAnswer;
    return total;
}

// Checks the DT header and the S7 ack header of an answer and leaves the
// cursor on the parameter. A non-zero error class/code refuses the job.
int checkAckHeader(ByteReader& in, uint16_t pduRef, int* paramLength, int* dataLength) {
    in.skip(kTpktHeaderSize);
    unsigned li = in.u8();
    unsigned code = in.u8();
    unsigned eot = in.u8();
    if (in.overrun()) return daveErrShortAnswer;
    // The answers read here are far below one TPDU, so a fragment is not expected.
    if (li != 0x02 || code != kCotpDT || (eot & kCotpEOT) == 0) return daveErrMalformed;
    unsigned protocol = in.u8();
    unsigned type = in.u8();
    in.u16();  // reserved
    unsigned ref = in.u16();
    *paramLength = static_cast<int>(in.u16());
    *dataLength = static_cast<int>(in.u16());
    if (in.overrun()) return daveErrShortAnswer;
    if (protocol != kS7ProtocolId) return daveErrMalformed;
    if (type != kS7Ack && type != kS7AckData) return daveErrMalformed;
    unsigned errorClass = in.u8();
    unsigned errorCode = in.u8();
    if (in.overrun()) return daveErrShortAnswer;
    if (ref != pduRef) return daveErrPduRef;
    if (errorClass != 0 || errorCode != 0) return daveErrJobRefused;
    if (type != kS7AckData) return daveErrMalformed;
    if (static_cast<size_t>(*paramLength) + static_cast<size_t>(*dataLength) > in.remaining())
        return daveErrShortAnswer;
    return 0;
}

// One 12-byte item of a read job.
void writeItem(ByteWriter& w, int area, int dbNumber, int start, int count) {
    bool timerOrCounter = area == daveTimer || area == daveCounter;
    // Byte areas address bits: the start is the byte number times 8.
    uint32_t address = timerOrCounter ? static_cast<uint32_t>(start) : static_cast<uint32_t>(start) * 8u;
    w.put8(0x12);                                                 // item 0: variable item marker
    w.put8(0x0A);                                                 // item 1: length of the rest of the item
    w.put8(0x10);                                                 // item 2: syntax id "any"
    w.put8(static_cast<unsigned>(timerOrCounter ? area : 0x02));  // item 3: transport size
    w.put16(static_cast<unsigned>(count));                        // item 4-5: element count
    w.put16(static_cast<unsigned>(dbNumber));                     // item 6-7: data block
    w.put8(static_cast<unsigned>(area));                          // item 8: area
    w.put24(address & 0xFFFFFF);                                  // item 9-11: start address
}

// The data bytes an item's header announces: a length in bits for the bit,
// byte and integer transport sizes, in bytes for real and octet string.
int itemBytes(unsigned transportSize, unsigned announced, int* bytes) {
    switch (transportSize) {
        case 0x03:  // bit
        case 0x04:  // byte, word, double word
        case 0x05:  // integer
            *bytes = static_cast<int>((announced + 7) / 8);
            return 0;
        case 0x07:  // real
        case 0x09:  // octet string
            *bytes = static_cast<int>(announced);
            return 0;
        default:
            *bytes = 0;
            return daveErrMalformed;
    }
}

}  // namespace

int buildConnectRequest(uint8_t* out, int rack, int slot) {
    ByteWriter w(out, kConnectRequestSize);
    writeTpkt(w, kConnectRequestSize);
    w.put8(17);       // 0: length indicator, header bytes after this one
    w.put8(kCotpCR);  // 1: connection request
    w.put16(0x0000);  // 2-3: destination reference
    w.put16(0x0001);  // 4-5: source reference
    w.put8(0x00);     // 6: class 0, no options
    w.put8(0xC0);     // 7-9: TPDU size 1024
    w.put8(1);
    w.put8(0x0A);
    w.put8(0xC1);  // 10-13: calling TSAP
    w.put8(2);
    w.put16(0x0100);
    w.put8(0xC2);  // 14-17: called TSAP: connection type PG, rack * 32 + slot
    w.put8(2);
    w.put8(0x01);
    w.put8(static_cast<unsigned>((rack & 0x07) * 32 + (slot & 0x1F)));
    return static_cast<int>(w.size());
}

int buildSetupRequest(uint8_t* out, uint16_t pduRef, int pduLength) {
    ByteWriter w(out, kSetupRequestSize);
    writeTpkt(w, kSetupRequestSize);
    writeDt(w);
    writeJobHeader(w, pduRef, 8, 0);
    w.put8(kFuncSetup);                         // 0: setup communication
    w.put8(0x00);                               // 1: reserved
    w.put16(1);                                 // 2-3: parallel jobs calling
    w.put16(1);                                 // 4-5: parallel jobs called
    w.put16(static_cast<unsigned>(pduLength));  // 6-7: PDU length
    return static_cast<int>(w.size());
}

int buildReadRequest(uint8_t* out, uint16_t pduRef, int area, int dbNumber, int start, int count) {
    ByteWriter w(out, kReadRequestSize);
    writeTpkt(w, kReadRequestSize);
    writeDt(w);
    writeJobHeader(w, pduRef, 14, 0);
    w.put8(kFuncRead);  // 0: read variable
    w.put8(1);          // 1: item count
    writeItem(w, area, dbNumber, start, count);
    return static_cast<int>(w.size());
}

int checkTpktHeader(const uint8_t* header) {
    if (!header) return daveErrShortAnswer;
    ByteReader in(header, kTpktHeaderSize);
    unsigned version = in.u8();
    in.u8();  // reserved
    int length = static_cast<int>(in.u16());
    if (version != kTpktVersion) return daveErrMalformed;
    if (length < kMinPacket) return daveErrMalformed;
    if (length > kMaxPacket) return daveErrPacketTooLarge;
    return length;
}

int parseConnectConfirm(const uint8_t* packet, int length) {
    int total = packetLength(packet, length);
    if (total < 0) return total;
    ByteReader in(packet, static_cast<size_t>(total));
    in.skip(kTpktHeaderSize);
    unsigned li = in.u8();
    unsigned code = in.u8();
    if (in.overrun()) return daveErrShortAnswer;
    // A disconnect request (0x80) or any other TPDU is a refusal.
    if ((code & 0xF0) != kCotpCC) return daveErrConnectRefused;
    if (li < 6 || li > in.remaining() + 1) return daveErrShortAnswer;
    return 0;
}

int parseSetupAnswer(const uint8_t* packet, int length, uint16_t pduRef, int* pduLength) {
    int total = packetLength(packet, length);
    if (total < 0) return total;
    ByteReader in(packet, static_cast<size_t>(total));
    int paramLength = 0, dataLength = 0;
    int rc = checkAckHeader(in, pduRef, &paramLength, &dataLength);
    if (rc == daveErrJobRefused) return daveErrSetupRefused;
    if (rc != 0) return rc;
    if (paramLength < 8) return daveErrShortAnswer;
    unsigned function = in.u8();
    in.u8();   // reserved
    in.u16();  // parallel jobs calling
    in.u16();  // parallel jobs called
    unsigned accepted = in.u16();
    if (in.overrun()) return daveErrShortAnswer;
    if (function != kFuncSetup) return daveErrMalformed;
    // The smallest PDU that carries one read job and its answer.
    if (accepted < static_cast<unsigned>(kS7JobHeaderSize + 14)) return daveErrSetupRefused;
    *pduLength = static_cast<int>(accepted);
    return 0;
}

namespace {

// The acknowledgement of a read job of `items` items: its header and read
// function checked, `data` set to its data part.
int openReadAnswer(const uint8_t* packet, int length, uint16_t pduRef, unsigned items, ByteReader* data) {
    int total = packetLength(packet, length);
    if (total < 0) return total;
    ByteReader in(packet, static_cast<size_t>(total));
    int paramLength = 0, dataLength = 0;
    int rc = checkAckHeader(in, pduRef, &paramLength, &dataLength);
    if (rc != 0) return rc;
    if (paramLength != 2) return daveErrMalformed;
    unsigned function = in.u8();
    unsigned count = in.u8();
    if (in.overrun()) return daveErrShortAnswer;
    if (function != kFuncRead || count != items) return daveErrMalformed;
    *data = ByteReader(in.take(static_cast<size_t>(dataLength)), static_cast<size_t>(dataLength));
    return 0;
}

}  // namespace

int parseReadAnswer(const uint8_t* packet, int length, uint16_t pduRef, int area, int byteCount,
                    uint8_t* out) {
    ByteReader data(nullptr, 0);
    int rc = openReadAnswer(packet, length, pduRef, 1, &data);
    if (rc != 0) return rc;
    unsigned returnCode = data.u8();
    if (data.overrun()) return daveErrShortAnswer;
    if (returnCode != kItemSuccess) {
        // 0 is no S7 return code; it must not pass for success.
        return returnCode == 0 ? daveErrMalformed : static_cast<int>(returnCode);
    }
    unsigned transportSize = data.u8();
    unsigned announced = data.u16();
    if (data.overrun()) return daveErrShortAnswer;
    int bytes = 0;
    rc = itemBytes(transportSize, announced, &bytes);
    if (rc != 0) return rc;
    int expected = byteCount;
    if (area == daveTimer || area == daveCounter) expected = (byteCount + 1) / 2 * 2;
    if (bytes != expected) return daveErrSizeMismatch;
    const uint8_t* payload = data.take(static_cast<size_t>(bytes));
    if (!payload) return daveErrShortAnswer;
    if (out && byteCount > 0) std::memcpy(out, payload, static_cast<size_t>(byteCount));
    return 0;
}

int buildMultiReadRequest(uint8_t* out, uint16_t pduRef, const ReadItem* items, int itemCount) {
    if (itemCount < 1 || itemCount > kMaxReadItems) return 0;
    int paramLength = 2 + itemCount * kRequestItemSize;
    int length = kTpktHeaderSize + kDtHeaderSize + kS7JobHeaderSize + paramLength;
    ByteWriter w(out, static_cast<size_t>(length));
    writeTpkt(w, length);
    writeDt(w);
    writeJobHeader(w, pduRef, paramLength, 0);
    w.put8(kFuncRead);
    w.put8(static_cast<unsigned>(itemCount));
    for (int i = 0; i < itemCount; ++i)
        writeItem(w, items[i].area, items[i].dbNumber, items[i].start, items[i].count);
    return static_cast<int>(w.size());
}

int parseMultiReadAnswer(const uint8_t* packet, int length, uint16_t pduRef, const ReadItem* items,
                         int itemCount, int* results, uint8_t (*data)[kMaxItemBytes]) {
    ByteReader part(nullptr, 0);
    int rc = openReadAnswer(packet, length, pduRef, static_cast<unsigned>(itemCount), &part);
    if (rc != 0) return rc;
    for (int i = 0; i < itemCount; ++i) {
        unsigned returnCode = part.u8();
        unsigned transportSize = part.u8();
        unsigned announced = part.u16();
        if (part.overrun()) return daveErrShortAnswer;
        int bytes = 0;
        // A failed item carries no data, whatever its length field says.
        if (returnCode == kItemSuccess) {
            rc = itemBytes(transportSize, announced, &bytes);
            if (rc != 0) return rc;
        }
        const uint8_t* payload = part.take(static_cast<size_t>(bytes));
        // Each item's data but the last is padded to an even length.
        if (i + 1 < itemCount && bytes % 2 == 1) part.skip(1);
        if (part.overrun()) return daveErrShortAnswer;
        if (returnCode != kItemSuccess) {
            results[i] = returnCode == 0 ? daveErrMalformed : static_cast<int>(returnCode);
        } else if (bytes != answerBytes(items[i].area, items[i].count) ||
                   items[i].byteCount > kMaxItemBytes || items[i].byteCount > bytes) {
            results[i] = daveErrSizeMismatch;
        } else {
            results[i] = 0;
            std::memcpy(data[i], payload, static_cast<size_t>(items[i].byteCount));
        }
    }
    return 0;
}

}  // namespace s7
