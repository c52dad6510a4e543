// Building ISO-on-TCP / S7 requests and checking their answers. Layouts from
// RFC 1006 (TPKT), ISO 8073 class 0 (COTP) and the public descriptions of S7
// communication; everything on the wire is big-endian.
#include "sources/s7/S7Frame.h"

#include <cstring>

#include "sources/s7/Nodave.h"

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

void put16(uint8_t* p, unsigned v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

// Reads untrusted bytes; every read past the end sets `overrun` and yields 0.
class Cursor {
public:
    Cursor(const uint8_t* data, int length) : data_(data), length_(data && length > 0 ? length : 0) {}
    unsigned u8() {
        if (pos_ + 1 > length_) return fail();
        return data_[pos_++];
    }
    unsigned u16() {
        if (pos_ + 2 > length_) return fail();
        unsigned v = (static_cast<unsigned>(data_[pos_]) << 8) | data_[pos_ + 1];
        pos_ += 2;
        return v;
    }
    const uint8_t* take(int n) {
        if (n < 0 || pos_ + n > length_) {
            fail();
            return nullptr;
        }
        const uint8_t* p = data_ + pos_;
        pos_ += n;
        return p;
    }
    int remaining() const { return length_ - pos_; }
    bool overrun() const { return overrun_; }

private:
    unsigned fail() {
        overrun_ = true;
        pos_ = length_;
        return 0;
    }
    const uint8_t* data_;
    int length_;
    int pos_ = 0;
    bool overrun_ = false;
};

void writeTpkt(uint8_t* out, int length) {
    out[0] = kTpktVersion;  // 0: version
    out[1] = 0x00;          // 1: reserved
    put16(out + 2, static_cast<unsigned>(length));  // 2-3: length, header included
}

void writeDt(uint8_t* out) {
    out[0] = 0x02;      // 0: length indicator
    out[1] = kCotpDT;   // 1: data transfer
    out[2] = kCotpEOT;  // 2: last data unit, TPDU number 0
}

void writeJobHeader(uint8_t* out, uint16_t pduRef, int paramLength, int dataLength) {
    out[0] = kS7ProtocolId;  // 0: protocol id
    out[1] = kS7Job;         // 1: message type job
    put16(out + 2, 0);       // 2-3: reserved
    put16(out + 4, pduRef);  // 4-5: PDU reference, echoed in the answer
    put16(out + 6, static_cast<unsigned>(paramLength));  // 6-7
    put16(out + 8, static_cast<unsigned>(dataLength));   // 8-9
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
int checkAckHeader(Cursor& in, uint16_t pduRef, int* paramLength, int* dataLength) {
    in.take(kTpktHeaderSize);
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
    if (*paramLength + *dataLength > in.remaining()) return daveErrShortAnswer;
    return 0;
}

}  // namespace

int buildConnectRequest(uint8_t* out, int rack, int slot) {
    writeTpkt(out, kConnectRequestSize);
    uint8_t* c = out + kTpktHeaderSize;
    c[0] = 17;       // 0: length indicator, header bytes after this one
    c[1] = kCotpCR;  // 1: connection request
    put16(c + 2, 0x0000);  // 2-3: destination reference
    put16(c + 4, 0x0001);  // 4-5: source reference
    c[6] = 0x00;           // 6: class 0, no options
    c[7] = 0xC0;           // 7-9: TPDU size 1024
    c[8] = 1;
    c[9] = 0x0A;
    c[10] = 0xC1;  // 10-13: calling TSAP
    c[11] = 2;
    c[12] = 0x01;
    c[13] = 0x00;
    c[14] = 0xC2;  // 14-17: called TSAP: connection type PG, rack * 32 + slot
    c[15] = 2;
    c[16] = 0x01;
    c[17] = static_cast<uint8_t>((rack & 0x07) * 32 + (slot & 0x1F));
    return kConnectRequestSize;
}

int buildSetupRequest(uint8_t* out, uint16_t pduRef, int pduLength) {
    writeTpkt(out, kSetupRequestSize);
    writeDt(out + kTpktHeaderSize);
    uint8_t* s = out + kTpktHeaderSize + kDtHeaderSize;
    writeJobHeader(s, pduRef, 8, 0);
    uint8_t* p = s + kS7JobHeaderSize;
    p[0] = kFuncSetup;  // 0: setup communication
    p[1] = 0x00;        // 1: reserved
    put16(p + 2, 1);    // 2-3: parallel jobs calling
    put16(p + 4, 1);    // 4-5: parallel jobs called
    put16(p + 6, static_cast<unsigned>(pduLength));  // 6-7: PDU length
    return kSetupRequestSize;
}

int buildReadRequest(uint8_t* out, uint16_t pduRef, int area, int dbNumber, int start, int count) {
    writeTpkt(out, kReadRequestSize);
    writeDt(out + kTpktHeaderSize);
    uint8_t* s = out + kTpktHeaderSize + kDtHeaderSize;
    writeJobHeader(s, pduRef, 14, 0);
    uint8_t* p = s + kS7JobHeaderSize;
    bool timerOrCounter = area == daveTimer || area == daveCounter;
    // Byte areas address bits: the start is the byte number times 8.
    uint32_t address = timerOrCounter ? static_cast<uint32_t>(start) : static_cast<uint32_t>(start) * 8u;
    p[0] = kFuncRead;  // 0: read variable
    p[1] = 1;          // 1: item count
    p[2] = 0x12;       // item 0: variable item marker
    p[3] = 0x0A;       // item 1: length of the rest of the item
    p[4] = 0x10;       // item 2: syntax id "any"
    p[5] = static_cast<uint8_t>(timerOrCounter ? area : 0x02);  // item 3: transport size
    put16(p + 6, static_cast<unsigned>(count));     // item 4-5: element count
    put16(p + 8, static_cast<unsigned>(dbNumber));  // item 6-7: data block
    p[10] = static_cast<uint8_t>(area);             // item 8: area
    p[11] = static_cast<uint8_t>(address >> 16);    // item 9-11: start address
    p[12] = static_cast<uint8_t>(address >> 8);
    p[13] = static_cast<uint8_t>(address);
    return kReadRequestSize;
}

int checkTpktHeader(const uint8_t* header) {
    if (!header) return daveErrShortAnswer;
    if (header[0] != kTpktVersion) return daveErrMalformed;
    int length = (header[2] << 8) | header[3];
    if (length < kMinPacket) return daveErrMalformed;
    if (length > kMaxPacket) return daveErrPacketTooLarge;
    return length;
}

int parseConnectConfirm(const uint8_t* packet, int length) {
    int total = packetLength(packet, length);
    if (total < 0) return total;
    Cursor in(packet, total);
    in.take(kTpktHeaderSize);
    unsigned li = in.u8();
    unsigned code = in.u8();
    if (in.overrun()) return daveErrShortAnswer;
    // A disconnect request (0x80) or any other TPDU is a refusal.
    if ((code & 0xF0) != kCotpCC) return daveErrConnectRefused;
    if (li < 6 || static_cast<int>(li) > in.remaining() + 1) return daveErrShortAnswer;
    return 0;
}

int parseSetupAnswer(const uint8_t* packet, int length, uint16_t pduRef, int* pduLength) {
    int total = packetLength(packet, length);
    if (total < 0) return total;
    Cursor in(packet, total);
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

int parseReadAnswer(const uint8_t* packet, int length, uint16_t pduRef, int area, int byteCount, uint8_t* out) {
    int total = packetLength(packet, length);
    if (total < 0) return total;
    Cursor in(packet, total);
    int paramLength = 0, dataLength = 0;
    int rc = checkAckHeader(in, pduRef, &paramLength, &dataLength);
    if (rc != 0) return rc;
    if (paramLength != 2) return daveErrMalformed;
    unsigned function = in.u8();
    unsigned items = in.u8();
    if (in.overrun()) return daveErrShortAnswer;
    if (function != kFuncRead || items != 1) return daveErrMalformed;
    Cursor data(in.take(dataLength), dataLength);
    unsigned returnCode = data.u8();
    if (data.overrun()) return daveErrShortAnswer;
    if (returnCode != kItemSuccess) {
        // 0 is no S7 return code; it must not pass for success.
        return returnCode == 0 ? daveErrMalformed : static_cast<int>(returnCode);
    }
    unsigned transportSize = data.u8();
    unsigned announced = data.u16();
    if (data.overrun()) return daveErrShortAnswer;
    int bytes;
    switch (transportSize) {
        case 0x03:  // bit
        case 0x04:  // byte, word, double word
        case 0x05:  // integer
            bytes = static_cast<int>((announced + 7) / 8);
            break;
        case 0x07:  // real
        case 0x09:  // octet string
            bytes = static_cast<int>(announced);
            break;
        default:
            return daveErrMalformed;
    }
    int expected = byteCount;
    if (area == daveTimer || area == daveCounter) expected = (byteCount + 1) / 2 * 2;
    if (bytes != expected) return daveErrSizeMismatch;
    const uint8_t* payload = data.take(bytes);
    if (!payload) return daveErrShortAnswer;
    if (out && byteCount > 0) std::memcpy(out, payload, static_cast<size_t>(byteCount));
    return 0;
}

}  // namespace s7
